// The socket calls with Windows' constants and results: start-up, options, linger, errors,
// datagrams, the databases and the emulated blocking mode.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "RawClient.h"
#include "WinSockTestKit.h"

namespace vantrel::wstest {
namespace {

std::set<int> SocketDescriptors() {
  std::set<int> out;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return out;
  while (dirent* d = readdir(dir)) {
    char link[64] = {};
    std::string path = std::string("/proc/self/fd/") + d->d_name;
    if (readlink(path.c_str(), link, sizeof link - 1) > 0 && std::strncmp(link, "socket:", 7) == 0)
      out.insert(std::atoi(d->d_name));
  }
  closedir(dir);
  return out;
}

template <class T>
int SetOpt(SOCKET s, int level, int name, const T& v) {
  return ws::setsockopt(s, level, name, reinterpret_cast<const char*>(&v), sizeof v);
}

int GetIntOpt(SOCKET s, int level, int name) {
  int v = -1;
  int len = sizeof v;
  if (ws::getsockopt(s, level, name, reinterpret_cast<char*>(&v), &len) != 0) return -1000;
  return v;
}

// A call that must fail with SOCKET_ERROR and leave code as the last error.
::testing::AssertionResult FailsWith(int code, long long result) {
  int err = ws::WSAGetLastError();
  if (result == SOCKET_ERROR && err == code) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "result " << result << ", last error " << err << "; expected SOCKET_ERROR and " << code;
}

TEST(StartupTest, CallsFailBeforeStartupAndCleanupEndsEverything) {
  ASSERT_FALSE(ws::IsStarted());
  // Byte order and the last error work without start-up.
  EXPECT_EQ(0x3412, ws::htons(0x1234));
  EXPECT_EQ(0x1234, ws::ntohs(0x3412));
  ws::WSASetLastError(0);
  EXPECT_EQ(INVALID_SOCKET, ws::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(WSANOTINITIALISED, ws::WSAGetLastError());
  EXPECT_TRUE(FailsWith(WSANOTINITIALISED, ws::closesocket(0x100)));
  EXPECT_TRUE(FailsWith(WSANOTINITIALISED, ws::WSAAsyncSelect(0x100, nullptr, 0, 0)));
  EXPECT_TRUE(FailsWith(WSANOTINITIALISED, ws::WSACancelAsyncRequest(1)));
  EXPECT_TRUE(FailsWith(WSANOTINITIALISED, ws::WSACleanup()));
  EXPECT_EQ(nullptr, ws::gethostbyname("localhost"));
  EXPECT_EQ(WSANOTINITIALISED, ws::WSAGetLastError());
  EXPECT_EQ(INADDR_NONE, ws::inet_addr("127.0.0.1"));
  char buf[MAXGETHOSTSTRUCT];
  EXPECT_EQ(0u, ws::WSAAsyncGetHostByName(nullptr, 1, "localhost", buf, sizeof buf));
  EXPECT_EQ(WSANOTINITIALISED, ws::WSAGetLastError());

  WSADATA data;
  EXPECT_EQ(WSAVERNOTSUPPORTED, ws::WSAStartup(0x0001, &data));  // 1.0
  EXPECT_EQ(WSAEFAULT, ws::WSAStartup(0x0101, nullptr));
  EXPECT_FALSE(ws::IsStarted());
  ASSERT_EQ(0, ws::WSAStartup(0x0101, &data));
  EXPECT_EQ(0x0101, data.wVersion);
  EXPECT_EQ(0x0101, data.wHighVersion);
  ASSERT_EQ(0, ws::WSAStartup(0x0202, &data)) << "a higher request gets 1.1";
  EXPECT_EQ(0x0101, data.wVersion);
  EXPECT_TRUE(ws::IsStarted());

  // The count: the first clean-up leaves the layer running.
  int descriptors = test::OpenDescriptorCount();
  SOCKET listener = ws::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(INVALID_SOCKET, listener);
  SOCKADDR_IN a = Loopback(0);
  ASSERT_EQ(0, ws::bind(listener, Sa(a), sizeof a));
  ASSERT_EQ(0, ws::listen(listener, 5));
  SOCKET client = ws::socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_EQ(2, ws::OpenSocketCount());
  EXPECT_EQ(0, ws::WSACleanup());
  EXPECT_TRUE(ws::IsStarted());
  EXPECT_EQ(2, ws::OpenSocketCount());
  // The last one closes what is still open.
  EXPECT_EQ(0, ws::WSACleanup());
  EXPECT_FALSE(ws::IsStarted());
  EXPECT_EQ(0, ws::OpenSocketCount());
  EXPECT_EQ(descriptors, test::OpenDescriptorCount());
  ASSERT_EQ(0, ws::WSAStartup(0x0101, &data));
  EXPECT_TRUE(FailsWith(WSAENOTSOCK, ws::closesocket(client)));
  EXPECT_TRUE(FailsWith(WSAENOTSOCK, ws::listen(listener, 5)));
  EXPECT_EQ(0, ws::WSACleanup());
}

class CallsTest : public WinSockTest {};

TEST_F(CallsTest, DescriptorsAreNonBlockingAndCloseOnExec) {
  std::set<int> before = SocketDescriptors();
  u_short port = 0;
  Socket listener = Listener(&port);
  Socket udp(ws::socket(AF_INET, SOCK_DGRAM, 0));
  Pair p = ConnectedPair();
  std::set<int> after = SocketDescriptors();
  int checked = 0;
  for (int fd : after) {
    if (before.count(fd)) continue;
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK) << fd;
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
    ++checked;
  }
  EXPECT_EQ(4, checked) << "listener, datagram, and both ends of the pair";
  EXPECT_NE(p.client.get(), p.server.get());
}

TEST_F(CallsTest, ArgumentErrorsUseWindowsCodes) {
  EXPECT_EQ(INVALID_SOCKET, ws::socket(23, SOCK_STREAM, 0));
  EXPECT_EQ(WSAEAFNOSUPPORT, ws::WSAGetLastError());
  EXPECT_EQ(INVALID_SOCKET, ws::socket(AF_INET, 5, 0));
  EXPECT_EQ(WSAESOCKTNOSUPPORT, ws::WSAGetLastError());
  EXPECT_EQ(INVALID_SOCKET, ws::socket(AF_INET, SOCK_STREAM, IPPROTO_UDP));
  EXPECT_EQ(WSAEPROTONOSUPPORT, ws::WSAGetLastError());
  EXPECT_TRUE(FailsWith(WSAENOTSOCK, ws::send(0xFFFFFF, "x", 1, 0)));

  Socket s(ws::socket(AF_INET, SOCK_STREAM, 0));
  SOCKADDR_IN a = Loopback(0);
  EXPECT_TRUE(FailsWith(WSAEFAULT, ws::bind(s, Sa(a), 8)));
  SOCKADDR_IN wrongFamily = a;
  wrongFamily.sin_family = 23;
  EXPECT_TRUE(FailsWith(WSAEAFNOSUPPORT, ws::bind(s, Sa(wrongFamily), sizeof a)));
  SOCKADDR_IN name;
  int len = sizeof name;
  EXPECT_TRUE(FailsWith(WSAEINVAL, ws::getsockname(s, reinterpret_cast<SOCKADDR*>(&name), &len)));
  EXPECT_TRUE(FailsWith(WSAEINVAL, ws::listen(s, 5))) << "Windows wants bind before listen";
  EXPECT_EQ(INVALID_SOCKET, ws::accept(s, nullptr, nullptr));
  EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());
  EXPECT_TRUE(FailsWith(WSAENOTCONN, ws::getpeername(s, reinterpret_cast<SOCKADDR*>(&name), &len)));
  EXPECT_TRUE(FailsWith(WSAENOTCONN, ws::send(s, "x", 1, 0)));
  char b[4];
  EXPECT_TRUE(FailsWith(WSAENOTCONN, ws::recv(s, b, sizeof b, 0)));
  EXPECT_TRUE(FailsWith(WSAENOTCONN, ws::shutdown(s, SD_SEND)));
  EXPECT_TRUE(FailsWith(WSAEINVAL, ws::shutdown(s, 3)));
  SOCKADDR_IN nowhere = Loopback(80);
  nowhere.sin_addr.S_addr = 0;
  EXPECT_TRUE(FailsWith(WSAEADDRNOTAVAIL, ws::connect(s, Sa(nowhere), sizeof nowhere)));
  EXPECT_TRUE(FailsWith(WSAEINVAL, ws::WSAAsyncSelect(s, nullptr, kSocketMsg, FD_READ)))
      << "no such window";

