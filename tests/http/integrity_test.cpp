// THttpCli keeps the caller's bytes and the peers' bytes whole: SOCKS failures, the POST body on
// every request, relocation targets, request targets, refused schemes, handlers that clear
// themselves and a request cut off from a header handler. Against scripted peers on 127.0.0.1.
#include <gtest/gtest.h>

#include "HttpProt.h"
#include "HttpTestUtil.h"
#include "ScriptedPeer.h"
#include "WSocket.h"

namespace vantrel {
namespace {

using test::Answer;
using test::Answers;
using test::FirstLine;
using test::LocalUrl;
using test::ScriptedPeer;
namespace step = test::step;

using Integrity = test::HttpTest;

// A client with a time limit, its recorder and its receive stream.
struct Client {
  Client() {
    cli.SetTimeLimit(10000);
    cli.SetReceiveStream(&doc);
  }
  // Runs the request; the exception's code and text (0 and "" when none was raised).
  std::pair<int, std::string> Fetch(const std::string& url, THttpRequest kind = rqGet) {
    cli.SetURL(url);
    try {
      cli.RunRequest(kind);
      return {0, ""};
    } catch (const EHttpException& e) {
      return {e.HttpCode(), e.what()};
    }
  }
  THttpCli cli{nullptr};
  test::HttpRecorder rec{cli};
  TMemoryStream doc;
};

TEST_F(Integrity, SocksFailuresFailTheRequestInTheSocksLayersWords) {
  const std::string greeting("\x05\x01\x00", 3), accepted("\x05\x00", 2);
  const std::string closed = "SOCKS negotiation failed: the SOCKS server closed the connection ";
  struct Case {
    std::vector<test::ScriptStep> script;
    std::string text;
  };
  // The connect request is 16 bytes: 5 1 0 3, "127.0.0.1" with its length, the port.
  for (const Case& c : {
           Case{{step::Accept(), step::ExpectExactly(greeting), step::Close()},
                closed + "during the greeting (Error #10054)"},
           Case{{step::Accept(), step::Expect(3), step::Send(accepted), step::Expect(16),
                 step::Close()},
                closed + "after the connect request (Error #10054)"},
           Case{{step::Accept(), step::Expect(3), step::Send(accepted), step::Expect(16),
                 step::Send(std::string("\x05\x05\x00\x01\0\0\0\0\0\0", 10)),
                 step::WaitForPeerClose()},
                "SOCKS negotiation failed: connection refused (Error #20008)"},
       }) {
    ScriptedPeer socks(c.script);
    Client x;
    x.cli.SetSocksServer("127.0.0.1");
    x.cli.SetSocksPort(std::to_string(socks.Port()));
    EXPECT_EQ(x.Fetch("http://127.0.0.1:1/"), std::make_pair(404, c.text));
    EXPECT_EQ(x.rec.doneCount, 1);
    EXPECT_NE(x.rec.doneError, 0) << c.text;
    EXPECT_TRUE(socks.Join(5000) && socks.Succeeded()) << socks.Error();
  }
}

// A stream that claims 10 bytes and gives none; one that cannot seek at all.
class TBrokenStream : public TStream {
 public:
  explicit TBrokenStream(bool seekable) : seekable_(seekable) {}
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t count) override { return count; }
  std::int64_t Seek(std::int64_t, TSeekOrigin origin) override {
    if (!seekable_) throw EInOutError("cannot seek");
    return origin == soEnd ? 10 : 0;
  }
  void SetSize(std::int64_t) override {}

