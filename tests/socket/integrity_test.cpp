// Nothing handed over is lost or mangled: queued bytes outlive a graceful close, a datagram send
// keeps its boundaries, a lookup may be started with the component's own result, and a handler
// may clear itself.
#include <gtest/gtest.h>

#include "RawClient.h"
#include "ScriptedPeer.h"
#include "SlowReader.h"
#include "SocketTestUtil.h"
#include "WinSock.h"

namespace vantrel::test {
namespace {

using IntegrityTest = SocketTest;

constexpr std::size_t MiB = 1024 * 1024;

bool FlushesDone() {
  return wsock32::PendingFlushCount() == 0;
}

TEST_F(IntegrityTest, GracefulCloseDeliversTheQueueThenEndsOrResetsAfterFlushTimeout) {
  const std::string Data = Pattern(8 * MiB);
  {
    // The owner closes at once; the peer starts reading half a second later.
    SlowReader Reader(500, 0);
    ASSERT_NE(Reader.Port(), 0) << Reader.Error();
    TWSocket Socket(nullptr);
    EventLog Log(Socket);
    Socket.OnSessionConnected = [&](TObject*, std::uint16_t) {
      Socket.Send(Data.data(), static_cast<std::int32_t>(Data.size()));
      Socket.CloseSession();
    };
    Aim(Socket, Reader.Port());
    Socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Reader.Finished() && FlushesDone(); }, 60000))
        << Reader.Total() << " bytes read";
    EXPECT_EQ(Log.Joined(),
              "ChangeState(wsClosed,wsOpened) ChangeState(wsOpened,wsConnecting) "
              "ChangeState(wsConnecting,wsConnected) ChangeState(wsConnected,wsClosed) "
              "SessionClosed(0) ");
    EXPECT_EQ(Reader.Total(), Data.size());
    EXPECT_TRUE(Reader.PatternOk());
    EXPECT_TRUE(Reader.EndedCleanly()) << Reader.Error();
  }
  {
    // An echo whose client sends everything, half-closes and reads only after the echo side
    // has seen its end: the close that follows the peer's FD_CLOSE must not cut the echo.
    TWSocket Listener(nullptr);
    TWSocket Echo(nullptr);
    bool EchoClosed = false;
    Listener.OnSessionAvailable = [&](TObject*, std::uint16_t) { Echo.Dup(Listener.Accept()); };
    Echo.OnDataAvailable = [&](TObject*, std::uint16_t) { Echo.SendText(Echo.ReadText()); };
    Echo.OnSessionClosed = [&](TObject*, std::uint16_t) { EchoClosed = true; };
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.Listen();
    const auto Port = static_cast<std::uint16_t>(DecimalPrefixValue(Listener.GetBoundPort()));
    ScriptedPeer Client({step::Connect(Port), step::Send(Data), step::ShutdownWrite(),
                         step::StopReading(60000), step::ExpectExactly(Data)},
                        {.stepTimeoutMs = 60000});
    ASSERT_TRUE(PumpUntil([&] { return EchoClosed; }, 60000));
    EXPECT_EQ(Echo.State(), wsClosed);
    Client.Release();
    ASSERT_TRUE(PumpUntil([&] { return Client.Done() && FlushesDone(); }, 60000));
    EXPECT_TRUE(Client.Succeeded()) << Client.Error();
    Listener.CloseSession();
  }
  {
    // A peer that never reads: the connection is reset once FlushTimeout has passed.
    ScriptedPeer Peer({step::Accept(), step::StopReading(60000), step::Expect(Data.size())},
                      {.stepTimeoutMs = 60000});
    TWSocket Socket(nullptr);
    Socket.OnSessionConnected = [&](TObject*, std::uint16_t) {
      Socket.Send(Data.data(), static_cast<std::int32_t>(Data.size()));
      Socket.SetFlushTimeout(1);
      Socket.CloseSession();
      EXPECT_EQ(Socket.FlushTimeout(), 60) << "a close restores the default";
    };
    Aim(Socket, Peer.Port());
    Socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsClosed && FlushesDone(); }, 60000));
    Peer.Release();
    ASSERT_TRUE(Peer.Join(60000));
    EXPECT_NE(Peer.Error().find("reset"), std::string::npos) << Peer.Error();
    EXPECT_LT(Peer.Received().size(), Data.size());
  }
}