  ASSERT_EQ(0, ws::bind(s, Sa(a), sizeof a));
  EXPECT_TRUE(FailsWith(WSAEINVAL, ws::bind(s, Sa(a), sizeof a))) << "bound already";
  ASSERT_EQ(0, ws::getsockname(s, reinterpret_cast<SOCKADDR*>(&name), &len));
  EXPECT_EQ(16, len);
  EXPECT_EQ(AF_INET, name.sin_family);
  EXPECT_NE(0, name.sin_port);
  Socket other(ws::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_TRUE(FailsWith(WSAEADDRINUSE, ws::bind(other, Sa(name), sizeof name)));
  ASSERT_EQ(0, ws::listen(s, 5));
  EXPECT_TRUE(FailsWith(WSAEINVAL, ws::connect(s, Sa(name), sizeof name))) << "a listening socket";
  Socket udp(ws::socket(AF_INET, SOCK_DGRAM, 0));
  EXPECT_TRUE(FailsWith(WSAEOPNOTSUPP, ws::send(udp, "x", 1, MSG_OOB)));
  EXPECT_TRUE(FailsWith(WSAEINVAL, ws::recv(udp, b, sizeof b, 0))) << "an unbound datagram socket";
}

TEST_F(CallsTest, OptionsUseWindowsNumbersAndTheLingerRecord) {
  Socket s(ws::socket(AF_INET, SOCK_STREAM, 0));
  // SOL_SOCKET is 0xFFFF; the Linux level number (1) is no level here.
  EXPECT_TRUE(FailsWith(WSAEINVAL, SetOpt(s, 1, 0x0008, 1)));
  int on = -1;                                  // any non-zero value turns an option on
  ASSERT_EQ(0, SetOpt(s, 0xFFFF, 0x0008, on));  // SO_KEEPALIVE
  EXPECT_EQ(1, GetIntOpt(s, SOL_SOCKET, SO_KEEPALIVE));
  ASSERT_EQ(0, SetOpt(s, 0xFFFF, 0x0004, on));  // SO_REUSEADDR
  EXPECT_EQ(1, GetIntOpt(s, SOL_SOCKET, SO_REUSEADDR));
  EXPECT_EQ(0, GetIntOpt(s, SOL_SOCKET, SO_BROADCAST));
  EXPECT_EQ(SOCK_STREAM, GetIntOpt(s, SOL_SOCKET, SO_TYPE));
  ASSERT_EQ(0, SetOpt(s, IPPROTO_TCP, TCP_NODELAY, 1));
  EXPECT_EQ(1, GetIntOpt(s, IPPROTO_TCP, TCP_NODELAY));
  ASSERT_EQ(0, SetOpt(s, SOL_SOCKET, SO_SNDBUF, 32768));
  EXPECT_EQ(32768, GetIntOpt(s, SOL_SOCKET, SO_SNDBUF)) << "the value set, as Windows reports";
  EXPECT_TRUE(FailsWith(WSAENOPROTOOPT, SetOpt(s, SOL_SOCKET, 0x7777, 1)));
  EXPECT_TRUE(FailsWith(WSAEFAULT, ws::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, "\1", 1)));

