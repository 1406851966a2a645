// THttpCli fetching documents from nginx through a SOCKS 5 server (microsocks) on 127.0.0.1.
#include <gtest/gtest.h>

#include "HttpProt.h"
#include "HttpTestUtil.h"
#include "TestServers.h"
#include "WSocket.h"

namespace vantrel {
namespace {

using test::HttpRecorder;

const char kDocument[] = "served through socks\n";

class HttpSocks : public test::HttpTest {};

// Counts the connections the control socket makes to a SOCKS server into Count.
void CountSocksConnections(THttpCli& Cli, int& Count) {
  Cli.CtrlSocket()->OnSocksConnected = [&Count](TObject*, std::uint16_t Error) {
    if (Error == 0) ++Count;
  };
}

TEST_F(HttpSocks, DocumentAndRelocationThroughSocks5WithPassword) {
  test::NginxServer Nginx(
      "    absolute_redirect off;\n"
      "    location = /moved { return 302 /a.txt; }\n");
  VANTREL_REQUIRE_SERVER(Nginx);
  ASSERT_TRUE(Nginx.AddFile("a.txt", kDocument));
  test::MicrosocksServer Socks("bob", "secret");
  VANTREL_REQUIRE_SERVER(Socks);

  THttpCli Cli(nullptr);
  HttpRecorder Recorder(Cli);
  TMemoryStream Body;
  Cli.SetReceiveStream(&Body);
  Cli.SetTimeLimit(10000);
  Cli.SetSocksServer("127.0.0.1");
  Cli.SetSocksPort(std::to_string(Socks.Port()));
  Cli.SetSocksAuthentication(socksAuthenticateUsercode);
  Cli.SetSocksUsercode("bob");
  Cli.SetSocksPassword("secret");
  int Connections = 0;
  CountSocksConnections(Cli, Connections);

  // The relocation makes a second connection: the settings are given again after the close.
  Cli.SetURL(Nginx.Url("/moved"));
  ASSERT_TRUE(Recorder.Run(rqGet)) << Recorder.Joined();
  EXPECT_EQ(Recorder.doneError, 0) << Cli.ResponseText();
  EXPECT_EQ(Cli.ResponseCode(), 200);
  EXPECT_EQ(Body.AsString(), kDocument);
  EXPECT_EQ(Connections, 2);
  EXPECT_NE(Nginx.AccessLog().find("GET /moved "), std::string::npos) << Nginx.AccessLog();
  EXPECT_NE(Nginx.AccessLog().find("GET /a.txt "), std::string::npos) << Nginx.AccessLog();
  EXPECT_EQ(Cli.CtrlSocket()->SocksServer(), "") << "the close cleared the socket's settings";

  // A refused password fails the request with the SOCKS code.
  Cli.SetSocksPassword("wrong");
  Cli.SetURL(Nginx.Url("/a.txt"));
  ASSERT_TRUE(Recorder.Run(rqGet)) << Recorder.Joined();
  EXPECT_EQ(Recorder.doneError, 20015);
  EXPECT_EQ(Cli.ResponseCode(), 404);
}

TEST_F(HttpSocks, OffByDefaultAndHostNamesResolvedByTheServer) {
  test::NginxServer Nginx;
  VANTREL_REQUIRE_SERVER(Nginx);
  ASSERT_TRUE(Nginx.AddFile("a.txt", kDocument));
  test::MicrosocksServer Socks;
  VANTREL_REQUIRE_SERVER(Socks);

  THttpCli Cli(nullptr);
  HttpRecorder Recorder(Cli);
  EXPECT_EQ(Cli.SocksServer(), "");
  EXPECT_EQ(Cli.SocksLevel(), "5");
  int Connections = 0;
  CountSocksConnections(Cli, Connections);
  Cli.SetTimeLimit(10000);
  Cli.SetURL(Nginx.Url("/a.txt"));
  ASSERT_TRUE(Recorder.Run(rqGet)) << Recorder.Joined();
  EXPECT_EQ(Cli.ResponseCode(), 200);
  EXPECT_EQ(Recorder.document, kDocument);
  EXPECT_EQ(Connections, 0) << "no SOCKS unless asked for";

  // A host name through SOCKS 5: the server resolves it.
  Recorder.document.clear();
  Cli.SetSocksServer("127.0.0.1");
  Cli.SetSocksPort(std::to_string(Socks.Port()));
  Cli.SetURL("http://localhost:" + std::to_string(Nginx.Port()) + "/a.txt");
  ASSERT_TRUE(Recorder.Run(rqGet)) << Recorder.Joined();
  EXPECT_EQ(Cli.ResponseCode(), 200) << Cli.ResponseText();
  EXPECT_EQ(Recorder.document, kDocument);
  EXPECT_EQ(Connections, 1);
}

}  // namespace
}  // namespace vantrel