 private:
  bool seekable_;
};

TEST_F(Integrity, EveryPostSendsTheWholeStream) {
  const std::string body(3000, 'b');
  std::vector<test::ScriptStep> script;
  for (const char* answer : {"HTTP/1.0 303 See\r\nLocation: /second\r\n\r\n",
                             "HTTP/1.0 200 OK\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n"})
    for (auto& s : {step::Accept(), step::ReadUntil("\r\n\r\n"), step::Expect(body.size()),
                    step::Send(answer), step::Close()})
      script.push_back(s);
  ScriptedPeer server(script);
  Client x;
  TMemoryStream post;
  post.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
  post.SetPosition(1000);  // not at its start: the body is still the whole stream
  x.cli.SetPostStream(&post);
  // Relocated (the POST is repeated at /second), then the same stream again, now at its end.
  EXPECT_EQ(x.Fetch(LocalUrl(server.Port(), "/first"), rqPost).first, 0);
  EXPECT_EQ(x.Fetch(LocalUrl(server.Port(), "/first"), rqPost).first, 0);
  ASSERT_TRUE(server.Join(5000) && server.Succeeded()) << server.Error();
  for (int i = 0; i < 3; ++i) {
    const std::string got = server.Received(i);
    EXPECT_EQ(FirstLine(got), i == 1 ? "POST /second HTTP/1.0" : "POST /first HTTP/1.0");
    EXPECT_NE(got.find("\r\nContent-Length: 3000\r\n"), std::string::npos) << i;
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), body) << i;
  }

  // A stream that cannot go back to its start is refused before anything happens; one that
  // gives less than its size fails the request.
  ScriptedPeer waiting({step::Accept(), step::ReadUntil("\r\n\r\n"), step::WaitForPeerClose()});
  TBrokenStream shortOne(true), oneWay(false);
  x.cli.SetPostStream(&shortOne);
  EXPECT_EQ(x.Fetch(LocalUrl(waiting.Port(), "/"), rqPost),
            std::make_pair(httpErrNotSent, std::string("HTTP request could not be sent: the body "
                                                       "stream ended after 0 of 10 bytes")));
  x.cli.SetPostStream(&oneWay);
  x.rec.events.clear();
  const auto [code, text] = x.Fetch(LocalUrl(server.Port(), "/"), rqPost);
  EXPECT_EQ(code, httpErrPostStream);
  EXPECT_NE(text.find("cannot be positioned at its start"), std::string::npos) << text;
  EXPECT_TRUE(x.rec.events.empty()) << x.rec.Joined();
}

TEST_F(Integrity, AbsoluteRelocationNamesItsOwnHostAndPort) {
  // Directly: the Host line and the request line name the new host and port.
  ScriptedPeer other(Answer("HTTP/1.0 200 OK\r\n\r\nthere"));
  const std::string there = "http://localhost:" + std::to_string(other.Port()) + "/x";
  ScriptedPeer first(Answer("HTTP/1.0 302 Found\r\nLocation: " + there + "\r\n\r\n"));
  Client x;
  EXPECT_EQ(x.Fetch(LocalUrl(first.Port(), "/")).first, 0);
  ASSERT_TRUE(other.Join(5000));
  EXPECT_EQ(FirstLine(other.Received()), "GET " + there + " HTTP/1.0");
  EXPECT_NE(other.Received().find("\r\nHost: localhost\r\n"), std::string::npos);
  EXPECT_EQ(x.doc.AsString(), "there");

  // A location naming no port goes to port 80, not to the first server's port again.
  ScriptedPeer same(Answers({"HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1/y\r\n\r\n",
                             "HTTP/1.0 200 OK\r\n\r\nwrong port"}));
  x.Fetch(LocalUrl(same.Port(), "/"));
  EXPECT_EQ(same.Connections(), 1);
  EXPECT_EQ(x.doc.AsString(), "there");

  // Through a proxy: a path resolves against the URL of the request that received it.
  ScriptedPeer proxy(
      Answers({"HTTP/1.0 302 Found\r\nLocation: http://b.invalid:81/y\r\n\r\n",
               "HTTP/1.0 302 Found\r\nLocation: /z\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n"}));
  x.cli.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
  EXPECT_EQ(x.Fetch("http://a.invalid:8080/x").first, 0);
  ASSERT_TRUE(proxy.Join(5000));
  EXPECT_EQ(FirstLine(proxy.Received(2)), "GET http://b.invalid:81/z HTTP/1.0");
  EXPECT_NE(proxy.Received(2).find("\r\nHost: b.invalid\r\n"), std::string::npos);
}