  // The linger record is two 16-bit fields, four bytes in all.
  static_assert(sizeof(LINGER) == 4);
  LINGER l{};
  int len = sizeof l;
  ASSERT_EQ(0, ws::getsockopt(s, SOL_SOCKET, 0x0080, reinterpret_cast<char*>(&l), &len));
  EXPECT_EQ(4, len);
  EXPECT_EQ(0, l.l_onoff) << "linger is off by default";
  const unsigned char record[4] = {1, 0, 7, 0};  // on, 7 seconds, little-endian u_shorts
  ASSERT_EQ(0, ws::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(record), 4));
  ASSERT_EQ(0, ws::getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&l), &len));
  EXPECT_EQ(1, l.l_onoff);
  EXPECT_EQ(7, l.l_linger);
  EXPECT_EQ(0, GetIntOpt(s, SOL_SOCKET, SO_ERROR));

  // FIONREAD is 0x4004667F and FIONBIO 0x8004667E.
  u_long n = 99;
  Pair p = ConnectedPair();
  ASSERT_TRUE(SendAll(p.client, "twelve bytes"));
  ASSERT_TRUE(PumpUntil([&] { return ws::ioctlsocket(p.server, 0x4004667F, &n) == 0 && n == 12; }));
  char b[32];
  EXPECT_EQ(12, ws::recv(p.server, b, sizeof b, 0)) << "FIONREAD equals what recv returns";
  EXPECT_TRUE(FailsWith(WSAEINVAL, ws::ioctlsocket(p.server, 0x12345, &n)));
  u_long nonBlocking = 1;
  EXPECT_EQ(0, ws::ioctlsocket(p.server, static_cast<long>(0x8004667Eu), &nonBlocking));
  EXPECT_TRUE(FailsWith(WSAEWOULDBLOCK, ws::recv(p.server, b, sizeof b, 0)));
  EXPECT_TRUE(FailsWith(WSAEWOULDBLOCK, ws::recv(p.server, b, 0, 0)))
      << "zero-length, nothing there";
}

