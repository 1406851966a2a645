// Moving bytes: the send queue's blocks, the drain, OnDataSent, receiving, and UDP.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "FreePort.h"
#include "ScriptedPeer.h"
#include "SocketTestUtil.h"
#include "WinSock.h"

namespace vantrel::test {
namespace {

using TransferTest = SocketTest;

// Connects Socket to the peer and pumps until the first OnDataSent.
void ConnectTo(TProbeSocket& Socket, EventLog& Log, std::uint16_t Port) {
  Aim(Socket, Port);
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 5000)) << Log.Joined();
  Log.Events.clear();
}

// Sends straight to the system until it takes nothing more (the peer does not read).
void FillPlatform(TProbeSocket& Socket) {
  const std::string Chunk(65536, 'f');
  for (int Round = 0; Round < 4; ++Round) {
    while (Socket.SendDirect(Chunk.data(), static_cast<std::int32_t>(Chunk.size())) > 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(Socket.SendDirect("f", 1), -1);
  ASSERT_EQ(SocketApi_WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(TransferTest, QueueBlocksWhileThePeerDoesNotRead) {
  ScriptedPeer::Options Small;
  Small.receiveBuffer = 4096;
  const std::string Block = Pattern(1514);
  // 1514 bytes fill exactly one block.
  {
    ScriptedPeer Peer({step::Accept(), step::StopReading(10000)}, Small);
    TProbeSocket Socket(nullptr);
    EventLog Log(Socket);
    ConnectTo(Socket, Log, Peer.Port());
    FillPlatform(Socket);
    EXPECT_EQ(Socket.Send(Block.data(), 1514), 1514);
    ASSERT_EQ(Socket.Queue().size(), 1u);
    EXPECT_EQ(Socket.Queue()[0]->WritePos(), 1514);
    EXPECT_EQ(Socket.Queue()[0]->ReadPos(), 0);
    EXPECT_EQ(Socket.Queue()[0]->Capacity(), 1514);
    EXPECT_FALSE(Socket.IsAllSent());
    PumpFor(20);
    EXPECT_FALSE(Log.Has("DataSent(0)")) << "nothing went out, so nothing was announced";
    Peer.Release();
  }
  // 1515 bytes make two blocks; 10 more go into the second one.
  {
    ScriptedPeer Peer({step::Accept(), step::StopReading(10000)}, Small);
    TProbeSocket Socket(nullptr);
    EventLog Log(Socket);
    ConnectTo(Socket, Log, Peer.Port());
    FillPlatform(Socket);
    const std::string Bytes = Pattern(1525);
    EXPECT_EQ(Socket.Send(Bytes.data(), 1515), 1515);
    ASSERT_EQ(Socket.Queue().size(), 2u);
    EXPECT_EQ(Socket.Queue()[0]->WritePos(), 1514);
    EXPECT_EQ(Socket.Queue()[1]->WritePos(), 1);
    EXPECT_EQ(Socket.Send(Bytes.data() + 1515, 10), 10);
    ASSERT_EQ(Socket.Queue().size(), 2u);
    EXPECT_EQ(Socket.Queue()[1]->WritePos(), 11);
    // Each attempt offered at most one block.
    for (std::int32_t Asked : Socket.SendAsked) {
      if (Asked != 65536 && Asked != 1) {
        EXPECT_LE(Asked, 1514);
      }
    }
    // Dropped by an abort, not sent.
    Socket.AbortSession();
    EXPECT_TRUE(Socket.Queue().empty());
    Peer.Release();
  }
}

// Every raw send takes at most 700 bytes, as a system short of buffer space would.
class TShortSendSocket : public TProbeSocket {
 public:
  using TProbeSocket::TProbeSocket;
  int ShortSends = 0;  // sends that took part of what the queue offered

 protected:
  std::int32_t SendRaw(const void* Data, std::int32_t Len) override {
    const std::int32_t Got = TProbeSocket::SendRaw(Data, std::min<std::int32_t>(Len, 700));
    ShortSends += Got > 0 && Got < Len ? 1 : 0;
    return Got;
  }
};

TEST_F(TransferTest, ShortSendsResumeAtTheExactByte) {
  const std::string Data = Pattern(6 * 1024 * 1024 + 777, 13);  // more than the system buffers
  ScriptedPeer::Options Small;
  Small.receiveBuffer = 16384;
  ScriptedPeer Peer({step::Accept(), step::StopReading(300),
                     step::Expect(Data.size()).Within(20000), step::Close()},
                    Small);
  TShortSendSocket Socket(nullptr);
  EventLog Log(Socket);
  Aim(Socket, Peer.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 5000));
  Log.Events.clear();
  // Uneven pieces, so that blocks are filled across Send calls.
  std::size_t Offset = 0;
  for (std::size_t Piece : {1u, 1513u, 1514u, 1515u, 100000u}) {
    ASSERT_EQ(Socket.Send(Data.data() + Offset, static_cast<std::int32_t>(Piece)),
              static_cast<std::int32_t>(Piece));
    Offset += Piece;
  }
  Socket.Send(Data.data() + Offset, static_cast<std::int32_t>(Data.size() - Offset));
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 20000)) << Log.Joined();
  ASSERT_TRUE(PumpUntil([&] { return Peer.Done(); }, 20000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  EXPECT_TRUE(Peer.Received() == Data) << "the byte stream differs from what was sent";

  bool Blocked = false;
  for (std::int32_t Got : Socket.SendGot) Blocked = Blocked || Got < 0;
  EXPECT_GT(Socket.ShortSends, 1000);
  EXPECT_TRUE(Blocked) << "the peer's pause should have made the system refuse bytes";
  ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsClosed; }, 5000));
}

