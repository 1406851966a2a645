// Connecting, listening, accepting and closing: the events each path fires, in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "FreePort.h"
#include "RawClient.h"
#include "ScriptedPeer.h"
#include "SocketTestUtil.h"
#include "WinSock.h"

namespace vantrel::test {
namespace {

using SessionTest = SocketTest;

// The accept queue length the system gave the TCP port listening on 127.0.0.1 (the Send-Q
// column of ss for a listening socket); -1 when ss is missing or lists no such socket.
int ListenQueueLength(const std::string& Port) {
  const std::string Command = "ss -ltnH 'src 127.0.0.1 and sport = :" + Port + "' 2>/dev/null";
  FILE* Pipe = popen(Command.c_str(), "r");
  if (Pipe == nullptr) return -1;
  std::string Output;
  char Chunk[256];
  while (std::fgets(Chunk, sizeof Chunk, Pipe) != nullptr) Output += Chunk;
  pclose(Pipe);
  std::istringstream Line(Output);
  std::string State;
  int Received = -1, Queue = -1;
  Line >> State >> Received >> Queue;
  return State == "LISTEN" ? Queue : -1;
}

TEST_F(SessionTest, StreamConnectThatSucceedsThenALocalClose) {
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly("ping"), step::WaitForPeerClose()});
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  Aim(Socket, Peer.Port());
  Socket.Connect();
  EXPECT_EQ(Log.Joined(), "ChangeState(wsClosed,wsOpened) ChangeState(wsOpened,wsConnecting) ");
  EXPECT_EQ(RaisedText([&] { Socket.Connect(); }), "Connect: Socket already in use");
  EXPECT_EQ(Socket.LocalPort(), "0") << "a stream socket with local port 0 binds nothing";

  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 5000)) << Log.Joined();
  EXPECT_EQ(Log.Joined(),
            "ChangeState(wsClosed,wsOpened) ChangeState(wsOpened,wsConnecting) "
            "ChangeState(wsConnecting,wsConnected) SessionConnected(0) DataSent(0) ");
  EXPECT_EQ(Socket.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(Socket.PeerPort(), std::to_string(Peer.Port()));
  EXPECT_NE(Socket.GetBoundPort(), "error");

  EXPECT_EQ(Socket.SendText("ping"), 4);
  ASSERT_TRUE(PumpUntil([&] { return Log.Count("DataSent(0)") == 2; }, 5000));
  Log.Events.clear();
  Socket.CloseSession();
  EXPECT_EQ(Log.Joined(), "ChangeState(wsConnected,wsClosed) SessionClosed(0) ");
  EXPECT_EQ(Log.StateAtClose, wsClosed) << "a local close changes the state first";
  EXPECT_EQ(Socket.PeerAddr(), "error");

  // Closing a closed socket fires nothing.
  Log.Events.clear();
  Socket.CloseSession();
  EXPECT_TRUE(Log.Events.empty()) << Log.Joined();

  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SessionTest, RefusedConnectReportsTheErrorOnlyToSessionConnected) {
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  Aim(Socket, FreeTcpPort());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("SessionClosed(0)"); }, 5000)) << Log.Joined();
  PumpFor(50);  // nothing may follow
  EXPECT_EQ(Log.Joined(),
            "ChangeState(wsClosed,wsOpened) ChangeState(wsOpened,wsConnecting) "
            "ChangeState(wsConnecting,wsConnected) SessionConnected(10061) "
            "ChangeState(wsConnected,wsClosed) SessionClosed(0) ");
  EXPECT_EQ(Socket.State(), wsClosed);
  EXPECT_EQ(Socket.Proto(), "tcp");
}