TEST_F(CallsTest, RefusedConnectIsReadBackThroughSoError) {
  u_short port = 0;
  Socket closedPort = RefusingPort(&port);
  Socket c(ws::socket(AF_INET, SOCK_STREAM, 0));
  SOCKADDR_IN a = Loopback(port);
  EXPECT_TRUE(FailsWith(WSAEWOULDBLOCK, ws::connect(c, Sa(a), sizeof a)));
  int err = 0;
  ASSERT_TRUE(PumpUntil([&] { return (err = GetIntOpt(c, SOL_SOCKET, SO_ERROR)) != 0; }));
  EXPECT_EQ(WSAECONNREFUSED, err);
  EXPECT_EQ(0, GetIntOpt(c, SOL_SOCKET, SO_ERROR)) << "reading it clears it";
}

// An emulated socket accepted from a raw POSIX client, the peer that judges how we close.
struct RawPair {
  explicit RawPair(u_short port, SOCKET listener) : peer(port), ours(AcceptWithin(listener)) {}
  test::RawClient peer;
  Socket ours;
};

TEST_F(CallsTest, AbortiveCloseResetsThePeer) {
  u_short port = 0;
  Socket listener = Listener(&port);
  RawPair p(port, listener);
  ASSERT_TRUE(p.peer.Connected()) << p.peer.Error();
  ASSERT_NE(INVALID_SOCKET, p.ours.get());
  ASSERT_TRUE(SendAll(p.ours, "data"));
  LINGER abort{1, 0};
  ASSERT_EQ(0, SetOpt(p.ours, SOL_SOCKET, SO_LINGER, abort));
  p.ours.Close();
  EXPECT_EQ("data", p.peer.ReadToEnd(3000));
  EXPECT_TRUE(p.peer.Ended());
  EXPECT_TRUE(p.peer.WasReset());
}

TEST_F(CallsTest, GracefulCloseDeliversEverythingThenTheEnd) {
  u_short port = 0;
  Socket listener = Listener(&port);
  RawPair p(port, listener);
  ASSERT_TRUE(p.peer.Connected()) << p.peer.Error();
  // More than the socket buffers hold: the rest goes out after closesocket has returned.
  std::string data(4 << 20, 'g');
  std::size_t sent = 0;
  while (sent < data.size()) {
    int n = ws::send(p.ours, data.data() + sent, static_cast<int>(data.size() - sent), 0);
    if (n == SOCKET_ERROR) break;
    sent += n;
  }
  ASSERT_GT(sent, 0u);
  p.ours.Close();
  EXPECT_EQ(sent, p.peer.ReadToEnd(5000).size());
  EXPECT_TRUE(p.peer.Ended());
  EXPECT_FALSE(p.peer.WasReset());
}

TEST_F(CallsTest, LingeringCloseWouldBlockWhileDataIsUnsentAndKeepsTheHandle) {
  Pair p = ConnectedPair();
  LINGER linger{1, 5};
  ASSERT_EQ(0, SetOpt(p.client, SOL_SOCKET, SO_LINGER, linger));
  std::string chunk(1 << 16, 'L');
  std::size_t sent = 0;
  for (;;) {
    int n = ws::send(p.client, chunk.data(), static_cast<int>(chunk.size()), 0);
    if (n == SOCKET_ERROR) break;
    sent += n;
  }
  int open = ws::OpenSocketCount();
  EXPECT_TRUE(FailsWith(WSAEWOULDBLOCK, ws::closesocket(p.client)));
  EXPECT_EQ(open, ws::OpenSocketCount());
  EXPECT_EQ(SOCK_STREAM, GetIntOpt(p.client, SOL_SOCKET, SO_TYPE)) << "the handle is still valid";
  // Once the peer has taken the data, the close goes through, gracefully.
  std::string got;
  char b[1 << 16];
  bool closed = false;
  PumpUntil([&] {
    int n = ws::recv(p.server, b, sizeof b, 0);
    if (n > 0) got.append(b, n);
    if (!closed) closed = ws::closesocket(p.client) == 0;
    return closed && n == 0;
  });
  EXPECT_TRUE(closed);
  EXPECT_EQ(sent, got.size());
  p.client = Socket();
}

