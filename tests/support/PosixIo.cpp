#include "PosixIo.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vantrel::test::detail {

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

UniqueFd OpenLoopbackSocket(int type, std::uint16_t port, int receiveBuffer, std::string* error) {
  UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + ErrnoText(errno);
    return UniqueFd();
  };
  if (!fd.Valid()) return fail("socket");
  int one = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Set before listen so that accepted connections inherit it.
  if (receiveBuffer > 0 &&
      setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0)
    return fail("setsockopt(SO_RCVBUF)");
  sockaddr_in addr = Loopback(port);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind");
  if (type == SOCK_STREAM && listen(fd.Get(), 16) != 0) return fail("listen");
  return fd;
}

std::uint16_t LocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

WaitResult WaitFd(int fd, short events, std::int64_t deadlineMs, int cancelFd) {
  pollfd fds[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
  nfds_t count = cancelFd >= 0 ? 2 : 1;
  for (;;) {
    std::int64_t left = deadlineMs - NowMs();
    if (left < 0) left = 0;
    int n = poll(fds, count, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return wrError;
    if (count == 2 && fds[1].revents) return wrCancelled;
    if (n == 0) return wrTimeout;
    return wrReady;  // POLLERR/POLLHUP count as ready: the next call reports them
  }
}

std::string ErrnoText(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);
}

}  // namespace vantrel::test::detail
