// THttpCli keeps the caller's bytes and the peers' bytes whole: SOCKS failures, the POST body on
// every request, relocation targets, request targets, refused schemes, handlers that clear
// themselves and a request cut off from a header handler. Against scripted peers on 127.0.0.1.
#include <gtest/gtest.h>

#include "HttpProt.h"
#include "HttpTestUtil.h"
#include "ScriptedPeer.h"
#include "WSocket.h"
#include "WinSock.h"

namespace vantrel {
namespace {

using test::Answer;
using test::HttpRecorder;
using test::LocalUrl;
using test::ScriptedPeer;
namespace step = test::step;

using Integrity = test::HttpTest;

std::string FirstLine(const std::string& s) {
  return s.substr(0, s.find("\r\n"));
}

// Runs the request; the exception's code and text (0 and "" when none was raised).
std::pair<int, std::string> Fetch(THttpCli& cli, THttpRequest kind = rqGet) {
  try {
    cli.RunRequest(kind);
    return {0, ""};
  } catch (const EHttpException& e) {
    return {e.HttpCode(), e.what()};
  }
}

TEST_F(Integrity, SocksServerClosingDuringTheDialogueFailsTheRequest) {
  const std::string greeting("\x05\x01\x00", 3);
  for (const bool afterConnectRequest : {false, true}) {
    std::vector<test::ScriptStep> script{step::Accept(), step::ExpectExactly(greeting)};
    if (afterConnectRequest) {
      script.push_back(step::Send(std::string("\x05\x00", 2)));
      script.push_back(step::Expect(16));  // 5 1 0 3, "127.0.0.1" counted, the port
    }
    script.push_back(step::Close());
    ScriptedPeer socks(script);
    THttpCli cli(nullptr);
    HttpRecorder rec(cli);
    cli.SetTimeLimit(10000);
    cli.SetSocksServer("127.0.0.1");
    cli.SetSocksPort(std::to_string(socks.Port()));
    cli.SetURL("http://127.0.0.1:1/");
    const auto [code, text] = Fetch(cli);
    EXPECT_EQ(code, 404) << text;
    EXPECT_EQ(cli.ResponseCode(), 404);
    EXPECT_NE(text.find(afterConnectRequest ? "SOCKS server closed the connection after the "
                                              "connect request"
                                            : "SOCKS server closed the connection during the "
                                              "greeting"),
              std::string::npos)
        << text;
    EXPECT_EQ(rec.doneCount, 1);
    EXPECT_NE(rec.doneError, 0);
    EXPECT_TRUE(socks.Join(5000));
    EXPECT_TRUE(socks.Succeeded()) << socks.Error();
  }
}

TEST_F(Integrity, SocksRefusalIsWordedByTheSocksLayer) {
  ScriptedPeer socks({step::Accept(), step::Expect(3), step::Send(std::string("\x05\x00", 2)),
                      step::Expect(16), step::Send(std::string("\x05\x05\x00\x01\0\0\0\0\0\0", 10)),
                      step::WaitForPeerClose()});
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(10000);
  cli.SetSocksServer("127.0.0.1");
  cli.SetSocksPort(std::to_string(socks.Port()));
  cli.SetURL("http://127.0.0.1:1/");
  const auto [code, text] = Fetch(cli);
  EXPECT_EQ(code, 404);
  EXPECT_EQ(text, "SOCKS negotiation failed: connection refused (Error #20008)");
  EXPECT_EQ(rec.doneError, 20008);
}

// Reads a request header and a body of n bytes, then answers.
std::vector<test::ScriptStep> TakePost(std::size_t n, const std::string& answer) {
  return {step::Accept(), step::ReadUntil("\r\n\r\n"), step::Expect(n), step::Send(answer),
          step::Close()};
}

// Seeking is not possible: the body cannot be sent from its start.
class TOneWayStream : public TStream {
 public:
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t count) override { return count; }
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { throw EInOutError("cannot seek"); }
  void SetSize(std::int64_t) override {}
};

TEST_F(Integrity, EveryPostSendsTheWholeStream) {
  const std::string body(3000, 'b');
  std::vector<test::ScriptStep> script = TakePost(body.size(),
                                                  "HTTP/1.0 303 See\r\n"
                                                  "Location: /second\r\n\r\n");
  for (const auto* answer : {"HTTP/1.0 200 OK\r\n\r\nfirst", "HTTP/1.0 200 OK\r\n\r\nagain"})
    for (auto& s : TakePost(body.size(), answer)) script.push_back(std::move(s));
  ScriptedPeer server(script);
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  TMemoryStream post;
  post.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
  post.SetPosition(1000);  // not at its start: the body is still the whole stream
  cli.SetPostStream(&post);
  cli.SetTimeLimit(10000);
  cli.SetURL(LocalUrl(server.Port(), "/first"));
  EXPECT_EQ(Fetch(cli, rqPost).first, 0);  // relocated: the POST is repeated at /second
  EXPECT_EQ(Fetch(cli, rqPost).first, 0);  // the same stream again, now at its end
  ASSERT_TRUE(server.Join(5000));
  ASSERT_TRUE(server.Succeeded()) << server.Error();
  for (int i = 0; i < 3; ++i) {
    const std::string got = server.Received(i);
    EXPECT_EQ(FirstLine(got), i == 1 ? "POST /second HTTP/1.0" : "POST /first HTTP/1.0");
    EXPECT_NE(got.find("\r\nContent-Length: 3000\r\n"), std::string::npos) << i;
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), body) << i;
  }
  EXPECT_EQ(cli.SentBytes(), 3000);

  // A stream that cannot go back to its start is refused before anything happens.
  TOneWayStream oneWay;
  cli.SetPostStream(&oneWay);
  rec.events.clear();
  const auto [code, text] = Fetch(cli, rqPost);
  EXPECT_EQ(code, httpErrPostStream);
  EXPECT_NE(text.find("cannot be positioned at its start"), std::string::npos) << text;
  EXPECT_TRUE(rec.events.empty()) << rec.Joined();
}

