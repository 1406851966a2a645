// WSAAsyncSelect's event rules on real loopback sockets; the peers are emulated sockets too,
// which is enough to prove each rule (a peer only sends, closes, resets or reads).
#include <string>

#include "RawClient.h"
#include "WinSockTestKit.h"

namespace vantrel::wstest {
namespace {

constexpr long kConnectMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;  // 0x3B
constexpr long kListenMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;                // 0x2B

LPARAM Reply(long event, int error) {
  return static_cast<LPARAM>(event) | (static_cast<LPARAM>(error) << 16);
}

using Events = std::vector<LPARAM>;

// Waits until a message for hwnd is queued, without dispatching anything.
bool WaitQueued(HWND hwnd, int limitMs = 3000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  MSG m;
  while (!PeekMessage(&m, hwnd, 0, 0, PM_NOREMOVE)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class EventsTest : public WinSockTest {};

TEST_F(EventsTest, ConnectAcceptedPostsConnectThenOneWrite) {
  RecordingWindow w;
  u_short port = 0;
  Socket listener = Listener(&port);
  Socket c(ws::socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_EQ(0, ws::WSAAsyncSelect(c, w.Handle(), kSocketMsg, kConnectMask));
  SOCKADDR_IN a = Loopback(port);
  // Loopback completes at once in Linux; Windows' answer is would-block all the same.
  EXPECT_EQ(SOCKET_ERROR, ws::connect(c, Sa(a), sizeof a));
  EXPECT_EQ(WSAEWOULDBLOCK, ws::WSAGetLastError());
  EXPECT_TRUE(w.Events(c).empty()) << "nothing is delivered from inside connect";
  ASSERT_TRUE(PumpUntil([&] { return w.Events(c).size() >= 2; }));
  Pump();
  // lParam: the event in the low word, the error in the high word, nothing above.
  EXPECT_EQ((Events{0x10, 0x02}), w.Events(c));
  Socket server = AcceptWithin(listener);
  EXPECT_NE(INVALID_SOCKET, server.get());
  // A second connect on the connected socket.
  EXPECT_EQ(SOCKET_ERROR, ws::connect(c, Sa(a), sizeof a));
  EXPECT_EQ(WSAEISCONN, ws::WSAGetLastError());
}

TEST_F(EventsTest, ConnectRefusedPostsOnlyConnectWithError) {
  RecordingWindow w;
  u_short port = 0;
  Socket closedPort = RefusingPort(&port);
  Socket c(ws::socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_EQ(0, ws::WSAAsyncSelect(c, w.Handle(), kSocketMsg, kConnectMask));
  SOCKADDR_IN a = Loopback(port);
  EXPECT_EQ(SOCKET_ERROR, ws::connect(c, Sa(a), sizeof a));
  EXPECT_EQ(WSAEWOULDBLOCK, ws::WSAGetLastError());
  ASSERT_TRUE(PumpUntil([&] { return !w.Events(c).empty(); }));
  Pump(200);
  ASSERT_EQ(1u, w.Events(c).size());
  LPARAM l = w.Events(c)[0];
  EXPECT_EQ(FD_CONNECT, WSAGetSelectEvent(l));
  EXPECT_EQ(WSAECONNREFUSED, WSAGetSelectError(l));
  EXPECT_EQ(Reply(FD_CONNECT, 10061), l);
  EXPECT_EQ(0, l >> 32);
  char b[4];
  EXPECT_EQ(SOCKET_ERROR, ws::recv(c, b, sizeof b, 0));
  EXPECT_EQ(WSAENOTCONN, ws::WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, ws::send(c, "x", 1, 0));
  EXPECT_EQ(WSAENOTCONN, ws::WSAGetLastError());
  Pump(50);
  EXPECT_EQ(1u, w.Events(c).size()) << "no FD_WRITE and no FD_CLOSE after a failed connect";
}

TEST_F(EventsTest, WriteComesOnceWhenConnectedAndOnceAfterWouldBlock) {
  RecordingWindow w;
  Pair p = ConnectedPair();
  // The accepted side: connected, writable, never connect()ed.
  SOCKET s = p.server;
  ASSERT_EQ(0, ws::WSAAsyncSelect(s, w.Handle(), kSocketMsg, kConnectMask));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(s, FD_WRITE) == 1; }));
  std::string chunk(1 << 16, 'x');
  for (int i = 0; i < 3; ++i) EXPECT_EQ(100, ws::send(s, chunk.data(), 100, 0));
  Pump();
  EXPECT_EQ((Events{FD_WRITE}), w.Events(s)) << "successful sends re-enable nothing";

  // Fill the connection until a send would block, then let the peer drain it.
  std::size_t queued = 0;
  for (;;) {
    int n = ws::send(s, chunk.data(), static_cast<int>(chunk.size()), 0);
    if (n == SOCKET_ERROR) break;
    queued += n;
  }
  EXPECT_EQ(WSAEWOULDBLOCK, ws::WSAGetLastError());
  Pump(50);
  EXPECT_EQ(1, w.Count(s, FD_WRITE)) << "no room yet";
  std::string got = RecvAll(p.client, queued + 300);
  EXPECT_EQ(queued + 300, got.size());
  ASSERT_TRUE(PumpUntil([&] { return w.Count(s, FD_WRITE) == 2; }));
  Pump();
  EXPECT_EQ((Events{FD_WRITE, FD_WRITE}), w.Events(s));
}

TEST_F(EventsTest, ReadIsReArmedByRecvWhileDataRemainsAndNeverPostedForEndOfStream) {
  RecordingWindow w;
  Pair p = ConnectedPair();
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.server, w.Handle(), kSocketMsg, FD_READ | FD_CLOSE));
  Pump(50);
  EXPECT_TRUE(w.Events(p.server).empty()) << "no data, no FD_READ";
  ASSERT_TRUE(SendAll(p.client, "0123456789"));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_READ) == 1; }));
  Pump();
  EXPECT_EQ(1, w.Count(p.server, FD_READ)) << "one FD_READ until recv is called";

  u_long waiting = 0;
  ASSERT_EQ(0, ws::ioctlsocket(p.server, FIONREAD, &waiting));
  EXPECT_EQ(10u, waiting);
  Pump();
  EXPECT_EQ(1, w.Count(p.server, FD_READ)) << "FIONREAD re-enables nothing";

  char b[16];
  ASSERT_EQ(4, ws::recv(p.server, b, 4, 0));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_READ) == 2; }))
      << "data remains: recv posts FD_READ again";
  ASSERT_EQ(6, ws::recv(p.server, b, sizeof b, 0));
  Pump();
  EXPECT_EQ(2, w.Count(p.server, FD_READ)) << "nothing left: no FD_READ";

  ASSERT_EQ(0, ws::shutdown(p.client, SD_SEND));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_CLOSE) == 1; }));
  EXPECT_EQ(0, ws::recv(p.server, b, sizeof b, 0));
  Pump();
  EXPECT_EQ((Events{FD_READ, FD_READ, FD_CLOSE}), w.Events(p.server))
      << "end of stream is FD_CLOSE(0) only";
}