TEST_F(CallsTest, LingerTimeRunningOutResetsTheConnection) {
  Pair p = ConnectedPair();
  LINGER linger{1, 1};
  ASSERT_EQ(0, SetOpt(p.client, SOL_SOCKET, SO_LINGER, linger));
  std::string chunk(1 << 16, 'T');
  while (ws::send(p.client, chunk.data(), static_cast<int>(chunk.size()), 0) != SOCKET_ERROR) {
  }
  auto start = std::chrono::steady_clock::now();
  bool closed = PumpUntil([&] { return ws::closesocket(p.client) == 0; }, 5000);
  EXPECT_TRUE(closed);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  p.client = Socket();
  char b[1 << 16];
  int r = 0;
  PumpUntil([&] {
    r = ws::recv(p.server, b, sizeof b, 0);
    return r == SOCKET_ERROR && ws::WSAGetLastError() != WSAEWOULDBLOCK;
  });
  EXPECT_EQ(SOCKET_ERROR, r);
  EXPECT_EQ(WSAECONNRESET, ws::WSAGetLastError());
}

TEST_F(CallsTest, DatagramsCarryAddressesAndReportTruncationAndUnreachablePorts) {
  Socket rx(ws::socket(AF_INET, SOCK_DGRAM, 0));
  Socket tx(ws::socket(AF_INET, SOCK_DGRAM, 0));
  SOCKADDR_IN any = Loopback(0);
  ASSERT_EQ(0, ws::bind(rx, Sa(any), sizeof any));
  SOCKADDR_IN to = Loopback(LocalPort(rx));
  ASSERT_EQ(10, ws::sendto(tx, "0123456789", 10, 0, Sa(to), sizeof to));
  EXPECT_TRUE(FailsWith(WSAEFAULT, ws::sendto(tx, "x", 1, 0, Sa(to), 4)));
  u_long n = 0;
  ASSERT_TRUE(PumpUntil([&] { return ws::ioctlsocket(rx, FIONREAD, &n) == 0 && n == 10; }));
  char b[4];
  SOCKADDR_IN from;
  int fromLen = sizeof from;
  EXPECT_TRUE(FailsWith(
      WSAEMSGSIZE, ws::recvfrom(rx, b, sizeof b, 0, reinterpret_cast<SOCKADDR*>(&from), &fromLen)));
  EXPECT_EQ(0, std::memcmp(b, "0123", 4)) << "the buffer holds the start of the datagram";
  EXPECT_EQ(LocalPort(tx), ws::ntohs(from.sin_port));
  EXPECT_TRUE(FailsWith(WSAEWOULDBLOCK, ws::recv(rx, b, sizeof b, 0))) << "the rest is gone";

  // A datagram to a closed port comes back as an ICMP error: Windows calls it a reset.
  u_short closedPort = LocalPort(rx);
  rx.Close();
  SOCKADDR_IN gone = Loopback(closedPort);
  ASSERT_EQ(0, ws::connect(tx, Sa(gone), sizeof gone));
  ASSERT_EQ(1, ws::send(tx, "?", 1, 0));
  int r = 0;
  ASSERT_TRUE(PumpUntil([&] {
    r = ws::recv(tx, b, sizeof b, 0);
    return !(r == SOCKET_ERROR && ws::WSAGetLastError() == WSAEWOULDBLOCK);
  }));
  EXPECT_EQ(SOCKET_ERROR, r);
  EXPECT_EQ(WSAECONNRESET, ws::WSAGetLastError());
}

