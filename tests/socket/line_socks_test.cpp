// Line mode on a connection made through a SOCKS 5 server: the bytes the server sent behind its
// reply are the first lines, delivered at once; and the same through a real server (microsocks).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ScriptedPeer.h"
#include "SocketTestUtil.h"
#include "TestServers.h"

namespace vantrel::test {
namespace {

constexpr int kWaitMs = 10000;
using Lines = std::vector<std::string>;

// A client in line mode that records its events; empty reads are kept as "data:".
struct SocksLineClient {
  SocksLineClient() {
    S.SetLineMode(true);
    S.OnSessionConnected = [this](TObject*, std::uint16_t Error) {
      Events.push_back("connected:" + std::to_string(Error));
    };
    S.OnDataAvailable = [this](TObject*, std::uint16_t) {
      const std::string Text = S.ReadText();
      Events.push_back("data:" + Text);
      if (!Text.empty()) Received.push_back(Text);
    };
    S.OnSessionClosed = [this](TObject*, std::uint16_t) { Events.push_back("closed"); };
  }
  void Connect(std::uint16_t SocksPort, const std::string& Addr, std::uint16_t Port) {
    S.SetSocksServer("127.0.0.1");
    S.SetSocksPort(std::to_string(SocksPort));
    S.SetAddr(Addr);
    S.SetPort(std::to_string(Port));
    S.Connect();
  }
  std::string Joined() const {
    std::string Out;
    for (const auto& E : Events) Out += PrintableBytes(E) + " ";
    return Out;
  }

  Lines Events;
  Lines Received;       // the non-empty reads
  TWSocket S{nullptr};  // last: destroyed first
};

using LineSocksTest = SocketTest;

TEST_F(LineSocksTest, BytesBehindTheServerReplyAreTheFirstLines) {
  const std::string Greeting("\x05\x01\x00", 3);
  const std::string Request =
      std::string("\x05\x01\x00\x03\x0c", 5) + "dest.example" + std::string("\x00\x50", 2);
  const std::string Reply("\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10);
  ScriptedPeer Server({step::Accept(), step::ExpectExactly(Greeting),
                       step::Send(std::string("\x05\x00", 2)), step::ExpectExactly(Request),
                       step::Send(Reply + "first\r\nsec"), step::Pause(200), step::Send("ond\r\n"),
                       step::WaitForPeerClose()});
  SocksLineClient C;
  C.Connect(Server.Port(), "dest.example", 80);
  ASSERT_TRUE(PumpUntil([&] { return !C.Received.empty(); }, kWaitMs)) << Server.Error();
  EXPECT_EQ(Server.CurrentStep(), 5u) << "the first line must not wait for more bytes";
  ASSERT_TRUE(PumpUntil([&] { return C.Received.size() >= 2; }, kWaitMs)) << C.Joined();
  // The SOCKS layer announces the connection's data once at once, with no line pending yet.
  EXPECT_EQ(C.Joined(), "connected:0 data: data:first\\r\\n data:second\\r\\n ");
  C.S.CloseSession();
  ASSERT_TRUE(Server.Join(kWaitMs));
  EXPECT_TRUE(Server.Succeeded()) << Server.Error();
}

TEST_F(LineSocksTest, LinesThroughMicrosocks) {
  MicrosocksServer Socks;
  VANTREL_REQUIRE_SERVER(Socks);
  ScriptedPeer Peer({step::Accept(), step::Send("welcome\r\nsecond li"), step::Pause(100),
                     step::Send("ne\r\n"), step::ExpectExactly("bye\r\n"), step::Send("tail"),
                     step::Close()});
  SocksLineClient C;
  C.Connect(Socks.Port(), "127.0.0.1", Peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return C.Received.size() >= 2; }, kWaitMs)) << C.Joined();
  C.S.SendText("bye\r\n");
  ASSERT_TRUE(PumpUntil([&] { return C.S.State() == wsClosed; }, kWaitMs)) << C.Joined();
  EXPECT_EQ(C.Received, (Lines{"welcome\r\n", "second line\r\n", "tail"}));
  EXPECT_EQ(C.Events.front(), "connected:0");
  EXPECT_EQ(C.Events.back(), "closed");
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

}  // namespace
}  // namespace vantrel::test