TEST_F(IntegrityTest, DupOverAnOpenSocketNeverPassesItsQueueToTheNewPeer) {
  // Bytes still queued for the first peer must not reach the connection adopted in its place.
  ScriptedPeer First({step::Accept(), step::StopReading(60000)}, {.stepTimeoutMs = 60000});
  TWSocket Socket(nullptr);
  const std::string Data = Pattern(8 * MiB);
  Socket.OnSessionConnected = [&](TObject*, std::uint16_t) {
    Socket.Send(Data.data(), static_cast<std::int32_t>(Data.size()));
  };
  Aim(Socket, First.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsConnected; }, 10000));

  TWSocket Listener(nullptr);
  Listener.OnSessionAvailable = [&](TObject*, std::uint16_t) {
    Socket.Dup(Listener.Accept());
    Socket.SendText("hello");
    Socket.CloseSession();
  };
  Listener.SetAddr("127.0.0.1");
  Listener.SetPort("0");
  Listener.Listen();
  const auto Port = static_cast<std::uint16_t>(DecimalPrefixValue(Listener.GetBoundPort()));
  ScriptedPeer Second({step::Connect(Port), step::ExpectExactly("hello")});
  ASSERT_TRUE(PumpUntil([&] { return Second.Done() && FlushesDone(); }, 30000));
  EXPECT_TRUE(Second.Succeeded()) << Second.Error();
  First.Release();
  Listener.CloseSession();
}

TEST_F(IntegrityTest, EachDatagramSendIsOneDatagramAndOversizeIsReported) {
  RawUdpSocket Peer;
  ASSERT_TRUE(Peer.Valid());
  TWSocket Socket(nullptr);
  Aim(Socket, Peer.Port(), "udp");
  Socket.Connect();
  ASSERT_EQ(Socket.State(), wsConnected);
  for (const std::size_t Size : {3000u, 60000u}) {
    const std::string Data = Pattern(Size, Size);
    EXPECT_EQ(Socket.Send(Data.data(), static_cast<std::int32_t>(Size)),
              static_cast<std::int32_t>(Size));
    EXPECT_EQ(Peer.Receive(), Data) << "one datagram of " << Size << " bytes";
  }
  const std::string TooLarge = Pattern(70000);
  EXPECT_EQ(RaisedText([&] { Socket.Send(TooLarge.data(), 70000); }).rfind("Error 10040 ", 0), 0u);
  // The refused datagram does not hold up the next one.
  EXPECT_EQ(Socket.SendText("after"), 5);
  EXPECT_EQ(Peer.Receive(), "after");
  Socket.CloseSession();
}

TEST_F(IntegrityTest, LookupsStartedWithTheirOwnResult) {
  TWSocket Socket(nullptr);
  std::vector<std::string> Done;  // "error:result" of each lookup
  Socket.OnDnsLookupDone = [&](TObject*, std::uint16_t Error) {
    Done.push_back(std::to_string(Error) + ":" + Socket.DnsResult());
  };
  Socket.StartDnsLookup("127.0.0.2");
  Socket.StartDnsLookup(Socket.DnsResult());
  EXPECT_EQ(Done, (std::vector<std::string>{"0:127.0.0.2", "0:127.0.0.2"}))
      << "a dotted address is answered at once, and stays itself";

  // Name to address, then from the handler the address back to a name.
  Done.clear();
  Socket.OnDnsLookupDone = [&](TObject*, std::uint16_t Error) {
    Done.push_back(std::to_string(Error) + ":" + Socket.DnsResult());
    if (Done.size() == 1) Socket.StartReverseDnsLookup(Socket.DnsResult());
  };
  Socket.StartDnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return Done.size() == 2; }, 10000));
  EXPECT_EQ(Done[0], "0:127.0.0.1");
  EXPECT_EQ(Done[1].rfind("0:", 0), 0u) << Done[1];
  EXPECT_GT(Done[1].size(), 2u) << "the reverse lookup names the address";
}

TEST_F(IntegrityTest, HandlersMayClearThemselves) {
  ScriptedPeer Peer({step::Accept(), step::Send("hello"), step::Close()});
  TWSocket Socket(nullptr);
  // Each handler uses what it captured after clearing itself: only a call through a copy
  // keeps those captures alive.
  std::string Read;
  int Closes = 0;
  Socket.OnDataAvailable = [&, Buffer = std::string(64, '\0')](TObject*, std::uint16_t) mutable {
    Socket.OnDataAvailable = nullptr;
    const std::int32_t Got =
        Socket.ReadData(Buffer.data(), static_cast<std::int32_t>(Buffer.size()));
    if (Got > 0) Read.append(Buffer, 0, static_cast<std::size_t>(Got));
  };
  Socket.OnSessionClosed = [&, Tag = std::string("closed")](TObject*, std::uint16_t) {
    Socket.OnSessionClosed = nullptr;
    Closes += Tag.size() == 6 ? 1 : 100;
  };
  Aim(Socket, Peer.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsClosed; }, 10000));
  EXPECT_EQ(Read, "hello");
  EXPECT_EQ(Closes, 1);
  EXPECT_FALSE(Socket.OnDataAvailable);
  EXPECT_FALSE(Socket.OnSessionClosed);
  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

}  // namespace
}  // namespace vantrel::test
