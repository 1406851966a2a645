// Memory per idle connected TWSocket, with 10,000 of them open in one process: the growth of the
// heap (every arena, and blocks mapped on their own, from mallinfo2) while they are created and
// connected, divided by their number. Kernel socket buffers are not on the heap and are not
// counted; the platform layer's bookkeeping for each socket and window is.
//
// Rows: clients (Connect to a plain listener), the same clients having each sent one byte (the
// send queue keeps its last block for reuse), and server-side sockets (Accept on a listening
// TWSocket, then Dup into a new TWSocket, from plain clients). The plain peers run in a child
// process. The figure is bytes per connection; there is no reference. For comparison the counter
// object_bytes gives sizeof(TWSocket), and constructed_bytes the heap of a component that is
// constructed but never connected (the object, its window and its empty containers).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <memory>

#include "WSocket.h"
#include "socket_bench_util.h"

namespace vantrel::bench {
namespace {

constexpr int kSockets = 10000;
constexpr double kStepTimeoutS = 30;

std::int64_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return static_cast<std::int64_t>(m.uordblks + m.hblkhd);
}

// Heap growth since construction.
class Meter {
 public:
  Meter() : start_(HeapInUse()) {}
  std::int64_t Growth() const { return HeapInUse() - start_; }

 private:
  std::int64_t start_;
};

// The sockets are still made under a sanitizer's allocator, which mallinfo2 does not see, so that
// such a build runs the same paths; only the figure is refused.
void Report(benchmark::State& state, std::int64_t growth, int count) {
  if (HeapInUse() == 0) {
    state.SkipWithError("mallinfo2 reports no heap (a sanitizer's allocator?)");
    return;
  }
  state.counters["figure"] = static_cast<double>(growth) / count;
  state.counters["object_bytes"] = sizeof(TWSocket);
  state.counters["sockets"] = count;
  state.SetLabel("B/conn");
}

// Heap per component constructed but never connected, for comparison with the connected figure.
double ConstructedBytes() {
  constexpr int kCount = 1000;
  std::vector<std::unique_ptr<TWSocket>> idle;
  idle.reserve(kCount);
  const Meter meter;
  for (int i = 0; i < kCount; ++i) idle.push_back(std::make_unique<TWSocket>(nullptr));
  return static_cast<double>(meter.Growth()) / kCount;
}

// The plain peers live in a child process, so that this one holds only the components'
// descriptors: the descriptor limit need not allow both ends of every connection. The child is
// forked before the benchmark creates its components, and only makes system calls, into storage
// allocated before the fork (no allocation after a fork of a process that may have threads).
class PeerProcess {
 public:
  // Accepts every connection that comes to listener until this object is destroyed.
  static std::unique_ptr<PeerProcess> Acceptor(int listener) {
    return std::unique_ptr<PeerProcess>(new PeerProcess(listener));
  }
  // Connects to the port given by each Connect call.
  static std::unique_ptr<PeerProcess> Connector() {
    return std::unique_ptr<PeerProcess>(new PeerProcess(-1));
  }

  ~PeerProcess() {
    control_.Reset();  // the child's signal to end
    if (pid_ <= 0) return;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool Started() const { return pid_ > 0; }

  // Asks a connector for count blocking connections to 127.0.0.1:port.
  bool Connect(std::uint16_t port, std::uint16_t count) {
    const std::uint16_t command[2] = {port, count};
    return ::write(control_.Get(), command, sizeof command) == sizeof command;
  }

 private:
  explicit PeerProcess(int listener) : held_(kSockets + 16, -1) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[1]);
      if (listener >= 0) {
        AcceptUntilEnd(listener, fds[0]);
      } else {
        ConnectUntilEnd(fds[0]);
      }
      ::_exit(0);
    }
    ::close(fds[0]);
    control_.Reset(fds[1]);
  }

  void AcceptUntilEnd(int listener, int control) {
    std::size_t count = 0;
    for (;;) {
      pollfd p[2] = {{listener, POLLIN, 0}, {control, POLLIN, 0}};
      if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
      if (p[1].revents != 0) return;  // the parent closed its end
      if ((p[0].revents & POLLIN) == 0) continue;
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
      if (fd >= 0 && count < held_.size()) held_[count++] = fd;
    }
  }

  void ConnectUntilEnd(int control) {
    std::size_t count = 0;
    std::uint16_t command[2];
    while (::read(control, command, sizeof command) == sizeof command) {
      for (int i = 0; i < command[1] && count < held_.size(); ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(command[0]);
        timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        held_[count++] = fd;
      }
    }
  }

  std::vector<int> held_;  // the child's descriptors, allocated before the fork
  pid_t pid_ = -1;
  Fd control_;
};