TEST_F(SessionTest, ConnectThatFailsAtOnceLeavesTheSocketOpened) {
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  Socket.SetAddr("0.0.0.0");
  Socket.SetPort("80");
  EXPECT_EQ(RaisedText([&] { Socket.Connect(); }),
            "Error 10049 in function Connect\r\nAddress not available");
  EXPECT_EQ(Log.Joined(), "ChangeState(wsClosed,wsOpened) ");
  EXPECT_EQ(Socket.State(), wsOpened);
  EXPECT_EQ(Socket.LastError(), 10049);
  EXPECT_EQ(RaisedText([&] { Socket.Connect(); }), "Connect: Socket already in use");
  Socket.CloseSession();
  EXPECT_EQ(Socket.State(), wsClosed);
  EXPECT_TRUE(Log.Has("ChangeState(wsOpened,wsClosed)"));
}

TEST_F(SessionTest, DatagramConnectIsReadyBeforeItReturns) {
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  Aim(Socket, FreeUdpPort(), "udp");
  Socket.Connect();
  EXPECT_EQ(Log.Joined(),
            "ChangeState(wsClosed,wsOpened) ChangeState(wsOpened,wsConnected) "
            "SessionConnected(0) ");
  EXPECT_EQ(Socket.State(), wsConnected);
  // A datagram socket always binds: the local port shows the one the system chose.
  EXPECT_NE(Socket.LocalPort(), "0");
  EXPECT_GT(DecimalPrefixValue(Socket.LocalPort()), 0);
  EXPECT_EQ(Socket.GetBoundPort(), Socket.LocalPort());
}

TEST_F(SessionTest, StreamConnectBindsAGivenLocalPort) {
  ScriptedPeer Peer({step::Accept(), step::WaitForPeerClose()});
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  const std::string Local = std::to_string(FreeTcpPort());
  Aim(Socket, Peer.Port());
  Socket.SetLocalPort(Local);
  Socket.Connect();
  EXPECT_EQ(Socket.LocalPort(), Local);
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("SessionConnected(0)"); }, 5000)) << Log.Joined();
  EXPECT_EQ(Socket.GetBoundPort(), Local);
  Socket.CloseSession();
  EXPECT_EQ(Socket.LocalPort(), "0");
  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SessionTest, PeerCloseDeliversWaitingDataBeforeTheCloseEvent) {
  const std::string Data = Pattern(3000);
  ScriptedPeer Peer({step::Accept(), step::Send(Data), step::Close()});
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  std::string Received;
  Socket.OnDataAvailable = [&](TObject*, std::uint16_t Error) {
    char Piece[100];
    const std::int32_t N = Socket.ReadData(Piece, sizeof Piece);  // deliberately small pieces
    if (N > 0) Received.append(Piece, static_cast<std::size_t>(N));
    Log.Add("DataAvailable", Error);
  };
  Aim(Socket, Peer.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsClosed; }, 5000)) << Log.Joined();
  EXPECT_EQ(Received, Data);
  EXPECT_EQ(Socket.ReadCount(), 0) << "the close resets the count";
  ASSERT_GE(Log.Events.size(), 3u);
  const auto N = Log.Events.size();
  EXPECT_EQ(Log.Events[N - 2], "SessionClosed(0)");
  EXPECT_EQ(Log.Events[N - 1], "ChangeState(wsConnected,wsClosed)");
  EXPECT_EQ(Log.StateAtClose, wsConnected) << "the peer's close is announced before the state";
  EXPECT_EQ(Log.Count("SessionClosed(0)"), 1);
  EXPECT_GE(Log.Count("DataAvailable(0)"), 30);
}

