// Relocations to a path or a bare name keep the port of the current request: through tinyproxy
// to a scripted server on a free port, with a scripted proxy for the default port, and directly.
#include <gtest/gtest.h>

#include "HttpProt.h"
#include "HttpTestUtil.h"
#include "ScriptedPeer.h"
#include "TestServers.h"

namespace vantrel {
namespace {

using test::Answers;
using test::FirstLine;
using test::HttpRecorder;
using test::LocalUrl;
using test::ScriptedPeer;
using test::ScriptStep;
namespace step = test::step;

// The request lines the client composed, one per request of the chain.
std::vector<std::string> RequestLines(const HttpRecorder& rec) {
  std::vector<std::string> lines;
  bool first = true;
  for (const std::string& c : rec.commands) {
    if (first) lines.push_back(c);
    first = c.empty();  // the empty line ends a request header
  }
  return lines;
}

using RelocationPort = test::HttpTest;

TEST_F(RelocationPort, PathAndBareNameThroughTinyproxyKeepTheServersPort) {
  test::TinyproxyServer proxy;
  VANTREL_REQUIRE_SERVER(proxy);
  ScriptedPeer server(Answers({"HTTP/1.0 302 Found\r\nLocation: /y\r\n\r\n",
                               "HTTP/1.0 301 Moved\r\nLocation: z.html\r\n\r\n",
                               "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfinal"}));
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  TMemoryStream doc;
  cli.SetReceiveStream(&doc);
  cli.SetTimeLimit(10000);
  cli.SetProxy("127.0.0.1");
  cli.SetProxyPort(std::to_string(proxy.Port()));
  cli.SetURL(LocalUrl(server.Port(), "/x"));
  // Sent to port 80, a relocated request would come back from the proxy as an error.
  cli.GetDocument();
  EXPECT_EQ(cli.ResponseCode(), 200);
  EXPECT_EQ(doc.AsString(), "final");
  ASSERT_TRUE(server.Join(5000));
  EXPECT_TRUE(server.Succeeded()) << server.Error();
  EXPECT_EQ(server.Connections(), 3);
  EXPECT_EQ(FirstLine(server.Received(1)).substr(0, 7), "GET /y ");
  EXPECT_EQ(FirstLine(server.Received(2)).substr(0, 12), "GET /z.html ");
  const std::string origin = LocalUrl(server.Port(), "");
  EXPECT_EQ(RequestLines(rec), (std::vector<std::string>{"GET " + origin + "/x HTTP/1.0",
                                                         "GET " + origin + "/y HTTP/1.0",
                                                         "GET " + origin + "/z.html HTTP/1.0"}));
  EXPECT_EQ(rec.Count("LocationChange " + origin + "/y"), 1);
  EXPECT_EQ(rec.Count("LocationChange " + origin + "/z.html"), 1);
  EXPECT_EQ(cli.CurrentLocation(), origin + "/z.html");
  EXPECT_EQ(rec.doneError, 0);
}

TEST_F(RelocationPort, DefaultPortStaysImplicitAndAnAbsoluteLocationIsKept) {
  // A scripted proxy answers for the origin server, so no server needs port 80.
  struct Case {
    std::string url;
    std::string location;
    std::string relocated;
    std::string host;  // of the relocated request's Host line
  };
  for (const Case& c : {
           Case{"http://origin.test/x", "/y", "http://origin.test/y", "origin.test"},
           Case{"http://origin.test:80/x", "y.html", "http://origin.test/y.html", "origin.test"},
           Case{"http://origin.test:8080/x", "y.html", "http://origin.test:8080/y.html",
                "origin.test"},
           Case{"http://origin.test:8080/x", "http://other.test:81/z", "http://other.test:81/z",
                "other.test"},
       }) {
    ScriptedPeer proxy(Answers({"HTTP/1.0 302 Found\r\nLocation: " + c.location + "\r\n\r\n",
                                "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}));
    THttpCli cli(nullptr);
    HttpRecorder rec(cli);
    cli.SetTimeLimit(10000);
    cli.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
    cli.SetURL(c.url);
    cli.GetDocument();
    ASSERT_TRUE(proxy.Join(5000)) << c.url;
    EXPECT_TRUE(proxy.Succeeded()) << c.url << ": " << proxy.Error();
    EXPECT_EQ(FirstLine(proxy.Received(0)), "GET " + c.url + " HTTP/1.0");
    EXPECT_EQ(FirstLine(proxy.Received(1)), "GET " + c.relocated + " HTTP/1.0")
        << c.url << " -> " << c.location;
    EXPECT_EQ(cli.CurrentLocation(), c.relocated);
    // The Host line names the relocated request's host alone.
    EXPECT_NE(proxy.Received(1).find("\r\nHost: " + c.host + "\r\n"), std::string::npos)
        << proxy.Received(1);
  }
}

TEST_F(RelocationPort, DirectBareNameAndSchemeRelativePathNameThePort) {
  // Directly the connection already went to the right port; the absolute target now says so.
  ScriptedPeer server(
      Answers({"HTTP/1.0 302 Found\r\nLocation: name.html\r\n\r\n",
               "HTTP/1.0 302 Found\r\nLocation: http:/p/q\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\nend"}));
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(10000);
  cli.SetURL(LocalUrl(server.Port(), "/start"));
  cli.GetDocument();
  ASSERT_TRUE(server.Join(5000));
  EXPECT_TRUE(server.Succeeded()) << server.Error();
  EXPECT_EQ(FirstLine(server.Received(0)), "GET /start HTTP/1.0");
  EXPECT_EQ(FirstLine(server.Received(1)),
            "GET " + LocalUrl(server.Port(), "/name.html") + " HTTP/1.0");
  EXPECT_EQ(FirstLine(server.Received(2)), "GET " + LocalUrl(server.Port(), "/p/q") + " HTTP/1.0");
  EXPECT_EQ(rec.document, "end");
}

}  // namespace
}  // namespace vantrel
