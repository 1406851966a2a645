// The test sockets over POSIX sockets and poll; the wake signal is an eventfd.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SocketIo.h"

namespace vantrel::test::detail {
namespace {

int Fd(NativeSocket s) {
  return static_cast<int>(s);
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

void SetReceiveBuffer(int fd, int size) {
  if (size > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

IoResult Failure(int error) {
  IoResult r;
  r.error = error;
  if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
    r.status = IoResult::ioWouldBlock;
  } else {
    r.status = error == ECONNRESET ? IoResult::ioReset : IoResult::ioError;
  }
  return r;
}

IoResult Transferred(ssize_t n) {
  if (n < 0) return Failure(errno);
  IoResult r;
  r.status = n == 0 ? IoResult::ioEnd : IoResult::ioDone;
  r.bytes = static_cast<std::size_t>(n);
  return r;
}

}  // namespace

void CloseSocket(NativeSocket s) {
  ::close(Fd(s));
}

std::string SocketErrorText(int error) {
  char buf[256];
  return strerror_r(error, buf, sizeof buf);
}

OwnedSocket OpenLoopbackSocket(bool stream, std::uint16_t port, int receiveBuffer,
                               std::string* error) {
  OwnedSocket s(
      socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + SocketErrorText(errno);
    return OwnedSocket();
  };
  if (!s.Valid()) return fail("socket");
  int one = 1;
  setsockopt(Fd(s.Get()), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receiveBuffer > 0 &&
      setsockopt(Fd(s.Get()), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0)
    return fail("setsockopt(SO_RCVBUF)");
  sockaddr_in addr = Loopback(port);
  if (bind(Fd(s.Get()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind");
  if (stream && listen(Fd(s.Get()), 16) != 0) return fail("listen");
  return s;
}

std::uint16_t LocalPort(NativeSocket s) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

WaitResult WaitSocket(NativeSocket s, bool writable, std::int64_t deadlineMs, NativeSocket cancel) {
  pollfd fds[2] = {{Fd(s), static_cast<short>(writable ? POLLOUT : POLLIN), 0},
                   {Fd(cancel), POLLIN, 0}};
  nfds_t count = cancel != kNoSocket ? 2 : 1;
  for (;;) {
    std::int64_t left = deadlineMs - NowMs();
    if (left < 0) left = 0;
    int n = poll(fds, count, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return wrError;
    if (count == 2 && fds[1].revents) return wrCancelled;
    return n == 0 ? wrTimeout : wrReady;
  }
}

OwnedSocket AcceptConnection(NativeSocket listener, std::string* error) {
  int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "accept failed: " + SocketErrorText(errno);
    return OwnedSocket();
  }
  return OwnedSocket(fd);
}

OwnedSocket ConnectLoopback(std::uint16_t port, int receiveBuffer, std::int64_t deadlineMs,
                            NativeSocket cancel, std::string* error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = "connect failed: socket: " + SocketErrorText(errno);
    return OwnedSocket();
  }
  OwnedSocket s(fd);
  SetReceiveBuffer(fd, receiveBuffer);
  sockaddr_in addr = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
    *error = "connect failed: " + SocketErrorText(errno);
    return OwnedSocket();
  }
  switch (WaitSocket(fd, true, deadlineMs, cancel)) {
    case wrReady:
      break;
    case wrTimeout:
      *error = "timed out connecting";
      return OwnedSocket();
    default:
      *error = "cancelled";
      return OwnedSocket();
  }
  int err = 0;
  socklen_t len = sizeof err;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err != 0) {
    *error = "connect failed: " + SocketErrorText(err);
    return OwnedSocket();
  }
  return s;
}

IoResult SendSome(NativeSocket s, const char* data, std::size_t size) {
  return Transferred(send(Fd(s), data, size, MSG_NOSIGNAL));
}

IoResult ReceiveSome(NativeSocket s, char* buffer, std::size_t size) {
  return Transferred(recv(Fd(s), buffer, size, 0));
}

IoResult SendDatagram(NativeSocket s, std::uint16_t port, const char* data, std::size_t size) {
  sockaddr_in to = Loopback(port);
  return Transferred(sendto(Fd(s), data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
}

IoResult ReceiveDatagram(NativeSocket s, char* buffer, std::size_t size, std::uint16_t* fromPort) {
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = recvfrom(Fd(s), buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return Failure(errno);
  if (fromPort) *fromPort = ntohs(from.sin_port);
  IoResult r;
  r.status = IoResult::ioDone;  // an empty datagram is a datagram, not an end
  r.bytes = static_cast<std::size_t>(n);
  return r;
}

std::string ShutdownSending(NativeSocket s) {
  if (shutdown(Fd(s), SHUT_WR) == 0) return {};
  return "shutdown failed: " + SocketErrorText(errno);
}

void SetNoDelay(NativeSocket s) {
  int one = 1;
  setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void CloseWithReset(OwnedSocket& s) {
  if (!s.Valid()) return;
  linger l{1, 0};
  setsockopt(Fd(s.Get()), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  s.Reset();
}

WakeSignal::WakeSignal() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd >= 0) handle_.Reset(fd);
}

void WakeSignal::Raise() {
  std::uint64_t one = 1;
  ssize_t w = write(Fd(handle_.Get()), &one, sizeof one);
  (void)w;
}

void WakeSignal::Lower() {
  std::uint64_t value;
  ssize_t n = read(Fd(handle_.Get()), &value, sizeof value);
  (void)n;
}

}  // namespace vantrel::test::detail