TEST_F(SessionTest, ListenAcceptDupThenGracefulAndAbortiveCloses) {
  TWSocket Server(nullptr);
  EventLog ServerLog(Server);
  TProbeSocket Served(nullptr);  // takes the accepted connections
  EventLog ServedLog(Served);
  std::size_t Echoed = 0;
  Served.OnDataAvailable = [&](TObject*, std::uint16_t) {
    Echoed += static_cast<std::size_t>(Served.SendText(Served.ReadText()));
  };
  Server.OnSessionAvailable = [&](TObject*, std::uint16_t Error) {
    ServerLog.Add("SessionAvailable", Error);
    Served.Dup(Server.Accept());
  };
  Server.SetAddr("127.0.0.1");
  Server.SetPort("0");
  EXPECT_EQ(Server.GetBoundPort(), "error");
  Server.Listen();
  EXPECT_EQ(ServerLog.Joined(), "ChangeState(wsClosed,wsBound) ChangeState(wsBound,wsListening) ");
  const auto Port = static_cast<std::uint16_t>(DecimalPrefixValue(Server.GetBoundPort()));
  ASSERT_NE(Port, 0);

  // Accept and Dup refuse what they cannot use.
  EXPECT_EQ(RaisedText([&] { Served.Accept(); }),
            "Error 10022 in function not a listening socket\r\nInvalid argument");
  EXPECT_EQ(RaisedText([&] { Served.Dup(0); }), "Error 10022 in function Dup\r\nInvalid argument");
  EXPECT_EQ(RaisedText([&] { Served.Dup(INVALID_SOCKET); }),
            "Error 10022 in function Dup\r\nInvalid argument");

  {
    RawClient Client(Port);
    ASSERT_TRUE(Client.Connected()) << Client.Error();
    ASSERT_TRUE(PumpUntil([&] { return Served.State() == wsConnected; }, 5000));
    EXPECT_EQ(ServerLog.Events.back(), "SessionAvailable(0)");
    EXPECT_EQ(ServedLog.Joined(), "ChangeState(wsClosed,wsConnected) ")
        << "an adopted socket fires no SessionConnected";
    EXPECT_EQ(Served.PeerAddr(), "127.0.0.1");
    EXPECT_GT(DecimalPrefixValue(Served.PeerPort()), 0);
    EXPECT_NE(Served.PeerPort(), std::to_string(Port)) << "the peer's port, not the listener's";
    ASSERT_TRUE(Client.Send("hello"));
    ASSERT_TRUE(PumpUntil([&] { return Echoed == 5; }, 5000));
    EXPECT_EQ(Client.Read(5, 2000), "hello");
    ServedLog.Events.clear();
    Served.CloseSession();
    EXPECT_EQ(ServedLog.Joined(), "ChangeState(wsConnected,wsClosed) SessionClosed(0) ");
    EXPECT_EQ(Client.ReadToEnd(2000), "");
    EXPECT_TRUE(Client.Ended());
    EXPECT_FALSE(Client.WasReset()) << "CloseSession must end the stream, not reset it";
  }
  EXPECT_EQ(Server.State(), wsListening) << "accepting leaves the listener as it was";

  {
    RawClient Client(Port);
    ASSERT_TRUE(Client.Connected()) << Client.Error();
    ASSERT_TRUE(PumpUntil([&] { return Served.State() == wsConnected; }, 5000));
    ServedLog.Events.clear();
    Served.SetLingerOnOff(wsLingerOff);  // abort must reset whatever the setting
    Served.AbortSession();
    EXPECT_EQ(ServedLog.Joined(), "ChangeState(wsConnected,wsClosed) SessionClosed(0) ");
    EXPECT_EQ(Served.LingerOnOff(), wsLingerOn) << "the close restores the default";
    Client.ReadToEnd(2000);
    EXPECT_TRUE(Client.Ended());
    EXPECT_TRUE(Client.WasReset()) << "AbortSession must reset the connection";
  }
  Server.CloseSession();
  EXPECT_EQ(Server.State(), wsClosed);
}