// As components do: each FD_READ handler reads a part at once, before the loop looks again.
TEST_F(EventsTest, APartReadInsideTheHandlerBringsTheNextReadUntilNothingRemains) {
  RecordingWindow w;
  Pair p = ConnectedPair();
  w.OnRecorded = [&](const MSG& m) {
    char b[4];
    if (WSAGetSelectEvent(m.lParam) == FD_READ) {
      EXPECT_EQ(4, ws::recv(p.server, b, sizeof b, 0));
    }
  };
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.server, w.Handle(), kSocketMsg, FD_READ));
  ASSERT_TRUE(SendAll(p.client, "0123456789ab"));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_READ) == 3; }));
  Pump();
  EXPECT_EQ(3, w.Count(p.server, FD_READ));
  u_long waiting = 1;
  ASSERT_EQ(0, ws::ioctlsocket(p.server, FIONREAD, &waiting));
  EXPECT_EQ(0u, waiting);
}

TEST_F(EventsTest, OrderlyCloseIsReportedOnlyOnceEverythingWasRead) {
  RecordingWindow w;
  Pair p = ConnectedPair();
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.server, w.Handle(), kSocketMsg, kConnectMask));
  std::string data(5000, 'd');
  ASSERT_TRUE(SendAll(p.client, data));
  p.client.Close();  // linger off: a graceful close in the background
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_READ) == 1; }));
  Pump(200);
  EXPECT_EQ(0, w.Count(p.server, FD_CLOSE)) << "data still unread";

  std::string got;
  char b[1000];
  while (got.size() < data.size()) {
    int n = ws::recv(p.server, b, sizeof b, 0);
    ASSERT_GT(n, 0);
    got.append(b, n);
  }
  EXPECT_EQ(data, got);
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_CLOSE) == 1; }));
  Pump();
  EXPECT_EQ(Reply(FD_CLOSE, 0), w.Events(p.server).back());
  EXPECT_EQ(1, w.Count(p.server, FD_CLOSE));
  EXPECT_EQ(0, ws::recv(p.server, b, sizeof b, 0));
  Pump();
  EXPECT_EQ(1, w.Count(p.server, FD_CLOSE)) << "at most one FD_CLOSE";
}

