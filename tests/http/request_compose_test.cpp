// The request on the wire, byte for byte, as a scripted server or proxy receives it; the POST
// body transfer; and requests refused before anything is sent.
#include <gtest/gtest.h>

#include "HttpProt.h"
#include "HttpTestUtil.h"
#include "ScriptedPeer.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

using test::Answer;
using test::HttpRecorder;
using test::LocalUrl;
using test::ScriptedPeer;
namespace step = test::step;

const char kAppAccept[] = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";

// The properties the status checker's window gives its client.
void ConfigureLikeTheApp(THttpCli& cli) {
  cli.SetProxyPort("80");
  cli.SetAgent("Mozilla/3.0 (compatible)");
  cli.SetAccept(kAppAccept);
  cli.SetNoCache(true);
  cli.SetContentTypePost("application/x-www-form-urlencoded");
  cli.SetTimeLimit(10000);
}

using RequestCompose = test::HttpTest;

TEST_F(RequestCompose, TheAppsGetDirect) {
  std::string received;
  {
    ScriptedPeer peer(Answer("HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\nGIF89a"));
    THttpCli cli(nullptr);
    ConfigureLikeTheApp(cli);
    cli.SetURL(LocalUrl(peer.Port(), "/scripts/online.dll?icq=123456789&img=1"));
    TMemoryStream doc;
    cli.SetReceiveStream(&doc);
    cli.GetDocument();
    ASSERT_TRUE(peer.Join(5000));
    EXPECT_TRUE(peer.Succeeded()) << peer.Error();
    EXPECT_EQ(doc.AsString(), "GIF89a");
    EXPECT_EQ(cli.ResponseCode(), 200);
    received = peer.Received();
  }
  EXPECT_EQ(received, std::string("GET /scripts/online.dll?icq=123456789&img=1 HTTP/1.0\r\n") +
                          "Accept: " + kAppAccept + "\r\n" +
                          "User-Agent: Mozilla/3.0 (compatible)\r\n"
                          "Host: 127.0.0.1\r\n"
                          "Pragma: no-cache\r\n"
                          "\r\n");
}

TEST_F(RequestCompose, TheAppsGetThroughAProxy) {
  // The proxy, given as a bare host with ProxyPort, receives the absolute URL (port kept, user
  // and password left out) and the proxy authorization after the no-cache line.
  ScriptedPeer proxy(Answer("HTTP/1.0 200 OK\r\n\r\nGIF89a"));
  THttpCli cli(nullptr);
  ConfigureLikeTheApp(cli);
  cli.SetProxy("127.0.0.1");
  cli.SetProxyPort(std::to_string(proxy.Port()));
  cli.SetProxyUsername("proxyuser");
  cli.SetProxyPassword("proxypass");
  cli.SetURL("http://status.example.net:81/scripts/online.dll?icq=42&img=1");
  cli.GetDocument();
  ASSERT_TRUE(proxy.Join(5000));
  EXPECT_EQ(
      proxy.Received(),
      std::string("GET http://status.example.net:81/scripts/online.dll?icq=42&img=1 HTTP/1.0\r\n") +
          "Accept: " + kAppAccept + "\r\n" +
          "User-Agent: Mozilla/3.0 (compatible)\r\n"
          "Host: status.example.net\r\n"
          "Pragma: no-cache\r\n"
          "Proxy-Authorization: Basic " +
          EncodeBase64("proxyuser:proxypass") +
          "\r\n"
          "\r\n");

  // A proxy given as a URL with its own port; credentials in the request URL become Username
  // and Password, go out as Authorization, and stay set for the next request.
  ScriptedPeer proxy2(Answer("HTTP/1.0 200 OK\r\n\r\n"));
  cli.SetProxy("http://127.0.0.1:" + std::to_string(proxy2.Port()));
  cli.SetProxyPort("1");
  cli.SetProxyUsername("");
  cli.SetURL("http://joe:pw@www.example.com/index.html");
  cli.GetDocument();
  ASSERT_TRUE(proxy2.Join(5000));
  EXPECT_EQ(cli.Username(), "joe");
  EXPECT_EQ(cli.Password(), "pw");
  EXPECT_EQ(proxy2.Received(), std::string("GET http://www.example.com/index.html HTTP/1.0\r\n") +
                                   "Accept: " + kAppAccept + "\r\n" +
                                   "User-Agent: Mozilla/3.0 (compatible)\r\n"
                                   "Host: www.example.com\r\n"
                                   "Pragma: no-cache\r\n"
                                   "Authorization: Basic am9lOnB3\r\n"
                                   "\r\n");
}