TEST_F(TransferTest, ShortSystemSendsResumeAtTheExactByte) {
  // A slow reader with a tiny buffer: the system takes part of a block now and then.
  const std::string Data = Pattern(6 * 1024 * 1024 + 5, 99);
  ScriptedPeer::Options Small;
  Small.receiveBuffer = 2048;
  ScriptedPeer Peer({step::Accept(), step::StopReading(300),
                     step::Expect(Data.size()).Within(20000), step::Close()},
                    Small);
  TProbeSocket Socket(nullptr);
  EventLog Log(Socket);
  Aim(Socket, Peer.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 5000));
  Log.Events.clear();
  Socket.Send(Data.data(), static_cast<std::int32_t>(Data.size()));
  ASSERT_TRUE(PumpUntil([&] { return Peer.Done(); }, 20000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  EXPECT_TRUE(Peer.Received() == Data) << "the byte stream differs from what was sent";
  EXPECT_EQ(Log.Count("DataSent(0)"), 1);
  int Blocked = 0;
  int Short = 0;
  for (std::size_t I = 0; I < Socket.SendGot.size(); ++I) {
    Blocked += Socket.SendGot[I] < 0 ? 1 : 0;
    Short += Socket.SendGot[I] > 0 && Socket.SendGot[I] < Socket.SendAsked[I] ? 1 : 0;
  }
  EXPECT_GT(Blocked, 0) << "the paused reader should have made the system refuse bytes";
  RecordProperty("ShortSystemSends", Short);
  ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsClosed; }, 5000));
}

TEST_F(TransferTest, LargeSendBlocksAreSetWhileClosedAndCarryEveryByte) {
  TProbeSocket Socket(nullptr);
  EXPECT_EQ(Socket.SendBlockSize(), 1514);
  Socket.SetSendBlockSize(64 * 1024 * 1024);
  EXPECT_EQ(Socket.SendBlockSize(), MaxSendBlockSize);
  Socket.SetSendBlockSize(-1);
  EXPECT_EQ(Socket.SendBlockSize(), 1514);
  Socket.SetSendBlockSize(65536);

  const std::string Data = Pattern(5 * 1024 * 1024 + 333, 7);
  ScriptedPeer::Options Small;
  Small.receiveBuffer = 16384;
  ScriptedPeer Peer({step::Accept(), step::StopReading(300),
                     step::Expect(Data.size()).Within(20000), step::Close()},
                    Small);
  EventLog Log(Socket);
  ConnectTo(Socket, Log, Peer.Port());
  EXPECT_EQ(RaisedText([&] { Socket.SetSendBlockSize(0); }),
            "Cannot change SendBlockSize if not closed");
  Socket.Send(Data.data(), static_cast<std::int32_t>(Data.size()));
  ASSERT_FALSE(Socket.Queue().empty()) << "the paused peer leaves bytes queued";
  EXPECT_EQ(Socket.Queue().front()->Capacity(), 65536);
  ASSERT_TRUE(PumpUntil([&] { return Peer.Done(); }, 20000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  EXPECT_TRUE(Peer.Received() == Data) << "the byte stream differs from what was sent";
  const std::int32_t Largest = *std::max_element(Socket.SendAsked.begin(), Socket.SendAsked.end());
  EXPECT_EQ(Largest, 65536) << "one send carries at most one block, and a whole one when it can";
  ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsClosed; }, 5000));
  EXPECT_EQ(Socket.SendBlockSize(), 65536) << "kept across the close";
}

