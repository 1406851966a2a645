#include "SlowReader.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vantrel::test {

SlowReader::SlowReader(int PauseMs, int NapMicroseconds)
    : PauseMs_(PauseMs), NapUs_(NapMicroseconds) {
  Listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int Small = 64 * 1024;
  ::setsockopt(Listener_.Get(), SOL_SOCKET, SO_RCVBUF, &Small, sizeof Small);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof Addr;
  if (::bind(Listener_.Get(), reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) != 0 ||
      ::listen(Listener_.Get(), 1) != 0 ||
      ::getsockname(Listener_.Get(), reinterpret_cast<sockaddr*>(&Addr), &Len) != 0) {
    Error_ = std::string("listen: ") + std::strerror(errno);
    return;
  }
  Port_ = ntohs(Addr.sin_port);
  Thread_ = std::thread([this] { Run(); });
}

SlowReader::~SlowReader() {
  Stop_ = true;
  if (Thread_.joinable()) Thread_.join();
}

bool SlowReader::Join(int TimeoutMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Finished_ && std::chrono::steady_clock::now() < Deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!Finished_) return false;
  Thread_.join();
  return true;
}

bool SlowReader::WaitReadable(int Fd, int Ms) {
  pollfd P{Fd, POLLIN, 0};
  for (int Waited = 0; Waited < Ms && !Stop_; Waited += 50) {
    if (::poll(&P, 1, 50) > 0) return true;
  }
  return false;
}

void SlowReader::Run() {
  if (!WaitReadable(Listener_.Get(), 10000)) {
    Error_ = "nobody connected";
    Finished_ = true;
    return;
  }
  ScopedFd Conn(::accept(Listener_.Get(), nullptr, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(PauseMs_));
  std::string Buffer(64 * 1024, '\0');
  while (!Stop_) {
    if (!WaitReadable(Conn.Get(), 30000)) {
      Error_ = "timed out after " + std::to_string(Total_) + " bytes";
      break;
    }
    const ssize_t N = ::recv(Conn.Get(), Buffer.data(), Buffer.size(), 0);
    if (N == 0) {
      EndedCleanly_ = true;
      break;
    }
    if (N < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      WasReset_ = errno == ECONNRESET;
      if (!WasReset_) Error_ = std::string("recv: ") + std::strerror(errno);
      break;
    }
    for (ssize_t I = 0; I < N && PatternOk_; ++I) {
      PatternOk_ = Buffer[I] == static_cast<char>((Total_ + I) % 251);
    }
    Total_ += static_cast<std::size_t>(N);
    if (NapUs_ > 0) std::this_thread::sleep_for(std::chrono::microseconds(NapUs_));
  }
  Finished_ = true;
}

}  // namespace vantrel::test