TEST_F(RequestCompose, EveryOptionalLineInItsPlaceAndTheRangeOnlyOnce) {
  std::vector<test::ScriptStep> script;
  for (int i = 0; i < 2; ++i) {
    script.push_back(step::Accept());
    script.push_back(step::ReadUntil("\r\n\r\n"));
    script.push_back(step::Send("HTTP/1.0 200 OK\r\n\r\n"));
    script.push_back(step::Close());
  }
  ScriptedPeer peer(script);
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(10000);
  cli.SetURL(LocalUrl(peer.Port(), "/a"));
  cli.SetSender("me@example.com");
  cli.SetAccept("*/*");
  cli.SetReference("http://ref.example/");
  cli.SetContentTypePost("text/plain");  // never on a GET or a HEAD
  cli.SetAgent("Probe/1");
  cli.SetNoCache(true);
  cli.SetModifiedSince(EncodeDate(2000, 1, 1));
  cli.SetUsername("user");          // no password: the colon stays
  cli.SetProxyUsername("ignored");  // no proxy: no Proxy-Authorization
  cli.SetCookie("a=1; b=2");
  cli.SetContentRangeBegin("100");
  ASSERT_TRUE(rec.Run(rqGet));
  cli.SetURL(LocalUrl(peer.Port(), "/b"));
  ASSERT_TRUE(rec.Run(rqHead));
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_EQ(peer.Received(0),
            "GET /a HTTP/1.0\r\n"
            "From: me@example.com\r\n"
            "Accept: */*\r\n"
            "Referer: http://ref.example/\r\n"
            "User-Agent: Probe/1\r\n"
            "Host: 127.0.0.1\r\n"
            "Pragma: no-cache\r\n"
            "If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT\r\n"
            "Authorization: Basic dXNlcjo=\r\n"
            "Cookie: a=1; b=2\r\n"
            "Range: bytes=100-\r\n"
            "\r\n");
  EXPECT_EQ(peer.Received(1),
            "HEAD /b HTTP/1.0\r\n"
            "From: me@example.com\r\n"
            "Accept: */*\r\n"
            "Referer: http://ref.example/\r\n"
            "User-Agent: Probe/1\r\n"
            "Host: 127.0.0.1\r\n"
            "Pragma: no-cache\r\n"
            "If-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT\r\n"
            "Authorization: Basic dXNlcjo=\r\n"
            "Cookie: a=1; b=2\r\n"
            "\r\n");
  // OnCommand sees every line, the request line first and the empty line last.
  ASSERT_FALSE(rec.commands.empty());
  EXPECT_EQ(rec.commands.front(), "GET /a HTTP/1.0");
  EXPECT_EQ(rec.commands.back(), "");
  EXPECT_EQ(rec.commands.size(), 12u + 11u);
  EXPECT_TRUE(cli.ContentRangeBegin().empty());
}

// A body of Size bytes in a pattern that shows a lost or moved byte.
std::string PatternBody(std::size_t Size) {
  std::string body(Size, '\0');
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return body;
}

