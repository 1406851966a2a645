// Connections accepted, served and closed per second by a TWSocket server on loopback, beside a
// plain single-threaded epoll server serving the same load in the same run (rounds alternate,
// each side reports its median).
//
// The load generator, a plain epoll client on its own thread, makes 10,000 connections, a few at a
// time: each sends a 64-byte request, reads the 64-byte answer and the end of the stream, and
// closes. The TWSocket server takes each connection with Accept and a new TWSocket (Dup), answers
// from OnDataAvailable, closes gracefully from OnDataSent, and destroys the component between two
// loop turns. Its listen backlog is 5, so no more connections are kept in flight than the backlog
// holds: past that the kernel drops handshakes and the figure would measure SYN retransmits.
// The plain server uses the same backlog.
#include <benchmark/benchmark.h>
#include <sys/epoll.h>

#include <array>
#include <memory>

#include "WSocket.h"
#include "socket_bench_util.h"

namespace vantrel::bench {
namespace {

constexpr int kConnections = 10000;
constexpr int kBacklog = 5;  // the component's
constexpr std::size_t kRequestSize = 64;
constexpr std::size_t kAnswerSize = 64;
constexpr double kRoundTimeoutS = 120;

struct LoadResult {
  int completed = 0;
  int failed = 0;
  double seconds = 0;
};

// The load generator: `total` connections to 127.0.0.1:port, at most `inFlight` at once.
class LoadGenerator {
 public:
  LoadGenerator(std::uint16_t port, int total, int inFlight)
      : port_(port), total_(total), slots_(static_cast<std::size_t>(inFlight)) {}

  LoadResult Run() {
    LoadResult result;
    epoll_ = Fd(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.Valid()) {
      result.failed = total_;
      return result;
    }
    const auto start = Clock::now();
    for (std::size_t i = 0; i < slots_.size(); ++i) Open(i, result);
    std::array<epoll_event, 64> events{};
    while (result.completed + result.failed < total_ && SecondsSince(start) < kRoundTimeoutS) {
      const int n = ::epoll_wait(epoll_.Get(), events.data(), events.size(), 100);
      for (int e = 0; e < n; ++e) Step(events[static_cast<std::size_t>(e)].data.u32, result);
    }
    result.seconds = SecondsSince(start);
    result.failed += total_ - result.completed - result.failed;  // unfinished at the deadline
    for (Slot& s : slots_) s.fd.Reset();
    return result;
  }

 private:
  enum Phase : std::uint8_t { phConnecting, phReading, phIdle };
  struct Slot {
    Fd fd;
    Phase phase = phIdle;
    std::size_t received = 0;
  };

  void Open(std::size_t i, LoadResult& result) {
    Slot& s = slots_[i];
    s.fd.Reset();
    s.phase = phIdle;
    if (started_ >= total_) return;
    ++started_;
    s.fd = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(port_);
    if (!s.fd.Valid() || (::connect(s.fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 &&
                          errno != EINPROGRESS)) {
      Finish(i, false, result);
      return;
    }
    s.phase = phConnecting;
    s.received = 0;
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u32 = static_cast<std::uint32_t>(i);
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, s.fd.Get(), &ev) != 0) Finish(i, false, result);
  }

  // The connection of slot i is over: count it and start the next one in its place.
  void Finish(std::size_t i, bool ok, LoadResult& result) {
    ++(ok ? result.completed : result.failed);
    Open(i, result);
  }

  void Step(std::uint32_t index, LoadResult& result) {
    Slot& s = slots_[index];
    if (s.phase == phConnecting) {
      int error = 0;
      socklen_t len = sizeof error;
      static const std::array<char, kRequestSize> request{};
      if (::getsockopt(s.fd.Get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0 ||
          ::send(s.fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) !=
              static_cast<ssize_t>(request.size())) {
        Finish(index, false, result);
        return;
      }
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u32 = index;
      ::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, s.fd.Get(), &ev);
      s.phase = phReading;
      return;
    }
    if (s.phase != phReading) return;
    char buffer[512];
    for (;;) {
      const ssize_t n = ::recv(s.fd.Get(), buffer, sizeof buffer, 0);
      if (n > 0) {
        s.received += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      // The end of the stream (or a reset): served when the whole answer came first.
      Finish(index, n == 0 && s.received == kAnswerSize, result);
      return;
    }
  }

  const std::uint16_t port_;
  const int total_;
  int started_ = 0;
  Fd epoll_;
  std::vector<Slot> slots_;
};

// Runs the generator on its own thread while the calling thread serves with serveOnce (which
// must return within a few milliseconds when idle).
template <class Serve>
LoadResult RunLoad(std::uint16_t port, int inFlight, Serve serveOnce) {
  std::atomic<bool> done{false};
  LoadResult result;
  std::thread generator([&] {
    result = LoadGenerator(port, kConnections, inFlight).Run();
    done = true;
  });
  while (!done) serveOnce(done);
  generator.join();
  return result;
}

// ---- the TWSocket server --------------------------------------------------------------------

class ComponentServer {
 public:
  ComponentServer() {
    listener_.OnSessionAvailable = [this](TObject*, std::uint16_t error) {
      if (error == 0) Accept();
    };
    listener_.SetAddr("127.0.0.1");
    listener_.SetPort("0");
    listener_.Listen();
  }

  std::uint16_t Port() { return static_cast<std::uint16_t>(std::stoi(listener_.GetBoundPort())); }

  // Destroys the sessions that have closed; never called from inside their events.
  void FreeClosed() {
    if (closedWaiting_ == 0) return;
    closedWaiting_ = 0;
    std::erase_if(sessions_,
                  [](const std::unique_ptr<Session>& s) { return s->socket.State() == wsClosed; });
  }

