// The test support library proven against itself and the real servers on this machine: the
// scripted peers against raw clients, the child process owner, the message pump, and each test
// server answering a raw client.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "FreePort.h"
#include "LeakCheck.h"
#include "Pump.h"
#include "RawClient.h"
#include "ScriptedPeer.h"
#include "TestServers.h"
#include "WinMessages.h"

namespace vantrel::test {
namespace {

// Every test ends with the descriptors and windows it started with.
class SupportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The thread's message queue (epoll, eventfd, timerfd) lives as long as the thread: make it
    // exist before counting.
    MSG msg;
    PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);
    fds_ = OpenDescriptorCount();
    windows_ = LiveWindowCount();
  }
  void TearDown() override {
    EXPECT_EQ(OpenDescriptorCount(), fds_) << "descriptors left open";
    EXPECT_EQ(LiveWindowCount(), windows_) << "windows left open";
  }

 private:
  int fds_ = 0;
  int windows_ = 0;
};

std::string PortBytes(std::uint16_t port) {
  return {static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

const std::string kLoopback("\x7F\x00\x00\x01", 4);

std::string HttpGet(RawClient& client, const std::string& target) {
  if (!client.Send("GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")) return {};
  return client.ReadToEnd();
}

using ScriptedPeerTest = SupportTest;

TEST_F(ScriptedPeerTest, PlaysAScriptAgainstARawClient) {
  ScriptedPeer peer({step::Accept(), step::ReadUntil("\r\n"), step::ExpectExactly("rest"),
                     step::Expect(3), step::Send("abc"), step::SendSlowly("xyz", 2),
                     step::ShutdownWrite(), step::WaitForPeerClose()});
  ASSERT_NE(peer.Port(), 0) << peer.Error();
  {
    RawClient client(peer.Port());
    ASSERT_TRUE(client.Connected()) << client.Error();
    // Split across sends so the steps must join and cut the pieces themselves.
    ASSERT_TRUE(client.Send("HEL"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(client.Send("LO\r\nre"));
    ASSERT_TRUE(client.Send("st123"));
    EXPECT_EQ(client.ReadToEnd(), "abcxyz");
    EXPECT_TRUE(client.Ended());
    EXPECT_FALSE(client.WasReset());
    ASSERT_TRUE(client.Send("bye"));  // the peer still reads after its half-close
  }
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_TRUE(peer.Succeeded()) << peer.Error();
  EXPECT_EQ(peer.Received(), "HELLO\r\nrest123bye");
  EXPECT_EQ(peer.Connections(), 1);
}

TEST_F(ScriptedPeerTest, ReportsWrongBytesTimeoutsAndAnEarlyClose) {
  {
    ScriptedPeer peer({step::Accept(), step::ExpectExactly("GET /a"), step::Send("never")});
    RawClient client(peer.Port());
    ASSERT_TRUE(client.Send("GET /b"));
    ASSERT_TRUE(peer.Join(5000));
    EXPECT_FALSE(peer.Succeeded());
    EXPECT_NE(peer.Error().find("step 2 of 3"), std::string::npos) << peer.Error();
    EXPECT_NE(peer.Error().find("received \"GET /b\""), std::string::npos) << peer.Error();
    EXPECT_EQ(peer.CurrentStep(), 1u);
  }
  {
    ScriptedPeer peer({step::Accept(), step::Expect(1).Within(100)});
    RawClient client(peer.Port());
    ASSERT_TRUE(peer.Join(5000));
    EXPECT_NE(peer.Error().find("timed out after 0 of 1 bytes"), std::string::npos) << peer.Error();
  }
  {
    ScriptedPeer peer({step::Accept(), step::ReadUntil("\r\n\r\n")});
    RawClient client(peer.Port());
    ASSERT_TRUE(client.Send("partial"));
    client.Close();
    ASSERT_TRUE(peer.Join(5000));
    EXPECT_NE(peer.Error().find("closed the connection"), std::string::npos) << peer.Error();
    EXPECT_NE(peer.Error().find("partial"), std::string::npos) << peer.Error();
  }
  {
    ScriptedPeer peer({step::Accept().Within(100)});
    ASSERT_TRUE(peer.Join(5000));
    EXPECT_NE(peer.Error().find("timed out waiting for a connection"), std::string::npos);
  }
}

TEST_F(ScriptedPeerTest, ResetAndPeerResetAreSeen) {
  ScriptedPeer peer({step::Accept(), step::Send("x"), step::Pause(50), step::Reset(),
                     step::Accept(), step::WaitForPeerClose()});
  RawClient first(peer.Port());
  EXPECT_EQ(first.Read(1), "x");
  EXPECT_EQ(first.ReadToEnd(), "");
  EXPECT_TRUE(first.WasReset());
  RawClient second(peer.Port());
  ASSERT_TRUE(second.Send("y"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  second.Reset();
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_TRUE(peer.Succeeded()) << peer.Error();
  EXPECT_EQ(peer.Received(0), "");
  EXPECT_EQ(peer.Received(1), "y");
  EXPECT_EQ(peer.Connections(), 2);
}

TEST_F(ScriptedPeerTest, StopReadingBacksUpTheSenderUntilReleased) {
  ScriptedPeer::Options options;
  options.receiveBuffer = 4096;
  ScriptedPeer peer({step::Accept(), step::StopReading(10000), step::WaitForPeerClose()}, options);
  RawClient client(peer.Port());
  ASSERT_TRUE(client.Connected());
  // A sender facing a peer that does not read fills the buffers and then cannot go on.
  std::string block(4 << 20, 'b');
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    client.Send(block + block + block + block);
    sent = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(sent.load());
  EXPECT_EQ(peer.CurrentStep(), 1u);
  peer.Release();
  sender.join();
  EXPECT_TRUE(sent.load());
  client.Close();
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_TRUE(peer.Succeeded()) << peer.Error();
  EXPECT_EQ(peer.Received().size(), 16u << 20);
}

TEST_F(ScriptedPeerTest, ConnectsOutToAnotherPeer) {
  ScriptedPeer server(
      {step::Accept(), step::ExpectExactly("hello"), step::Send("world"), step::Close()});
  ScriptedPeer client({step::Connect(server.Port()), step::Send("hello"),
                       step::ExpectExactly("world"), step::WaitForPeerClose()});
  ASSERT_TRUE(server.Join(5000));
  ASSERT_TRUE(client.Join(5000));
  EXPECT_TRUE(server.Succeeded()) << server.Error();
  EXPECT_TRUE(client.Succeeded()) << client.Error();
  ScriptedPeer refused({step::Connect(FreeTcpPort())});
  ASSERT_TRUE(refused.Join(5000));
  EXPECT_NE(refused.Error().find("refused"), std::string::npos) << refused.Error();
}

TEST_F(ScriptedPeerTest, UdpPeerAnswersADatagram) {
  ScriptedUdpPeer peer(
      {step::ExpectDatagram("ping"), step::SendDatagram("pong"), step::ReceiveDatagram()});
  RawUdpSocket socket;
  ASSERT_TRUE(socket.Valid());
  ASSERT_TRUE(socket.SendTo(peer.Port(), "ping"));
  std::uint16_t from = 0;
  EXPECT_EQ(socket.Receive(5000, &from), "pong");
  EXPECT_EQ(from, peer.Port());
  ASSERT_TRUE(socket.SendTo(peer.Port(), std::string("\0\1", 2)));
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_TRUE(peer.Succeeded()) << peer.Error();
  EXPECT_EQ(peer.Datagrams(), (std::vector<std::string>{"ping", std::string("\0\1", 2)}));

  ScriptedUdpPeer wrong({step::ExpectDatagram("a")});
  ASSERT_TRUE(socket.SendTo(wrong.Port(), "b"));
  ASSERT_TRUE(wrong.Join(5000));
  EXPECT_NE(wrong.Error().find("expected \"a\" but received \"b\""), std::string::npos)
      << wrong.Error();
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

using PumpTest = SupportTest;

std::atomic<int> pumpTestMessages{0};
LRESULT CountingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_USER + 1) ++pumpTestMessages;
  return DefWindowProc(hwnd, msg, wParam, lParam);
}

TEST_F(PumpTest, DispatchesUntilDoneOrTheDeadline) {
  WNDCLASS wc{};
  wc.lpfnWndProc = CountingProc;
  wc.lpszClassName = "SupportPumpTestWindow";
  RegisterClass(&wc);
  HWND hwnd = CreateWindowEx(0, wc.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             ProgramInstance(), nullptr);
  ASSERT_NE(hwnd, nullptr);
  pumpTestMessages = 0;
  std::thread poster([hwnd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < 3; ++i) PostMessage(hwnd, WM_USER + 1, 0, 0);
  });
  EXPECT_TRUE(PumpUntil([] { return pumpTestMessages == 3; }, 5000));
  poster.join();

  // A condition changed by another thread without any message is still seen.
  std::atomic<bool> flag{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    flag = true;
  });
  int windows = LiveWindowCount();
  int windowsSeen = windows;
  EXPECT_TRUE(PumpUntil(
      [&] {
        windowsSeen = std::max(windowsSeen, LiveWindowCount());
        return flag.load();
      },
      5000));
  setter.join();
  EXPECT_EQ(windowsSeen, windows) << "the pump must not add windows of its own";

  // PumpFor(0) runs what is waiting and returns.
  PostMessage(hwnd, WM_USER + 1, 0, 0);
  PumpFor(0);
  EXPECT_EQ(pumpTestMessages, 4);

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(PumpUntil([] { return false; }, 100));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_LT(waited, std::chrono::seconds(5));
  MSG left;
  EXPECT_FALSE(PeekMessage(&left, nullptr, 0, 0, PM_REMOVE)) << "the pump left a message behind";

  // A quit request stops the pump and stays queued for the real loop.
  PostQuitMessage(7);
  EXPECT_FALSE(PumpUntil([] { return false; }, 5000));
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  DestroyWindow(hwnd);
  UnregisterClass(wc.lpszClassName, nullptr);
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