// Posts body to a peer that reads the header and the whole body, then answers "thanks"; checks
// that the peer saw exactly the request's header and the body, and the events of one whole send.
void PostWholeAndCheck(THttpCli& cli, HttpRecorder& rec, const std::string& body) {
  ScriptedPeer peer({step::Accept(), step::ReadUntil("\r\n\r\n"), step::Expect(body.size()),
                     step::Send("HTTP/1.0 200 OK\r\n\r\nthanks"), step::Close()});
  cli.SetTimeLimit(10000);
  cli.SetURL(LocalUrl(peer.Port(), "/form"));
  cli.SetAccept("");
  cli.SetAgent("");
  TMemoryStream post;
  post.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
  post.SetPosition(0);
  cli.SetPostStream(&post);
  cli.RunRequest(rqPost);
  ASSERT_TRUE(peer.Join(5000));
  ASSERT_TRUE(peer.Succeeded()) << peer.Error();
  const std::string header =
      "POST /form HTTP/1.0\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Host: 127.0.0.1\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n";
  EXPECT_TRUE(peer.Received() == header + body) << "the bytes on the wire differ";
  EXPECT_EQ(cli.SentBytes(), static_cast<std::int64_t>(body.size()));
  EXPECT_EQ(rec.document, "thanks");
  EXPECT_EQ(rec.Count("SendBegin"), 1);
  EXPECT_EQ(rec.Count("SendEnd"), 1);
  EXPECT_EQ(cli.FailureCode(), 0);
}

TEST_F(RequestCompose, PostBodyArrivesWholeInPiecesOf8193) {
  const std::string body = PatternBody(20000);
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  PostWholeAndCheck(cli, rec, body);
  EXPECT_EQ(rec.sendSizes, (std::vector<int>{8193, 8193, 3614}));
  EXPECT_EQ(cli.CtrlSocket()->SendBlockSize(), 1514);  // the socket's default blocks
}

TEST_F(RequestCompose, PostBodyArrivesWholeInLargePiecesWhenAskedFor) {
  // Several MiB with the large-body opt-in: read and queued in pieces of the chosen size, on a
  // connection whose send blocks are as large.
  const std::string body =
      PatternBody(12 * static_cast<std::size_t>(HttpLargeBodyPieceSize) + 3614);
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetSendBlockSize(HttpLargeBodyPieceSize);
  std::int32_t blockSize = 0;
  const TDocDataEvent record = cli.OnSendData;
  cli.OnSendData = [&](TObject* sender, const char* buffer, int len) {
    record(sender, buffer, len);
    blockSize = cli.CtrlSocket()->SendBlockSize();
  };
  PostWholeAndCheck(cli, rec, body);
  std::vector<int> pieces(12, HttpLargeBodyPieceSize);
  pieces.push_back(3614);
  EXPECT_EQ(rec.sendSizes, pieces);
  EXPECT_EQ(blockSize, HttpLargeBodyPieceSize);
}

TEST_F(RequestCompose, EmptyPostAnnouncesZeroAndSendsNothing) {
  ScriptedPeer peer(Answer("HTTP/1.0 204 No Content\r\n\r\n"));
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetURL(LocalUrl(peer.Port(), "/p"));
  TMemoryStream post;
  cli.SetPostStream(&post);
  ASSERT_TRUE(rec.Run(rqPost));
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_NE(peer.Received().find("\r\nContent-Length: 0\r\n\r\n"), std::string::npos)
      << peer.Received();
  EXPECT_TRUE(rec.sendSizes.empty());
  std::vector<std::string> send;
  for (const auto& e : rec.events)
    if (e.rfind("Send", 0) == 0) send.push_back(e);
  EXPECT_EQ(send, (std::vector<std::string>{"SendBegin", "SendEnd"}));
  EXPECT_EQ(rec.doneError, 0);
}