 private:
  struct Session {
    TWSocket socket{nullptr};
    std::size_t received = 0;
    bool answered = false;
  };

  void Accept() {
    const SOCKET handle = listener_.Accept();
    if (handle == INVALID_SOCKET) return;
    auto session = std::make_unique<Session>();
    Session* s = session.get();
    s->socket.OnDataAvailable = [this, s](TObject*, std::uint16_t) {
      char buffer[512];
      const std::int32_t n = s->socket.ReadData(buffer, sizeof buffer);
      if (n > 0) s->received += static_cast<std::size_t>(n);
      if (s->received >= kRequestSize && !s->answered) {
        s->answered = true;
        s->socket.Send(answer_.data(), static_cast<std::int32_t>(answer_.size()));
      }
    };
    // The first notice after Dup says the empty queue is writable; only the one that follows the
    // answer ends the session.
    s->socket.OnDataSent = [s](TObject*, std::uint16_t) {
      if (s->answered) s->socket.CloseSession();
    };
    s->socket.OnSessionClosed = [this](TObject*, std::uint16_t) { ++closedWaiting_; };
    s->socket.Dup(handle);
    sessions_.push_back(std::move(session));
  }

  const std::array<char, kAnswerSize> answer_{};
  TWSocket listener_{nullptr};
  std::vector<std::unique_ptr<Session>> sessions_;
  int closedWaiting_ = 0;
};

LoadResult ComponentRound(int inFlight) {
  ComponentServer server;
  return RunLoad(server.Port(), inFlight, [&](const std::atomic<bool>& done) {
    PumpUntil(
        [&] {
          server.FreeClosed();
          return done.load();
        },
        kRoundTimeoutS + 10);
  });
}

// ---- the plain epoll server -----------------------------------------------------------------

class PlainServer {
 public:
  PlainServer()
      : listener_(ListenLoopback(kBacklog, true, &port_)), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    Watch(listener_.Get(), EPOLLIN);
  }

  ~PlainServer() {
    for (std::size_t fd = 0; fd < open_.size(); ++fd) {
      if (open_[fd]) ::close(static_cast<int>(fd));
    }
  }
  PlainServer(const PlainServer&) = delete;
  PlainServer& operator=(const PlainServer&) = delete;

  std::uint16_t Port() const { return port_; }

  // Handles what is ready within 10 ms.
  void ServeOnce() {
    std::array<epoll_event, 64> events{};
    const int n = ::epoll_wait(epoll_.Get(), events.data(), events.size(), 10);
    for (int e = 0; e < n; ++e) {
      const int fd = events[static_cast<std::size_t>(e)].data.fd;
      if (fd == listener_.Get()) {
        AcceptAll();
      } else {
        Read(fd);
      }
    }
  }

 private:
  void Watch(int fd, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &ev);
  }

  void AcceptAll() {
    for (;;) {
      const int fd = ::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      const auto at = static_cast<std::size_t>(fd);
      if (at >= received_.size()) {
        received_.resize(at + 1024);
        open_.resize(at + 1024);
      }
      received_[at] = 0;
      open_[at] = true;
      Watch(fd, EPOLLIN);
    }
  }

  // Reads the request, answers it and closes (which also ends the epoll registration).
  void Read(int fd) {
    char buffer[512];
    std::size_t& received = received_[static_cast<std::size_t>(fd)];
    for (;;) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        received += static_cast<std::size_t>(n);
        if (received < kRequestSize) continue;
        static const std::array<char, kAnswerSize> answer{};
        ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      } else if (n < 0 && errno == EAGAIN) {
        return;
      }
      ::close(fd);
      open_[static_cast<std::size_t>(fd)] = false;
      return;
    }
  }

  std::uint16_t port_ = 0;
  Fd listener_;
  Fd epoll_;
  // By descriptor: request bytes read, and whether it is open.
  std::vector<std::size_t> received_;
  std::vector<bool> open_;
};

LoadResult PlainRound(int inFlight) {
  PlainServer server;
  return RunLoad(server.Port(), inFlight, [&](const std::atomic<bool>&) { server.ServeOnce(); });
}

// ---- the benchmark ----------------------------------------------------------------------------

void BM_SocketAcceptServeClose(benchmark::State& state) {
  const auto rounds = static_cast<int>(state.range(0));
  const auto inFlight = static_cast<int>(state.range(1));
  std::vector<double> mine;
  std::vector<double> theirs;
  int failed = 0;
  for (auto _ : state) {
    for (int i = 0; i < rounds; ++i) {
      const LoadResult plain = PlainRound(inFlight);
      const LoadResult component = ComponentRound(inFlight);
      failed += plain.failed + component.failed;
      theirs.push_back(plain.completed / plain.seconds);
      mine.push_back(component.completed / component.seconds);
    }
  }
  if (failed > 0) {
    state.SkipWithError((std::to_string(failed) + " connections were not served").c_str());
    return;
  }
  state.counters["figure"] = Median(mine);
  state.counters["reference"] = Median(theirs);
  state.counters["best"] = *std::max_element(mine.begin(), mine.end());
  state.counters["reference_best"] = *std::max_element(theirs.begin(), theirs.end());
  state.counters["rounds"] = rounds;
  state.counters["connections"] = kConnections;
  state.SetLabel("conn/s");
}

BENCHMARK(BM_SocketAcceptServeClose)
    ->Name("socket/accept_serve_close_vs_epoll")
    ->ArgNames({"rounds", "in_flight"})
    ->Args({5, 4})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vantrel::bench