TEST_F(Integrity, RequestTargetBytesArePercentEncoded) {
  ScriptedPeer server(
      Answers({"HTTP/1.0 302 Found\r\nLocation: /new place\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n"}));
  Client x;
  const std::string url = LocalUrl(server.Port(), "/a b\"<>\\^`{|}\xC3\xA9%zz%4a?q=1");
  EXPECT_EQ(x.Fetch(url).first, 0);
  ASSERT_TRUE(server.Join(5000));
  EXPECT_EQ(FirstLine(server.Received(0)),
            "GET /a%20b%22%3C%3E%5C%5E%60%7B%7C%7D%C3%A9%25zz%4a?q=1 HTTP/1.0");
  EXPECT_EQ(FirstLine(server.Received(1)), "GET /new%20place HTTP/1.0");
  EXPECT_EQ(x.cli.URL(), url);
}

TEST_F(Integrity, HandlersMayClearThemselves) {
  ScriptedPeer server(Answer("HTTP/1.0 200 OK\r\n\r\ndocument"));
  Client x;
  int docCalls = 0, doneCalls = 0;
  x.cli.OnDocData = [&](TObject*, const char*, int) {
    ++docCalls;
    x.cli.OnDocData = nullptr;
  };
  x.cli.OnRequestDone = [&](TObject*, THttpRequest, std::uint16_t) {
    ++doneCalls;
    x.cli.OnRequestDone = nullptr;
  };
  EXPECT_EQ(x.Fetch(LocalUrl(server.Port(), "/")).first, 0);
  EXPECT_EQ(docCalls + doneCalls, 2);
  EXPECT_EQ(x.doc.AsString(), "document");
}

TEST_F(Integrity, OnlyHttpAndHttpsAreFetched) {
  ScriptedPeer server(Answer("HTTP/1.0 302 Found\r\nLocation: ftp://127.0.0.1:1/s\r\n\r\n"));
  Client x;
  const std::string hostAndPort = "://127.0.0.1:" + std::to_string(server.Port()) + "/";
  EXPECT_EQ(x.Fetch("FTP" + hostAndPort),
            std::make_pair(httpErrUnsupportedScheme,
                           std::string("HTTP request refused: unsupported protocol FTP")));
  EXPECT_TRUE(x.rec.events.empty()) << x.rec.Joined();
  // Case is ignored for http; a relocation to another scheme is refused before it is sent.
  EXPECT_EQ(x.Fetch("HtTp" + hostAndPort),
            std::make_pair(httpErrUnsupportedScheme,
                           std::string("HTTP request refused: unsupported protocol ftp")));
  EXPECT_FALSE(x.rec.Has("LocationChange ftp://127.0.0.1:1/s"));
  EXPECT_TRUE(server.Join(5000) && server.Succeeded()) << server.Error();
}

TEST_F(Integrity, NothingIsDeliveredAfterAnAbortFromAHeaderHandler) {
  ScriptedPeer server(Answer("HTTP/1.0 200 OK\r\nA: 1\r\nContent-Length: 4\r\n\r\nbody"));
  Client x;
  x.cli.OnHeaderData = [&](TObject*) {
    x.rec.Add("HeaderData " + x.cli.CurrentLine());
    x.cli.CtrlSocket()->AbortSession();
  };
  EXPECT_EQ(x.Fetch(LocalUrl(server.Port(), "/")).first, httpErrShortResponse);
  EXPECT_EQ(x.rec.Count("HeaderData HTTP/1.0 200 OK"), 1);
  for (const char* e : {"HeaderData A: 1", "HeaderEnd", "DocBegin"})
    EXPECT_FALSE(x.rec.Has(e)) << e << "\n" << x.rec.Joined();
  EXPECT_EQ(x.doc.Size(), 0);
}

}  // namespace
}  // namespace vantrel
