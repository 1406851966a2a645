// The scripted peers against raw clients, and the message pump: the parts of the test support
// library that the Windows build has too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FreePort.h"
#include "Pump.h"
#include "RawClient.h"
#include "ScriptedPeer.h"
#include "SupportFixture.h"
#include "WinMessages.h"

namespace vantrel::test {
namespace {

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
  wc.hInstance = ProgramInstance();  // Windows finds a class by its name and module
  RegisterClass(&wc);
  HWND hwnd = CreateWindowEx(0, wc.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
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
  UnregisterClass(wc.lpszClassName, wc.hInstance);
}

}  // namespace
}  // namespace vantrel::test