TEST_F(EventsTest, ResetIsReportedAtOnceEvenWithUnreadData) {
  RecordingWindow w;
  Pair p = ConnectedPair();
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.server, w.Handle(), kSocketMsg, kConnectMask));
  ASSERT_TRUE(SendAll(p.client, "unread bytes"));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_READ) == 1; }));
  LINGER abort{1, 0};
  ASSERT_EQ(0, ws::setsockopt(p.client, SOL_SOCKET, SO_LINGER,
                              reinterpret_cast<const char*>(&abort), sizeof abort));
  p.client.Close();
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_CLOSE) == 1; }));
  Pump();
  EXPECT_EQ(Reply(FD_CLOSE, WSAECONNRESET), w.Events(p.server).back());
  EXPECT_EQ(1, w.Count(p.server, FD_CLOSE));
  char b[64];
  EXPECT_EQ(SOCKET_ERROR, ws::recv(p.server, b, sizeof b, 0));
  EXPECT_EQ(WSAECONNRESET, ws::WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, ws::send(p.server, "x", 1, 0));
  EXPECT_EQ(WSAECONNRESET, ws::WSAGetLastError());
  u_long waiting = 1;
  EXPECT_EQ(0, ws::ioctlsocket(p.server, FIONREAD, &waiting));
  EXPECT_EQ(0u, waiting) << "a reset drops what was not read";
  Pump();
  EXPECT_EQ(1, w.Count(p.server, FD_CLOSE));
}

TEST_F(EventsTest, PosixPeerEndingOrResettingGivesTheMatchingClose) {
  RecordingWindow w;
  u_short port = 0;
  Socket listener = Listener(&port);
  test::RawClient orderly(port), abortive(port);
  ASSERT_TRUE(orderly.Connected() && abortive.Connected());
  Socket a = AcceptWithin(listener), b = AcceptWithin(listener);
  ASSERT_EQ(0, ws::WSAAsyncSelect(a, w.Handle(), kSocketMsg, kConnectMask));
  ASSERT_EQ(0, ws::WSAAsyncSelect(b, w.Handle(), kSocketMsg, kConnectMask));
  ASSERT_TRUE(orderly.Send("bye"));
  orderly.ShutdownWrite();
  ASSERT_TRUE(abortive.Send("unread"));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(a, FD_READ) == 1 && w.Count(b, FD_READ) == 1; }));
  abortive.Reset();
  ASSERT_TRUE(PumpUntil([&] { return w.Count(b, FD_CLOSE) == 1; }));
  Pump();
  EXPECT_EQ((Events{FD_WRITE, FD_READ, Reply(FD_CLOSE, WSAECONNRESET)}), w.Events(b));
  EXPECT_EQ(0, w.Count(a, FD_CLOSE)) << "\"bye\" is not read yet";
  char buf[8];
  EXPECT_EQ(3, ws::recv(a, buf, sizeof buf, 0));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(a, FD_CLOSE) == 1; }));
  Pump();
  EXPECT_EQ((Events{FD_WRITE, FD_READ, Reply(FD_CLOSE, 0)}), w.Events(a));
}