TEST_F(SessionTest, DestroyingTheOwnerSkipsTheCloseEventDestroyingTheSocketAloneFiresIt) {
  ScriptedPeer Peer(
      {step::Accept(), step::WaitForPeerClose(), step::Accept(), step::WaitForPeerClose()});
  std::vector<std::string> OwnedEvents;
  {
    auto Owner = std::make_unique<TComponent>(nullptr);
    auto* Owned = new TWSocket(Owner.get());  // freed by its owner
    EventLog Log(*Owned);
    Aim(*Owned, Peer.Port());
    Owned->Connect();
    ASSERT_TRUE(PumpUntil([&] { return Owned->State() == wsConnected; }, 5000));
    Log.Events.clear();
    Owner.reset();
    Log.Forget();
    OwnedEvents = Log.Events;
  }
  EXPECT_EQ(OwnedEvents, std::vector<std::string>{"ChangeState(wsConnected,wsClosed)"});

  std::vector<std::string> AloneEvents;
  {
    auto Alone = std::make_unique<TWSocket>(nullptr);
    EventLog Log(*Alone);
    Aim(*Alone, Peer.Port());
    Alone->Connect();
    ASSERT_TRUE(PumpUntil([&] { return Alone->State() == wsConnected; }, 5000));
    Log.Events.clear();
    Alone.reset();
    Log.Forget();
    AloneEvents = Log.Events;
  }
  EXPECT_EQ(AloneEvents,
            (std::vector<std::string>{"ChangeState(wsConnected,wsClosed)", "SessionClosed(0)"}));
  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SessionTest, StaleAndPausedNotificationsChangeNothing) {
  ScriptedPeer Peer(
      {step::Accept(), step::Pause(100), step::Send("late"), step::WaitForPeerClose()});
  TProbeSocket Socket(nullptr);
  EventLog Log(Socket);
  std::string Received;
  Socket.OnDataAvailable = [&](TObject*, std::uint16_t) { Received += Socket.ReadText(); };
  Aim(Socket, Peer.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 5000));
  Log.Events.clear();

  // A notice for another socket handle: ignored.
  PostMessage(Socket.Window(), MsgSocketEvent, Socket.Handle() + 1000,
              WSAMakeSelectReply(FD_CLOSE, 0));
  PumpFor(20);
  EXPECT_EQ(Socket.State(), wsConnected);
  EXPECT_TRUE(Log.Events.empty()) << Log.Joined();

  // While paused, even notices for this socket are ignored.
  EXPECT_EQ(Socket.PauseEvents(), 0);
  PostMessage(Socket.Window(), MsgSocketEvent, Socket.Handle(), WSAMakeSelectReply(FD_CLOSE, 0));
  PumpFor(300);  // the peer's bytes arrive meanwhile
  EXPECT_EQ(Socket.State(), wsConnected);
  EXPECT_EQ(Received, "");
  EXPECT_TRUE(Log.Events.empty()) << Log.Joined();
  EXPECT_EQ(Socket.ResumeEvents(), 0);
  ASSERT_TRUE(PumpUntil([&] { return Received == "late"; }, 5000));
  Log.Events.clear();  // resuming announces the socket writable: DataSent(0)

  // Other messages get the default answer; SetState always fires, even without a change.
  EXPECT_EQ(SendMessage(Socket.Window(), WM_USER + 50, 1, 2), 0);
  Socket.ChangeState(wsConnected);
  EXPECT_EQ(Log.Joined(), "ChangeState(wsConnected,wsConnected) ");
  Socket.CloseSession();
  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SessionTest, ExceptionsInHandlersGoToOnBgException) {
  // Without an OnBgException handler, an exception in an event aborts the connection.
  {
    ScriptedPeer Peer({step::Accept(), step::Expect(1)});
    TWSocket Socket(nullptr);
    EventLog Log(Socket);
    Socket.OnSessionConnected = [&](TObject*, std::uint16_t) {
      Log.Add("SessionConnected");
      throw std::runtime_error("handler failed");
    };
    Aim(Socket, Peer.Port());
    Socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsClosed; }, 5000)) << Log.Joined();
    EXPECT_TRUE(Log.Has("SessionClosed(0)"));
    ASSERT_TRUE(Peer.Join(5000));
    EXPECT_NE(Peer.Error().find("reset"), std::string::npos) << Peer.Error();
  }
  // A handler that clears CanClose keeps the connection.
  {
    ScriptedPeer Peer({step::Accept(), step::ExpectExactly("still here"), step::Close()});
    TWSocket Socket(nullptr);
    std::string Caught;
    Socket.OnBgException = [&](TObject* Sender, const std::exception& E, bool& CanClose) {
      EXPECT_EQ(Sender, &Socket);
      Caught = E.what();
      CanClose = false;
    };
    Socket.OnSessionConnected = [&](TObject*, std::uint16_t) {
      throw ESocketException("kept open");
    };
    Aim(Socket, Peer.Port());
    Socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return !Caught.empty(); }, 5000));
    EXPECT_EQ(Caught, "kept open");
    EXPECT_EQ(Socket.State(), wsConnected);
    Socket.SendText("still here");
    ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsClosed; }, 5000));
    ASSERT_TRUE(Peer.Join(5000));
    EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  }
  // A failing data handler is not dropped silently: it reaches OnBgException and, by default,
  // the connection is aborted.
  {
    ScriptedPeer Peer({step::Accept(), step::Send("boom"), step::Expect(1)});
    TWSocket Socket(nullptr);
    EventLog Log(Socket);
    std::string Caught;
    int Calls = 0;
    Socket.OnBgException = [&](TObject*, const std::exception& E, bool&) { Caught = E.what(); };
    Socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
      ++Calls;
      Socket.ReadText();
      throw std::runtime_error("bad data");
    };
    Aim(Socket, Peer.Port());
    Socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsClosed; }, 5000)) << Log.Joined();
    EXPECT_EQ(Caught, "bad data");
    EXPECT_EQ(Calls, 1);
    EXPECT_EQ(Log.Count("SessionClosed(0)"), 1);
    ASSERT_TRUE(Peer.Join(5000));
    EXPECT_NE(Peer.Error().find("reset"), std::string::npos) << Peer.Error();
  }
}

