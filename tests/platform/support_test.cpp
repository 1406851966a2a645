// The test support library against the real servers on this machine and the child process
// owner: each test server answering a raw client.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ChildProcess.h"
#include "FreePort.h"
#include "RawClient.h"
#include "ScriptedPeer.h"
#include "SupportFixture.h"
#include "TestServers.h"

namespace vantrel::test {
namespace {

std::string PortBytes(std::uint16_t port) {
  return {static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

const std::string kLoopback("\x7F\x00\x00\x01", 4);

std::string HttpGet(RawClient& client, const std::string& target) {
  if (!client.Send("GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")) return {};
  return client.ReadToEnd();
}

using ChildProcessTest = SupportTest;

TEST_F(ChildProcessTest, RunsWaitsAndStops) {
  {
    ChildProcess child({"sh", "-c", "exit 3"});
    ASSERT_TRUE(child.Started()) << child.Error();
    EXPECT_TRUE(child.WaitForExit(5000));
    EXPECT_FALSE(child.IsRunning());
    EXPECT_EQ(child.ExitCode(), 3);
  }
  {
    ChildProcess missing({"/nonexistent/program"});
    EXPECT_FALSE(missing.Started());
    EXPECT_NE(missing.Error().find("No such file"), std::string::npos) << missing.Error();
  }
  {
    // A child that ignores SIGTERM is killed after the grace period.
    ChildProcess stubborn({"sh", "-c", "trap '' TERM; sleep 30"});
    ASSERT_TRUE(stubborn.Started());
    EXPECT_TRUE(stubborn.IsRunning());
    auto start = std::chrono::steady_clock::now();
    stubborn.Stop(200);
    EXPECT_FALSE(stubborn.IsRunning());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  {
    TempDir dir;
    std::string log = dir.File("out.log");
    ChildProcess child({"sh", "-c", "echo to-out; echo to-err >&2; exit 0"}, log);
    ASSERT_TRUE(child.WaitForExit(5000));
    EXPECT_EQ(ReadFile(log), "to-out\nto-err\n");
    // A child that exits never makes its port ready.
    std::uint16_t port = FreeTcpPort();
    ChildProcess quitter({"sh", "-c", "exit 0"});
    EXPECT_FALSE(quitter.WaitForPort(port, 5000));
  }
}

using TestServersTest = SupportTest;

TEST_F(TestServersTest, NginxServesFilesAndScriptedAnswers) {
  NginxServer nginx(
      "location = /moved { return 302 /docs/a.txt; }\n"
      "location = /text { return 200 \"scripted\"; }\n");
  VANTREL_REQUIRE_SERVER(nginx);
  ASSERT_TRUE(nginx.AddFile("docs/a.txt", "hello from nginx\n"));
  {
    RawClient client(nginx.Port());
    std::string reply = HttpGet(client, "/docs/a.txt");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Content-Type: text/plain\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("\r\n\r\nhello from nginx\n"), std::string::npos) << reply;
  }
  {
    RawClient client(nginx.Port());
    std::string reply = HttpGet(client, "/moved");
    EXPECT_EQ(reply.rfind("HTTP/1.1 302", 0), 0u) << reply;
    EXPECT_NE(reply.find("/docs/a.txt\r\n"), std::string::npos) << reply;
  }
  {
    RawClient client(nginx.Port());
    EXPECT_NE(HttpGet(client, "/text").find("\r\n\r\nscripted"), std::string::npos);
  }
  {
    RawClient client(nginx.Port());
    EXPECT_EQ(HttpGet(client, "/missing").rfind("HTTP/1.1 404", 0), 0u);
  }
  std::string log = nginx.AccessLog();
  EXPECT_NE(log.find("\"GET /docs/a.txt HTTP/1.0\" 200 17"), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET /missing HTTP/1.0\" 404"), std::string::npos) << log;
  EXPECT_EQ(nginx.Url("/x"), "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/x");
}

TEST_F(TestServersTest, TinyproxyRelaysToNginxWithAndWithoutAuthorisation) {
  NginxServer nginx;
  VANTREL_REQUIRE_SERVER(nginx);
  ASSERT_TRUE(nginx.AddFile("p.txt", "through the proxy"));
  {
    TinyproxyServer proxy;
    VANTREL_REQUIRE_SERVER(proxy);
    RawClient client(proxy.Port());
    std::string reply = HttpGet(client, nginx.Url("/p.txt"));
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u) << reply;
    EXPECT_NE(reply.find("\r\n\r\nthrough the proxy"), std::string::npos) << reply;
  }
  TinyproxyServer proxy("alice:s3cret");
  VANTREL_REQUIRE_SERVER(proxy);
  {
    RawClient client(proxy.Port());
    std::string reply = HttpGet(client, nginx.Url("/p.txt"));
    EXPECT_EQ(reply.rfind("HTTP/1.0 407", 0), 0u) << reply;
  }
  {
    RawClient client(proxy.Port());
    // "alice:s3cret" in base64.
    ASSERT_TRUE(client.Send("GET " + nginx.Url("/p.txt") +
                            " HTTP/1.0\r\nProxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n\r\n"));
    std::string reply = client.ReadToEnd();
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u) << reply;
  }
  EXPECT_NE(nginx.AccessLog().find("GET /p.txt"), std::string::npos);
}

// Opens a SOCKS 5 tunnel to 127.0.0.1:port through the client's server; "" or what went wrong.
std::string Socks5Connect(RawClient& client, std::uint16_t port, const std::string& user = {},
                          const std::string& password = {}) {
  bool auth = !user.empty();
  client.Send(auth ? std::string("\x05\x01\x02", 3) : std::string("\x05\x01\x00", 3));
  std::string choice = client.Read(2);
  if (choice != (auth ? std::string("\x05\x02", 2) : std::string("\x05\x00", 2)))
    return "method refused: \"" + PrintableBytes(choice) + "\"";
  if (auth) {
    client.Send(std::string("\x01", 1) + static_cast<char>(user.size()) + user +
                static_cast<char>(password.size()) + password);
    std::string status = client.Read(2);
    if (status != std::string("\x01\x00", 2))
      return "authentication refused: \"" + PrintableBytes(status) + "\"";
  }
  client.Send(std::string("\x05\x01\x00\x01", 4) + kLoopback + PortBytes(port));
  std::string reply = client.Read(10);
  if (reply.size() != 10 || reply[0] != 5 || reply[1] != 0)
    return "connect refused: \"" + PrintableBytes(reply) + "\"";
  return {};
}

TEST_F(TestServersTest, MicrosocksOpensSocks5Tunnels) {
  NginxServer nginx;
  VANTREL_REQUIRE_SERVER(nginx);
  ASSERT_TRUE(nginx.AddFile("s.txt", "via socks"));
  {
    MicrosocksServer socks;
    VANTREL_REQUIRE_SERVER(socks);
    RawClient client(socks.Port());
    ASSERT_EQ(Socks5Connect(client, nginx.Port()), "");
    EXPECT_NE(HttpGet(client, "/s.txt").find("\r\n\r\nvia socks"), std::string::npos);
  }
  MicrosocksServer socks("bob", "pw");
  VANTREL_REQUIRE_SERVER(socks);
  {
    RawClient client(socks.Port());
    EXPECT_EQ(Socks5Connect(client, nginx.Port(), "bob", "wrong").rfind("authentication", 0), 0u);
  }
  {
    RawClient client(socks.Port());
    ASSERT_EQ(Socks5Connect(client, nginx.Port(), "bob", "pw"), "");
    EXPECT_NE(HttpGet(client, "/s.txt").find("\r\n\r\nvia socks"), std::string::npos);
  }
}

TEST_F(TestServersTest, DanteOpensSocks4AndSocks5Tunnels) {
  NginxServer nginx;
  VANTREL_REQUIRE_SERVER(nginx);
  ASSERT_TRUE(nginx.AddFile("d.txt", "via dante"));
  DanteServer socks;
  VANTREL_REQUIRE_SERVER(socks);
  {
    RawClient client(socks.Port());
    ASSERT_TRUE(client.Send(std::string("\x04\x01", 2) + PortBytes(nginx.Port()) + kLoopback +
                            std::string("tester\0", 7)));
    std::string reply = client.Read(8);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(reply[0], 0);
    EXPECT_EQ(static_cast<unsigned char>(reply[1]), 0x5A) << PrintableBytes(reply);
    EXPECT_NE(HttpGet(client, "/d.txt").find("\r\n\r\nvia dante"), std::string::npos);
  }
  {
    RawClient client(socks.Port());
    ASSERT_EQ(Socks5Connect(client, nginx.Port()), "");
    EXPECT_NE(HttpGet(client, "/d.txt").find("\r\n\r\nvia dante"), std::string::npos);
  }
}

TEST_F(TestServersTest, DanteChecksUserNameAndPassword) {
  NginxServer nginx;
  VANTREL_REQUIRE_SERVER(nginx);
  DanteServer socks("vtsocks", "letmein");
  VANTREL_REQUIRE_SERVER(socks);
  {
    RawClient client(socks.Port());
    EXPECT_EQ(Socks5Connect(client, nginx.Port(), "vtsocks", "nope").rfind("authentication", 0),
              0u);
  }
  {
    RawClient client(socks.Port());
    ASSERT_EQ(Socks5Connect(client, nginx.Port(), "vtsocks", "letmein"), "") << socks.Log();
    EXPECT_EQ(HttpGet(client, "/").rfind("HTTP/1.1 200 OK", 0), 0u);
  }
  {
    // Without a method the server accepts, the greeting is refused.
    RawClient client(socks.Port());
    EXPECT_EQ(Socks5Connect(client, nginx.Port()).rfind("method refused", 0), 0u);
  }
}

}  // namespace
}  // namespace vantrel::test