TEST_F(EventsTest, AcceptIsPostedOncePerBurstAndAgainAfterAccept) {
  RecordingWindow w;
  u_short port = 0;
  Socket listener = Listener(&port);
  ASSERT_EQ(0, ws::WSAAsyncSelect(listener, w.Handle(), kSocketMsg, kListenMask));
  Pump(50);
  EXPECT_TRUE(w.Events(listener).empty());

  SOCKADDR_IN a = Loopback(port);
  std::vector<Socket> clients;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back(ws::socket(AF_INET, SOCK_STREAM, 0));
    ws::connect(clients.back(), Sa(a), sizeof a);
  }
  ASSERT_TRUE(PumpUntil([&] { return w.Count(listener, FD_ACCEPT) == 1; }));
  Pump();
  EXPECT_EQ((Events{FD_ACCEPT}), w.Events(listener)) << "one FD_ACCEPT for the burst";

  std::vector<Socket> accepted;
  for (int i = 1; i <= 3; ++i) {
    SOCKADDR_IN peer;
    int len = sizeof peer;
    accepted.emplace_back(ws::accept(listener, reinterpret_cast<SOCKADDR*>(&peer), &len));
    ASSERT_NE(INVALID_SOCKET, accepted.back().get());
    EXPECT_EQ(ws::inet_addr("127.0.0.1"), peer.sin_addr.S_addr);
    EXPECT_EQ(16, len);
    if (i < 3) {
      ASSERT_TRUE(PumpUntil([&] { return w.Count(listener, FD_ACCEPT) == i + 1; }))
          << "more wait: accept posts FD_ACCEPT again";
    }
  }
  Pump();
  EXPECT_EQ(3, w.Count(listener, FD_ACCEPT)) << "none wait after the last accept";
  EXPECT_EQ(INVALID_SOCKET, ws::accept(listener, nullptr, nullptr));
  EXPECT_EQ(WSAEWOULDBLOCK, ws::WSAGetLastError());

  // Each accepted socket has the listener's registration: one FD_WRITE to the same window.
  for (const auto& s : accepted) {
    EXPECT_EQ((Events{FD_WRITE}), w.Events(s));
  }
  ASSERT_TRUE(SendAll(clients[0], "hello"));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(accepted[0], FD_READ) == 1; }));
  // Registering again with 0 makes an accepted socket usable in blocking mode, as on Windows.
  u_long blocking = 0;
  EXPECT_EQ(SOCKET_ERROR, ws::ioctlsocket(accepted[0], FIONBIO, &blocking));
  EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());
}

TEST_F(EventsTest, AcceptedSocketGetsWriteBeforeReadForDataAlreadyThere) {
  RecordingWindow w;
  u_short port = 0;
  Socket listener = Listener(&port);
  ASSERT_EQ(0, ws::WSAAsyncSelect(listener, w.Handle(), kSocketMsg, kListenMask));
  Socket c(ws::socket(AF_INET, SOCK_STREAM, 0));
  SOCKADDR_IN a = Loopback(port);
  ws::connect(c, Sa(a), sizeof a);
  ASSERT_TRUE(PumpUntil([&] { return w.Count(listener, FD_ACCEPT) == 1; }));
  ASSERT_TRUE(SendAll(c, "early"));
  Pump(20);
  Socket s(ws::accept(listener, nullptr, nullptr));
  ASSERT_NE(INVALID_SOCKET, s.get());
  ASSERT_TRUE(PumpUntil([&] { return w.Events(s).size() == 2; }));
  Pump();
  EXPECT_EQ((Events{FD_WRITE, FD_READ}), w.Events(s));
}