TEST_F(SessionTest, WaitUntilClosedPumpsUntilThePeerEnds) {
  ScriptedPeer Peer(
      {step::Accept(), step::Pause(200), step::Send("bye"), step::Pause(100), step::Close()});
  TProbeSocket Socket(nullptr);
  EventLog Log(Socket);
  std::string Received;
  Socket.OnDataAvailable = [&](TObject*, std::uint16_t) { Received += Socket.ReadText(); };
  Aim(Socket, Peer.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Socket.State() == wsConnected; }, 5000));
  const int Before = Socket.PumpRounds;
  Socket.WaitUntilClosed();
  EXPECT_EQ(Socket.State(), wsClosed) << Log.Joined();
  EXPECT_LT(Socket.PumpRounds - Before, 100) << "a wait that spins pumps without end";
  EXPECT_EQ(Received, "bye");
  EXPECT_EQ(Log.Count("SessionClosed(0)"), 1);
  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SessionTest, ListenBacklogIsGivenToTheSystemAndKeptAcrossCloses) {
  TWSocket Server(nullptr);
  auto ListenOnAnyPort = [&] {
    Server.SetAddr("127.0.0.1");
    Server.SetPort("0");
    Server.Listen();
    return ListenQueueLength(Server.GetBoundPort());
  };
  EXPECT_EQ(Server.ListenBacklog(), 5);
  const int Default = ListenOnAnyPort();
  if (Default == -1) GTEST_SKIP() << "ss (iproute2) cannot list the listening socket";
  EXPECT_EQ(Default, 5);
  Server.CloseSession();

  Server.SetListenBacklog(37);
  EXPECT_EQ(ListenOnAnyPort(), 37);
  Server.CloseSession();
  EXPECT_EQ(Server.ListenBacklog(), 37) << "a setting, not part of the session";
  EXPECT_EQ(ListenOnAnyPort(), 37);
}

TEST_F(SessionTest, SendFlagsRefuseUnknownValues) {
  TWSocket Socket(nullptr);
  EXPECT_EQ(Socket.SendFlags(), wsSendNormal);
  Socket.SetSendFlags(wsSendUrgent);
  EXPECT_EQ(RaisedText([&] { Socket.SetSendFlags(static_cast<TSocketSendFlags>(7)); }),
            "Invalid SendFlags");
  EXPECT_EQ(Socket.SendFlags(), wsSendUrgent) << "a refused value changes nothing";
}

}  // namespace
}  // namespace vantrel::test