TEST_F(TransferTest, OnDataSentNeverFiresInsideSend) {
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly("abcdef"), step::WaitForPeerClose()});
  TProbeSocket Socket(nullptr);
  EventLog Log(Socket);
  bool InSend = false;
  int InsideSend = 0;
  Socket.OnDataSent = [&](TObject*, std::uint16_t Error) {
    InsideSend += InSend ? 1 : 0;
    Log.Add("DataSent", Error);
  };
  Aim(Socket, Peer.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 5000));
  Log.Events.clear();

  // The queue has no block yet: an empty send drains nothing and announces nothing.
  InSend = true;
  EXPECT_EQ(Socket.Send("", 0), 0);
  InSend = false;
  EXPECT_FALSE(Socket.IsAllSent());
  PumpFor(30);
  EXPECT_TRUE(Log.Events.empty()) << Log.Joined();

  InSend = true;
  EXPECT_EQ(Socket.SendText("abc"), 3);
  InSend = false;
  EXPECT_TRUE(Socket.IsAllSent()) << "three bytes go out at once";
  EXPECT_TRUE(Log.Events.empty()) << "announced later, from the loop";
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 5000));
  PumpFor(30);
  EXPECT_EQ(Log.Joined(), "DataSent(0) ");

  // Now an emptied block stays in the queue: an empty send drains it and is announced.
  Log.Events.clear();
  InSend = true;
  EXPECT_EQ(Socket.Send("", 0), 0);
  EXPECT_EQ(Socket.SendText("def"), 3);
  InSend = false;
  ASSERT_TRUE(PumpUntil([&] { return Log.Count("DataSent(0)") == 2; }, 5000));
  EXPECT_EQ(InsideSend, 0);
  Socket.CloseSession();
  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(TransferTest, SendToAResetPeerClosesOnceWithoutAnException) {
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly("go"), step::Reset()});
  TProbeSocket Socket(nullptr);
  EventLog Log(Socket);
  ConnectTo(Socket, Log, Peer.Port());
  Socket.SendText("go");
  // No pumping from here on: the reset must be met by the next send, not by a notice.
  ASSERT_TRUE(Peer.Join(5000));
  ASSERT_TRUE(Peer.Succeeded()) << Peer.Error();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Log.Events.clear();

  std::int32_t Result = 0;
  EXPECT_NO_THROW(Result = Socket.SendText("after the reset"));
  EXPECT_EQ(Result, 15);
  EXPECT_EQ(Log.Joined(), "ChangeState(wsConnected,wsClosed) SessionClosed(10054) ");
  EXPECT_EQ(Socket.State(), wsClosed);
  EXPECT_EQ(Socket.Handle(), INVALID_SOCKET);
  PumpFor(50);
  EXPECT_EQ(Log.Count("SessionClosed(10054)"), 1);
  EXPECT_EQ(Log.Count("SessionClosed(0)"), 0);
  EXPECT_EQ(Log.Events.back(), "DataSent(0)") << "the write notice Send posted still comes";
}

TEST_F(TransferTest, UnreadBytesAreDiscardedIn1024BytePieces) {
  const std::string Data = Pattern(5000);
  ScriptedPeer Peer({step::Accept(), step::Send(Data), step::WaitForPeerClose()});
  TProbeSocket Socket(nullptr);
  EventLog Log(Socket);
  Aim(Socket, Peer.Port());
  Socket.Connect();
  auto Discarded = [&] {
    std::int32_t Sum = 0;
    for (std::int32_t Got : Socket.RecvGot) Sum += Got > 0 ? Got : 0;
    return Sum;
  };
  ASSERT_TRUE(PumpUntil([&] { return Discarded() == 5000; }, 5000));
  ASSERT_GE(Socket.RecvAsked.size(), 5u);
  for (std::int32_t Asked : Socket.RecvAsked) EXPECT_EQ(Asked, 1024);
  for (std::int32_t Got : Socket.RecvGot) EXPECT_LE(Got, 1024);
  EXPECT_EQ(Socket.ReadCount(), 0) << "discarded bytes are not counted as read";

  // Nothing waits now: ReadText returns nothing without a receive.
  Socket.RecvAsked.clear();
  EXPECT_EQ(Socket.RcvdCount(), 0);
  EXPECT_EQ(Socket.ReadText(), "");
  EXPECT_TRUE(Socket.RecvAsked.empty());
  char Byte;
  EXPECT_EQ(Socket.ReadData(&Byte, 1), -1);
  EXPECT_EQ(Socket.LastError(), WSAEWOULDBLOCK);
  Socket.CloseSession();
  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(TransferTest, ReceivingCountsAndFailures) {
  ScriptedPeer Peer({step::Accept(), step::Send("0123456789"), step::WaitForPeerClose()});
  TProbeSocket Socket(nullptr);
  EventLog Log(Socket);
  std::string Received;
  Socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buffer[4];
    const std::int32_t N = Socket.ReadData(Buffer, sizeof Buffer);
    if (N > 0) Received.append(Buffer, static_cast<std::size_t>(N));
  };
  EXPECT_EQ(RaisedText([&] { Socket.SendText("x"); }),
            "Error 10057 in function Send\r\nSocket is not connected");
  const std::string NoSocket = RaisedText([&] { Socket.RcvdCount(); });
  EXPECT_EQ(NoSocket.rfind("Error ", 0), 0u) << NoSocket;
  EXPECT_NE(NoSocket.find(" in function ioctlSocket\r\n"), std::string::npos) << NoSocket;

  Aim(Socket, Peer.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Received.size() == 10; }, 5000));
  EXPECT_EQ(Received, "0123456789");
  EXPECT_EQ(Socket.ReadCount(), 10);
  Socket.CloseSession();
  EXPECT_EQ(Socket.ReadCount(), 0);
  ASSERT_TRUE(Peer.Join(5000));
}