TEST_F(EventsTest, MaskZeroStopsNewEventsButQueuedOnesArrive) {
  RecordingWindow w;
  Pair p = ConnectedPair();
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.server, w.Handle(), kSocketMsg, FD_READ | FD_CLOSE));
  u_long blocking = 0;
  EXPECT_EQ(SOCKET_ERROR, ws::ioctlsocket(p.server, FIONBIO, &blocking));
  EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());

  ASSERT_TRUE(SendAll(p.client, "abc"));
  ASSERT_TRUE(WaitQueued(w.Handle())) << "readiness became a queued FD_READ";
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.server, w.Handle(), 0, 0));
  Pump();
  EXPECT_EQ((Events{FD_READ}), w.Events(p.server)) << "the queued FD_READ is still delivered";

  char b[8];
  EXPECT_EQ(3, ws::recv(p.server, b, sizeof b, 0));
  ASSERT_TRUE(SendAll(p.client, "more"));
  p.client.Close();
  Pump(200);
  EXPECT_EQ((Events{FD_READ}), w.Events(p.server)) << "nothing new after mask 0";
  // Still non-blocking, and now it may be made blocking.
  EXPECT_EQ(4, ws::recv(p.server, b, sizeof b, 0));
  EXPECT_EQ(0, ws::recv(p.server, b, sizeof b, 0));
  EXPECT_EQ(0, ws::ioctlsocket(p.server, FIONBIO, &blocking));
}

TEST_F(EventsTest, CloseSocketPostsNothingAndLeavesQueuedMessagesStale) {
  RecordingWindow w;
  Pair p = ConnectedPair();
  SOCKET old = p.server.get();
  ASSERT_EQ(0, ws::WSAAsyncSelect(old, w.Handle(), kSocketMsg, kConnectMask));
  ASSERT_TRUE(WaitQueued(w.Handle())) << "FD_WRITE of the registration";
  p.server.Close();
  ASSERT_TRUE(SendAll(p.client, "late"));
  p.client.Close();
  Pump(200);
  EXPECT_EQ((Events{FD_WRITE}), w.Events(old)) << "only what was queued before the close";
  // Handles are never reused: the stale message names no socket.
  Socket fresh(ws::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_NE(old, fresh.get());
  EXPECT_EQ(SOCKET_ERROR, ws::closesocket(old));
  EXPECT_EQ(WSAENOTSOCK, ws::WSAGetLastError());
}

TEST_F(EventsTest, RegistrationPostsWhatAlreadyHolds) {
  RecordingWindow w;
  Pair p = ConnectedPair();
  ASSERT_TRUE(SendAll(p.client, "queued before registration"));
  Pump(20);
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.server, w.Handle(), kSocketMsg, FD_READ));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_READ) == 1; }));
  // A new registration replaces the old one and arms again: FD_WRITE for an idle writable socket,
  // and FD_READ again for the data still there. The connect was never reported on this socket
  // (it was made before any registration), so FD_CONNECT(0) comes too, once.
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.client, w.Handle(), kSocketMsg, kConnectMask));
  ASSERT_TRUE(PumpUntil([&] { return w.Events(p.client).size() == 2; }));
  Pump();
  EXPECT_EQ((Events{FD_CONNECT, FD_WRITE}), w.Events(p.client));
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.client, w.Handle(), kSocketMsg, kConnectMask));
  ASSERT_TRUE(PumpUntil([&] { return w.Events(p.client).size() == 3; }));
  Pump();
  EXPECT_EQ((Events{FD_CONNECT, FD_WRITE, FD_WRITE}), w.Events(p.client))
      << "a reported connect is not reported again";

  // An ended stream registered afresh: FD_CLOSE once it is drained, and only once.
  p.client.Close();
  Pump(50);
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.server, w.Handle(), kSocketMsg, FD_READ | FD_CLOSE));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_READ) == 2; }));
  EXPECT_EQ(0, w.Count(p.server, FD_CLOSE));
  EXPECT_EQ(26u, RecvAll(p.server, 26).size());
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.server, FD_CLOSE) == 1; }));
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.server, w.Handle(), kSocketMsg, FD_READ | FD_CLOSE));
  Pump();
  EXPECT_EQ(1, w.Count(p.server, FD_CLOSE));
}