void BM_IdleClientMemory(benchmark::State& state) {
  if (!RaiseDescriptorLimit(kSockets + 1024)) {
    state.SkipWithError("cannot raise RLIMIT_NOFILE");
    return;
  }
  std::uint16_t port = 0;
  Fd listener = ListenLoopback(4096, false, &port);
  const auto peers = listener.Valid() ? PeerProcess::Acceptor(listener.Get()) : nullptr;
  listener.Reset();
  if (!peers || !peers->Started()) {
    state.SkipWithError("cannot start the accepting process");
    return;
  }
  const std::string portText = std::to_string(port);
  const bool sendOne = state.range(0) != 0;
  int connected = 0;
  auto makeClient = [&] {
    auto socket = std::make_unique<TWSocket>(nullptr);
    TWSocket* s = socket.get();
    socket->OnSessionConnected = [&connected, s, sendOne](TObject*, std::uint16_t error) {
      if (error != 0) return;
      ++connected;
      if (sendOne) s->SendText("x");
    };
    socket->SetAddr("127.0.0.1");
    socket->SetPort(portText);
    socket->Connect();
    return socket;
  };
  std::vector<std::unique_ptr<TWSocket>> sockets;
  sockets.reserve(kSockets + 1);
  // The first one loads the socket library and creates this thread's queue: not per socket.
  sockets.push_back(makeClient());
  const bool warm = PumpUntil([&] { return connected == 1; }, kStepTimeoutS);
  DrainMessages();

  std::int64_t growth = 0;
  for (auto _ : state) {
    state.counters["constructed_bytes"] = ConstructedBytes();
    const Meter meter;
    bool ok = warm;
    while (ok && static_cast<int>(sockets.size()) <= kSockets) {
      const int target = std::min(kSockets + 1, static_cast<int>(sockets.size()) + 256);
      while (static_cast<int>(sockets.size()) < target) sockets.push_back(makeClient());
      ok = PumpUntil([&] { return connected == target; }, kStepTimeoutS);
    }
    DrainMessages();  // the first write notices of the last ones
    growth = meter.Growth();
    if (!ok) state.SkipWithError(("connected " + std::to_string(connected)).c_str());
  }
  Report(state, growth, kSockets);
  sockets.clear();
  DrainMessages();
}

void BM_IdleAcceptedMemory(benchmark::State& state) {
  if (!RaiseDescriptorLimit(kSockets + 1024)) {
    state.SkipWithError("cannot raise RLIMIT_NOFILE");
    return;
  }
  const auto peers = PeerProcess::Connector();
  if (!peers->Started()) {
    state.SkipWithError("cannot start the connecting process");
    return;
  }
  std::vector<std::unique_ptr<TWSocket>> sockets;
  sockets.reserve(kSockets + 1);
  TWSocket listener(nullptr);
  listener.OnSessionAvailable = [&](TObject*, std::uint16_t error) {
    if (error != 0) return;
    const SOCKET handle = listener.Accept();
    if (handle == INVALID_SOCKET) return;
    auto socket = std::make_unique<TWSocket>(nullptr);
    socket->Dup(handle);
    sockets.push_back(std::move(socket));
  };
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.Listen();
  const auto port = static_cast<std::uint16_t>(std::stoi(listener.GetBoundPort()));
  // A few connections at a time, all accepted before the next: the listener's backlog is 5.
  auto connectBatch = [&](int count) {
    const std::size_t target = sockets.size() + static_cast<std::size_t>(count);
    return peers->Connect(port, static_cast<std::uint16_t>(count)) &&
           PumpUntil([&] { return sockets.size() == target; }, kStepTimeoutS);
  };
  const bool warm = connectBatch(1);
  DrainMessages();

  std::int64_t growth = 0;
  for (auto _ : state) {
    const Meter meter;
    bool ok = warm;
    while (ok && static_cast<int>(sockets.size()) <= kSockets) {
      ok = connectBatch(std::min(4, kSockets + 1 - static_cast<int>(sockets.size())));
    }
    DrainMessages();
    growth = meter.Growth();
    if (!ok) state.SkipWithError(("accepted " + std::to_string(sockets.size())).c_str());
  }
  Report(state, growth, kSockets);
  sockets.clear();
  DrainMessages();
}

BENCHMARK(BM_IdleClientMemory)
    ->Name("socket/idle_client_memory_10k")
    ->ArgName("sent")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleAcceptedMemory)
    ->Name("socket/idle_accepted_memory_10k")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel::bench