TEST_F(RequestCompose, RefusedAtOnceWithNothingSentAndNoStateChange) {
  // Nobody may connect to this peer.
  ScriptedPeer peer({step::Accept().Within(300)});
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  const std::string base = LocalUrl(peer.Port(), "/x");

  struct Case {
    const char* what;
    std::function<void(THttpCli&)> set;
  };
  const std::vector<Case> cases = {
      {"URL", [&](THttpCli& c) { c.SetURL(base + "\r\nX-Injected: 1"); }},
      {"URL", [&](THttpCli& c) { c.SetURL(base + std::string("\0", 1)); }},
      {"URL", [&](THttpCli& c) { c.SetURL(base + "\x01"); }},
      {"URL", [&](THttpCli& c) { c.SetURL(base + "\x7f"); }},
      {"URL",
       [&](THttpCli& c) { c.SetURL("http://127.0.0.1\t:" + std::to_string(peer.Port()) + "/"); }},
      {"Proxy", [&](THttpCli& c) { c.SetProxy("127.0.0.1\n"); }},
      {"Agent", [&](THttpCli& c) { c.SetAgent("A\r\nX-Injected: 1"); }},
      {"Accept", [&](THttpCli& c) { c.SetAccept("*/*\n"); }},
      {"Reference", [&](THttpCli& c) { c.SetReference("\rx"); }},
      {"Sender", [&](THttpCli& c) { c.SetSender("a\nb"); }},
      {"Cookie", [&](THttpCli& c) { c.SetCookie("a=1\r\n\r\nGET /evil HTTP/1.0"); }},
      {"ContentRangeBegin", [&](THttpCli& c) { c.SetContentRangeBegin("1\r\n"); }},
      {"Username", [&](THttpCli& c) { c.SetUsername("u\n"); }},
  };
  for (const Case& c : cases) {
    THttpCli fresh(nullptr);
    HttpRecorder freshRec(fresh);
    fresh.SetURL(base);
    c.set(fresh);
    try {
      fresh.StartRequest(rqGet);
      ADD_FAILURE() << "accepted a request with a control character in " << c.what;
    } catch (const EHttpException& e) {
      EXPECT_EQ(e.HttpCode(), httpErrControlChar);
      EXPECT_EQ(e.Message(), std::string("HTTP request refused: control character in ") + c.what);
    }
    EXPECT_EQ(fresh.RequestState(), hsIdle);
    EXPECT_TRUE(freshRec.events.empty()) << freshRec.Joined();
  }

  // Busy and nothing-to-post leave the running request alone / change nothing.
  try {
    cli.SetURL(base);
    cli.RunRequest(rqPost);
    ADD_FAILURE() << "posted without PostStream";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), httpErrNothingToPost);
    EXPECT_STREQ(e.what(), "HTTP component has nothing to post");
  }
  EXPECT_TRUE(rec.events.empty());

  ASSERT_TRUE(peer.Join(2000));
  EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(RequestCompose, BusyWhileARequestRuns) {
  ScriptedPeer peer({step::Accept(), step::ReadUntil("\r\n\r\n"), step::Pause(200),
                     step::Send("HTTP/1.0 200 OK\r\n\r\nfirst"), step::Close()});
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetURL(LocalUrl(peer.Port(), "/"));
  cli.StartRequest(rqGet);
  ASSERT_TRUE(test::PumpUntil([&] { return cli.RequestState() == hsAwaitingHeader; }, 5000));
  try {
    cli.RunRequest(rqHead);
    ADD_FAILURE() << "second request accepted";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), httpErrBusy);
    EXPECT_STREQ(e.what(), "HTTP component is busy");
  }
  EXPECT_EQ(cli.RequestKind(), rqGet);
  ASSERT_TRUE(test::PumpUntil([&] { return rec.doneCount == 1; }, 5000));
  EXPECT_EQ(rec.document, "first");
  EXPECT_EQ(rec.doneKind, rqGet);
}

TEST_F(RequestCompose, InjectionAfterTheStartNeverReachesTheWire) {
  // A handler changes a header property once the connection is up: the request is dropped
  // before one byte is sent, and the request fails with the refusal.
  ScriptedPeer peer({step::Accept(), step::WaitForPeerClose()});
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(10000);
  cli.SetURL(LocalUrl(peer.Port(), "/"));
  cli.OnSessionConnected = [&](TObject*) { cli.SetAgent("x\r\nX-Injected: 1"); };
  try {
    cli.GetDocument();
    ADD_FAILURE() << "no failure";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), httpErrControlChar);
    EXPECT_STREQ(e.what(), "HTTP request refused: control character in Agent");
  }
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_TRUE(peer.Succeeded()) << peer.Error();
  EXPECT_EQ(peer.Received(), "");
}

}  // namespace
}  // namespace vantrel
