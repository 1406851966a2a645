// This is an internal header of the socket benchmarks (bench/socket_*_bench.cpp).
// Plain POSIX loopback sockets for the peers and references of the socket component's
// benchmarks, a bounded message pump, and small statistics. It includes the POSIX socket headers:
// a benchmark that includes it may use the component through WSocket.h (which does not bring in
// WinSock.h) but must not include WinSock.h.
//
// Thread rule: every function may be called from any thread; PumpUntil pumps the calling thread's
// own queue.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "WinMessages.h"

namespace vantrel::bench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The middle value (mean of the two middle ones for an even count); 0 for none.
inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// A move-only owner of a descriptor, closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

inline sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A TCP socket listening on 127.0.0.1 at a port the kernel picks; invalid on failure.
inline Fd ListenLoopback(int backlog, bool nonBlocking, std::uint16_t* port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
  if (!fd.Valid()) return fd;
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd.Get(), backlog) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return Fd();
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// A port of 127.0.0.1 that was free a moment ago (for outside programs that need a port number).
inline std::uint16_t FreeLoopbackPort() {
  std::uint16_t port = 0;
  Fd probe = ListenLoopback(1, false, &port);
  return probe.Valid() ? port : 0;
}

// A blocking TCP connection to 127.0.0.1:port whose sends and receives give up after timeoutS;
// invalid on failure.
inline Fd ConnectLoopback(std::uint16_t port, int timeoutS) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return fd;
  timeval limit{timeoutS, 0};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in a = Loopback(port);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fd();
  return fd;
}

// Accepts one connection on a blocking listener within timeoutS; invalid on failure or timeout.
inline Fd AcceptWithin(int listener, int timeoutS) {
  timeval limit{timeoutS, 0};
  ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  Fd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (fd.Valid()) {
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  return fd;
}

// Writes all of data; false on failure (including a send timeout).
inline bool WriteAll(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

// Raises the soft (and, when allowed, the hard) descriptor limit to at least wanted.
inline bool RaiseDescriptorLimit(rlim_t wanted) {
  rlimit l{};
  if (::getrlimit(RLIMIT_NOFILE, &l) != 0) return false;
  if (l.rlim_cur >= wanted) return true;
  if (l.rlim_max < wanted) l.rlim_max = wanted;  // works for root only
  l.rlim_cur = wanted;
  if (::setrlimit(RLIMIT_NOFILE, &l) == 0) return true;
  ::getrlimit(RLIMIT_NOFILE, &l);
  l.rlim_cur = l.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &l) == 0 && l.rlim_cur >= wanted;
}

// Posts an empty thread message to one thread at a fixed interval, so that a thread blocked in
// WaitMessage looks at its deadline and at conditions set by other threads.
class Waker {
 public:
  Waker(DWORD threadId, std::chrono::milliseconds interval)
      : thread_([this, threadId, interval] {
          std::unique_lock lock(mutex_);
          while (!cv_.wait_for(lock, interval, [this] { return stop_; })) {
            PostThreadMessage(threadId, WM_NULL, 0, 0);
          }
        }) {}
  ~Waker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the members it uses exist
};

// Dispatches the messages waiting for the calling thread now, without waiting for more.
inline void DrainMessages() {
  MSG msg;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessage(&msg);
  }
}

// Dispatches the calling thread's messages until done() holds or timeoutS passes; returns done().
// Sleeps in WaitMessage when nothing is waiting. A WM_QUIT is dropped.
inline bool PumpUntil(const std::function<bool()>& done, double timeoutS) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeoutS));
  Waker waker(GetCurrentThreadId(), std::chrono::milliseconds(20));
  for (;;) {
    MSG msg;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessage(&msg);
      // A busy transfer keeps the queue full: look at the end and the deadline between messages.
      if (done()) return true;
      if (Clock::now() >= deadline) return false;
    }
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    WaitMessage();
  }
}

}  // namespace vantrel::bench