TEST_F(Integrity, AbsoluteRelocationNamesItsOwnHostAndPort) {
  // Directly: the Host line and the request line name the new host and port.
  ScriptedPeer other(Answer("HTTP/1.0 200 OK\r\n\r\nthere"));
  const std::string there = "http://localhost:" + std::to_string(other.Port()) + "/x";
  ScriptedPeer first(Answer("HTTP/1.0 302 Found\r\nLocation: " + there + "\r\n\r\n"));
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(10000);
  cli.SetURL(LocalUrl(first.Port(), "/"));
  EXPECT_EQ(Fetch(cli).first, 0);
  ASSERT_TRUE(other.Join(5000));
  EXPECT_EQ(FirstLine(other.Received()), "GET " + there + " HTTP/1.0");
  EXPECT_NE(other.Received().find("\r\nHost: localhost\r\n"), std::string::npos)
      << other.Received();
  EXPECT_EQ(rec.document, "there");

  // A location naming no port goes to port 80, not to the first server's port again.
  ScriptedPeer same({step::Accept(), step::ReadUntil("\r\n\r\n"),
                     step::Send("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1/y\r\n\r\n"),
                     step::Close(), step::Accept(), step::ReadUntil("\r\n\r\n"),
                     step::Send("HTTP/1.0 200 OK\r\n\r\nwrong port"), step::Close()});
  rec.document.clear();
  cli.SetURL(LocalUrl(same.Port(), "/"));
  Fetch(cli);
  EXPECT_EQ(rec.document, "");
  EXPECT_EQ(same.Connections(), 1);

  // Through a proxy: a path resolves against the URL of the request that received it.
  ScriptedPeer proxy({step::Accept(), step::ReadUntil("\r\n\r\n"),
                      step::Send("HTTP/1.0 302 Found\r\nLocation: http://b.invalid:81/y\r\n\r\n"),
                      step::Close(), step::Accept(), step::ReadUntil("\r\n\r\n"),
                      step::Send("HTTP/1.0 302 Found\r\nLocation: /z\r\n\r\n"), step::Close(),
                      step::Accept(), step::ReadUntil("\r\n\r\n"),
                      step::Send("HTTP/1.0 200 OK\r\n\r\n"), step::Close()});
  cli.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
  cli.SetURL("http://a.invalid:8080/x");
  EXPECT_EQ(Fetch(cli).first, 0);
  ASSERT_TRUE(proxy.Join(5000));
  EXPECT_EQ(FirstLine(proxy.Received(2)), "GET http://b.invalid:81/z HTTP/1.0");
  EXPECT_NE(proxy.Received(2).find("\r\nHost: b.invalid\r\n"), std::string::npos);
}

