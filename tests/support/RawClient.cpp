#include "RawClient.h"

#include <sys/socket.h>

#include <cerrno>

#include "PosixIo.h"

namespace vantrel::test {

using detail::NowMs;

RawClient::RawClient(std::uint16_t port, int timeoutMs) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    error_ = "socket: " + detail::ErrnoText(errno);
    return;
  }
  sockaddr_in addr = detail::Loopback(port);
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
      errno != EINPROGRESS) {
    error_ = "connect: " + detail::ErrnoText(errno);
    return;
  }
  if (detail::WaitFd(fd.Get(), POLLOUT, NowMs() + timeoutMs, -1) != detail::wrReady) {
    error_ = "connect: timed out";
    return;
  }
  int err = 0;
  socklen_t len = sizeof err;
  getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
  if (err != 0) {
    error_ = "connect: " + detail::ErrnoText(err);
    return;
  }
  fd_ = std::move(fd);
}

bool RawClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  std::int64_t deadline = NowMs() + 5000;
  while (fd_.Valid() && sent < bytes.size()) {
    ssize_t n = send(fd_.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      if (detail::WaitFd(fd_.Get(), POLLOUT, deadline, -1) != detail::wrReady) {
        error_ = "send: timed out";
        return false;
      }
    } else if (!(n < 0 && errno == EINTR)) {
      error_ = "send: " + detail::ErrnoText(errno);
      return false;
    }
  }
  return fd_.Valid();
}

bool RawClient::Fill(std::int64_t deadlineMs) {
  if (!fd_.Valid() || ended_) return false;
  for (;;) {
    if (detail::WaitFd(fd_.Get(), POLLIN, deadlineMs, -1) != detail::wrReady) return false;
    char buf[65536];
    ssize_t n = recv(fd_.Get(), buf, sizeof buf, 0);
    if (n > 0) {
      buffer_.append(buf, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    ended_ = true;
    reset_ = n < 0 && errno == ECONNRESET;
    if (n < 0 && !reset_) error_ = "recv: " + detail::ErrnoText(errno);
    return false;
  }
}

std::string RawClient::Take(std::size_t n) {
  std::string out = buffer_.substr(0, n);
  buffer_.erase(0, out.size());
  return out;
}

std::string RawClient::Read(std::size_t n, int timeoutMs) {
  std::int64_t deadline = NowMs() + timeoutMs;
  while (buffer_.size() < n && Fill(deadline)) {
  }
  return Take(n);
}

std::string RawClient::ReadUntil(const std::string& marker, int timeoutMs) {
  std::int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    auto at = buffer_.find(marker);
    if (at != std::string::npos) return Take(at + marker.size());
    if (!Fill(deadline)) return Take(buffer_.size());
  }
}

std::string RawClient::ReadToEnd(int timeoutMs) {
  std::int64_t deadline = NowMs() + timeoutMs;
  while (Fill(deadline)) {
  }
  return Take(buffer_.size());
}

void RawClient::ShutdownWrite() {
  if (fd_.Valid()) shutdown(fd_.Get(), SHUT_WR);
}

void RawClient::Reset() {
  if (!fd_.Valid()) return;
  linger l{1, 0};
  setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  fd_.Reset();
}

RawUdpSocket::RawUdpSocket() {
  fd_ = detail::OpenLoopbackSocket(SOCK_DGRAM, 0, 0, nullptr);
  if (fd_.Valid()) port_ = detail::LocalPort(fd_.Get());
}

bool RawUdpSocket::SendTo(std::uint16_t port, const std::string& bytes) {
  sockaddr_in to = detail::Loopback(port);
  return sendto(fd_.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                sizeof to) == static_cast<ssize_t>(bytes.size());
}

std::string RawUdpSocket::Receive(int timeoutMs, std::uint16_t* fromPort) {
  if (detail::WaitFd(fd_.Get(), POLLIN, NowMs() + timeoutMs, -1) != detail::wrReady) return {};
  char buf[65536];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n =
      recvfrom(fd_.Get(), buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return {};
  if (fromPort) *fromPort = ntohs(from.sin_port);
  return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace vantrel::test