TEST_F(TransferTest, UrgentSendFlagsAreKeptAcrossCloses) {
  TProbeSocket Socket(nullptr);
  Socket.SetSendFlags(wsSendUrgent);
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly("ab"), step::WaitForPeerClose()});
  EventLog Log(Socket);
  ConnectTo(Socket, Log, Peer.Port());
  // The last byte of an out-of-band send is the urgent one: a peer reading the normal stream
  // without SO_OOBINLINE never sees it.
  Socket.SendText("abc");
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 5000));
  Socket.CloseSession();
  EXPECT_EQ(Socket.SendFlags(), wsSendUrgent);
  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  EXPECT_EQ(Peer.Received(), "ab");
}

TEST_F(TransferTest, DatagramsBothWays) {
  // A datagram listener answers whoever wrote to it.
  TWSocket Server(nullptr);
  EventLog ServerLog(Server);
  std::string Got;
  Server.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buffer[100];
    SOCKADDR_IN From{};
    int FromLen = sizeof From;
    const std::int32_t N = Server.ReadDatagram(Buffer, sizeof Buffer, From, FromLen);
    if (N <= 0) return;
    Got.assign(Buffer, static_cast<std::size_t>(N));
    EXPECT_EQ(FromLen, 16);
    Server.SendDatagram(From, FromLen, "pong", 4);
  };
  Server.SetAddr("127.0.0.1");
  Server.SetPort("0");
  Server.SetProto("udp");
  Server.Listen();
  EXPECT_EQ(ServerLog.Joined(),
            "ChangeState(wsClosed,wsBound) ChangeState(wsBound,wsListening) "
            "ChangeState(wsListening,wsConnected) SessionConnected(0) ");
  const auto ServerPort = static_cast<std::uint16_t>(DecimalPrefixValue(Server.GetBoundPort()));
  ScriptedUdpPeer Asker({step::SendDatagramTo(ServerPort, "ping"), step::ExpectDatagram("pong")});
  ASSERT_TRUE(PumpUntil([&] { return Asker.Done(); }, 5000));
  EXPECT_TRUE(Asker.Succeeded()) << Asker.Error();
  EXPECT_EQ(Got, "ping");
  EXPECT_EQ(Server.ReadCount(), 4);

  // A datagram client sends to its address through the queue and reads the answer.
  ScriptedUdpPeer Answerer({step::ExpectDatagram("hello"), step::SendDatagram("world")});
  TWSocket Client(nullptr);
  std::string Answer;
  Client.OnDataAvailable = [&](TObject*, std::uint16_t) { Answer += Client.ReadText(); };
  Aim(Client, Answerer.Port(), "udp");
  Client.Connect();
  EXPECT_EQ(Client.SendText("hello"), 5);
  ASSERT_TRUE(PumpUntil([&] { return Answer == "world"; }, 5000)) << Answerer.Error();
  EXPECT_TRUE(PumpUntil([&] { return Answerer.Done(); }, 5000));
  EXPECT_TRUE(Answerer.Succeeded()) << Answerer.Error();
}

TEST_F(TransferTest, BroadcastIsAllowedOnlyForTheBroadcastAddress) {
  auto BroadcastOption = [](const TProbeSocket& Socket) {
    int Value = -1;
    int Len = sizeof Value;
    EXPECT_EQ(wsock32::getsockopt(Socket.Handle(), SOL_SOCKET, SO_BROADCAST,
                                  reinterpret_cast<char*>(&Value), &Len),
              0);
    return Value;
  };
  TProbeSocket Broadcast(nullptr);
  Broadcast.SetAddr("255.255.255.255");
  Broadcast.SetPort(std::to_string(FreeUdpPort()));
  Broadcast.SetProto("udp");
  Broadcast.Connect();
  ASSERT_EQ(Broadcast.State(), wsConnected);
  EXPECT_NE(BroadcastOption(Broadcast), 0);

  TProbeSocket Unicast(nullptr);
  Aim(Unicast, FreeUdpPort(), "udp");
  Unicast.Connect();
  ASSERT_EQ(Unicast.State(), wsConnected);
  EXPECT_EQ(BroadcastOption(Unicast), 0);
}

}  // namespace
}  // namespace vantrel::test