TEST_F(Integrity, RequestTargetBytesArePercentEncoded) {
  ScriptedPeer server({step::Accept(), step::ReadUntil("\r\n\r\n"),
                       step::Send("HTTP/1.0 302 Found\r\nLocation: /new place\r\n\r\n"),
                       step::Close(), step::Accept(), step::ReadUntil("\r\n\r\n"),
                       step::Send("HTTP/1.0 200 OK\r\n\r\n"), step::Close()});
  THttpCli cli(nullptr);
  cli.SetTimeLimit(10000);
  const std::string url = LocalUrl(server.Port(), "/a b\"<>\\^`{|}\xC3\xA9%zz%4a?q=1");
  cli.SetURL(url);
  EXPECT_EQ(Fetch(cli).first, 0);
  ASSERT_TRUE(server.Join(5000));
  EXPECT_EQ(FirstLine(server.Received(0)),
            "GET /a%20b%22%3C%3E%5C%5E%60%7B%7C%7D%C3%A9%25zz%4a?q=1 HTTP/1.0");
  EXPECT_EQ(FirstLine(server.Received(1)), "GET /new%20place HTTP/1.0");
  EXPECT_EQ(cli.URL(), url);
}

TEST_F(Integrity, HandlersMayClearThemselves) {
  ScriptedPeer server({step::Accept(), step::ReadUntil("\r\n\r\n"),
                       step::Send("HTTP/1.0 200 OK\r\n\r\none"), step::Pause(20), step::Send("two"),
                       step::Close()});
  THttpCli cli(nullptr);
  TMemoryStream doc;
  cli.SetReceiveStream(&doc);
  cli.SetTimeLimit(10000);
  int docCalls = 0, doneCalls = 0;
  cli.OnDocData = [&](TObject*, const char*, int) {
    ++docCalls;
    cli.OnDocData = nullptr;
  };
  cli.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t) {
    ++doneCalls;
    cli.OnRequestDone = nullptr;
  };
  cli.SetURL(LocalUrl(server.Port(), "/"));
  cli.StartRequest(rqGet);
  ASSERT_TRUE(
      test::PumpUntil([&] { return doneCalls > 0 && cli.RequestState() == hsIdle; }, 10000));
  EXPECT_EQ(docCalls, 1);
  EXPECT_EQ(doneCalls, 1);
  EXPECT_EQ(doc.AsString(), "onetwo");
  EXPECT_FALSE(cli.OnDocData);
  EXPECT_FALSE(cli.OnRequestDone);
}

TEST_F(Integrity, OnlyHttpAndHttpsAreFetched) {
  ScriptedPeer server(Answer("HTTP/1.0 302 Found\r\nLocation: ftp://127.0.0.1:1/s\r\n\r\n"));
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(10000);
  cli.SetURL("FTP://127.0.0.1:" + std::to_string(server.Port()) + "/");
  auto [code, text] = Fetch(cli);
  EXPECT_EQ(code, httpErrUnsupportedScheme);
  EXPECT_EQ(text, "HTTP request refused: unsupported protocol FTP");
  EXPECT_TRUE(rec.events.empty()) << rec.Joined();

  // Case is ignored for http; a relocation to another scheme is refused before it is sent.
  cli.SetURL("HtTp://127.0.0.1:" + std::to_string(server.Port()) + "/");
  std::tie(code, text) = Fetch(cli);
  EXPECT_EQ(code, httpErrUnsupportedScheme);
  EXPECT_EQ(text, "HTTP request refused: unsupported protocol ftp");
  EXPECT_FALSE(rec.Has("LocationChange ftp://127.0.0.1:1/s"));
  ASSERT_TRUE(server.Join(5000));
  EXPECT_EQ(server.Connections(), 1);
}

TEST_F(Integrity, NothingIsDeliveredAfterAnAbortFromAHeaderHandler) {
  ScriptedPeer server(Answer("HTTP/1.0 200 OK\r\nA: 1\r\nContent-Length: 4\r\n\r\nbody"));
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  TMemoryStream doc;
  cli.SetReceiveStream(&doc);
  cli.SetTimeLimit(10000);
  cli.OnHeaderData = [&](TObject*) {
    rec.Add("HeaderData " + cli.CurrentLine());
    cli.CtrlSocket()->AbortSession();
  };
  cli.SetURL(LocalUrl(server.Port(), "/"));
  const auto [code, text] = Fetch(cli);
  EXPECT_EQ(code, httpErrShortResponse) << text;
  EXPECT_EQ(rec.Count("HeaderData HTTP/1.0 200 OK"), 1);
  EXPECT_FALSE(rec.Has("HeaderData A: 1")) << rec.Joined();
  EXPECT_FALSE(rec.Has("HeaderEnd"));
  EXPECT_FALSE(rec.Has("DocBegin"));
  EXPECT_EQ(doc.Size(), 0);
}

}  // namespace
}  // namespace vantrel