TEST_F(CallsTest, BlockingModeWaitsForThePeer) {
  Pair p = ConnectedPair();
  u_long blocking = 0;
  ASSERT_EQ(0, ws::ioctlsocket(p.server, FIONBIO, &blocking));
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ws::send(p.client, "late", 4, 0);
  });
  char b[8];
  auto start = std::chrono::steady_clock::now();
  int n = ws::recv(p.server, b, sizeof b, 0);
  auto waited = std::chrono::steady_clock::now() - start;
  peer.join();
  ASSERT_EQ(4, n);
  EXPECT_EQ(0, std::memcmp(b, "late", 4));
  EXPECT_GE(waited, std::chrono::milliseconds(50)) << "recv waited instead of would-block";
}

TEST_F(CallsTest, AddressConversionsGiveWindowsResults) {
  EXPECT_EQ(0x0100007Fu, ws::inet_addr("127.0.0.1"));
  EXPECT_EQ(0xFFFFFFFFu, ws::inet_addr("255.255.255.255"));
  EXPECT_EQ(INADDR_NONE, ws::inet_addr("junk"));
  EXPECT_EQ(INADDR_NONE, ws::inet_addr("1.2.3.256"));
  EXPECT_EQ(INADDR_NONE, ws::inet_addr(""));
  EXPECT_EQ(INADDR_NONE, ws::inet_addr("1host"));
  EXPECT_EQ(0x0100007Fu, ws::inet_addr("0x7f.1")) << "the short and hexadecimal forms";
  IN_ADDR in;
  in.S_addr = ws::inet_addr("10.20.30.40");
  EXPECT_STREQ("10.20.30.40", ws::inet_ntoa(in));
  EXPECT_EQ(0x12345678u, ws::ntohl(ws::htonl(0x12345678u)));
  EXPECT_EQ(0x78563412u, ws::htonl(0x12345678u));
}

TEST_F(CallsTest, DatabasesAnswerLikeWindows) {
  SERVENT* http = ws::getservbyname("http", "tcp");
  ASSERT_NE(nullptr, http);
  EXPECT_EQ(80, ws::ntohs(static_cast<u_short>(http->s_port)));
  EXPECT_STREQ("tcp", http->s_proto);
  EXPECT_NE(nullptr, ws::getservbyname("ftp", nullptr));
  EXPECT_EQ(nullptr, ws::getservbyname("no-such-service", "tcp"));
  EXPECT_EQ(WSANO_DATA, ws::WSAGetLastError());
  PROTOENT* tcp = ws::getprotobyname("tcp");
  ASSERT_NE(nullptr, tcp);
  EXPECT_EQ(6, tcp->p_proto);
  ASSERT_NE(nullptr, ws::getprotobyname("udp"));
  EXPECT_EQ(17, ws::getprotobyname("udp")->p_proto);
  EXPECT_EQ(nullptr, ws::getprotobyname("no-such-protocol"));
  EXPECT_EQ(WSANO_DATA, ws::WSAGetLastError());

  HOSTENT* h = ws::gethostbyname("localhost");
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(AF_INET, h->h_addrtype);
  EXPECT_EQ(4, h->h_length);
  ASSERT_NE(nullptr, h->h_addr_list[0]);
  std::uint32_t first;
  std::memcpy(&first, h->h_addr_list[0], 4);
  EXPECT_EQ(ws::inet_addr("127.0.0.1"), first);

  h = ws::gethostbyname("127.0.0.2");
  ASSERT_NE(nullptr, h);
  EXPECT_STREQ("127.0.0.2", h->h_name) << "a literal yields itself";
  std::memcpy(&first, h->h_addr_list[0], 4);
  EXPECT_EQ(ws::inet_addr("127.0.0.2"), first);
  EXPECT_EQ(nullptr, h->h_addr_list[1]);

  h = ws::gethostbyname("");
  ASSERT_NE(nullptr, h) << "the empty name is the local host";
  EXPECT_NE(nullptr, h->h_addr_list[0]);

  EXPECT_EQ(nullptr, ws::gethostbyname("nonexistent.invalid"));
  EXPECT_EQ(WSAHOST_NOT_FOUND, ws::WSAGetLastError());
  EXPECT_EQ(nullptr, ws::gethostbyname("::1"));
  EXPECT_EQ(WSANO_DATA, ws::WSAGetLastError());
  EXPECT_EQ(nullptr, ws::gethostbyname("256.1.1.1"));
  EXPECT_EQ(WSANO_DATA, ws::WSAGetLastError());
}

}  // namespace
}  // namespace vantrel::wstest