TEST_F(EventsTest, ShutdownSendEndsOurSideAndCloseFollowsThePeer) {
  RecordingWindow w;
  Pair p = ConnectedPair();
  ASSERT_EQ(0, ws::WSAAsyncSelect(p.client, w.Handle(), kSocketMsg, kConnectMask));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.client, FD_WRITE) == 1; }));
  ASSERT_TRUE(SendAll(p.client, "last words"));
  ASSERT_EQ(0, ws::shutdown(p.client, SD_SEND));
  EXPECT_EQ(SOCKET_ERROR, ws::send(p.client, "x", 1, 0));
  EXPECT_EQ(WSAESHUTDOWN, ws::WSAGetLastError());
  EXPECT_EQ("last words", RecvAll(p.server, 100)) << "the peer reads the data, then the end";
  Pump(100);
  EXPECT_EQ(0, w.Count(p.client, FD_CLOSE)) << "the peer is still open";
  ASSERT_TRUE(SendAll(p.server, "reply"));
  p.server.Close();
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.client, FD_READ) == 1; }));
  EXPECT_EQ("reply", RecvAll(p.client, 5));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(p.client, FD_CLOSE) == 1; }));
  Pump();
  EXPECT_EQ(Reply(FD_CLOSE, 0), w.Events(p.client).back());
  EXPECT_EQ(1, w.Count(p.client, FD_CLOSE));
}

TEST_F(EventsTest, DatagramSocketsReportReadAndWrite) {
  RecordingWindow w;
  Socket rx(ws::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  Socket tx(ws::socket(AF_INET, SOCK_DGRAM, 0));
  SOCKADDR_IN any = Loopback(0);
  ASSERT_EQ(0, ws::bind(rx, Sa(any), sizeof any));
  ASSERT_EQ(0, ws::WSAAsyncSelect(rx, w.Handle(), kSocketMsg, kConnectMask));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(rx, FD_WRITE) == 1; }));
  SOCKADDR_IN to = Loopback(LocalPort(rx));
  ASSERT_EQ(3, ws::sendto(tx, "one", 3, 0, Sa(to), sizeof to));
  ASSERT_EQ(3, ws::sendto(tx, "two", 3, 0, Sa(to), sizeof to));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(rx, FD_READ) == 1; }));
  Pump(50);
  EXPECT_EQ(1, w.Count(rx, FD_READ));
  char b[8];
  SOCKADDR_IN from;
  int fromLen = sizeof from;
  ASSERT_EQ(3, ws::recvfrom(rx, b, sizeof b, 0, reinterpret_cast<SOCKADDR*>(&from), &fromLen));
  EXPECT_EQ(LocalPort(tx), ws::ntohs(from.sin_port));
  ASSERT_TRUE(PumpUntil([&] { return w.Count(rx, FD_READ) == 2; })) << "one datagram is left";
  ASSERT_EQ(3, ws::recv(rx, b, sizeof b, 0));
  Pump();
  EXPECT_EQ(2, w.Count(rx, FD_READ));
  EXPECT_EQ(1, w.Count(rx, FD_WRITE));
  EXPECT_EQ(0, w.Count(rx, FD_CLOSE) + w.Count(rx, FD_CONNECT));
}

}  // namespace
}  // namespace vantrel::wstest
