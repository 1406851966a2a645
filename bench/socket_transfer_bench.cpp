// Throughput of the socket component over loopback, 1 GiB per transfer, each figure beside its
// reference measured in the same run. Rounds alternate reference and component, and each side
// reports the median of its rounds, so that load from other processes hits both alike.
//
//  - send: a TWSocket client hands 1 GiB to Send in pieces (the next piece whenever OnDataSent
//    says the queue is drained) to a TWSocket server on a worker thread, which reads a fixed
//    size per ReadData. Reference: iperf3 with 1514-byte writes, the one-send-per-1514-bytes
//    pattern of the component's send queue. Target: at least 0.8 of it. The main row uses 64 KiB
//    pieces and 8192-byte reads; the others show 1514-byte pieces, and 1514-byte reads (which is
//    what the iperf3 server does with -l 1514).
//  - send with large blocks: the same, with the client's SendBlockSize at 64 KiB (so one system
//    send carries up to 64 KiB) and 128 KiB reads on the server. Reference: iperf3 with its
//    default writes (128 KiB), target at least 0.8 of it; and iperf3 writing 64 KiB per call,
//    the same system calls as the component's. Over loopback the size of each write alone moves
//    the rate a lot, so the second row is the one that tells what the component costs.
//  - receive: a TWSocket reads 8192 bytes per ReadData from a plain sender writing 64 KiB at a
//    time. Reference: a plain blocking client doing recv of 8192 bytes from the same sender.
//    Target: at least 0.8 of it. The main row reads once per OnDataAvailable (the component asks
//    the system whether bytes still wait before calling the handler again); the drain row reads
//    until a read comes back short.
//
// Figures are in GB/s (10^9 bytes per second) over the wall clock; the ratio is component /
// reference. The counters cpu_rate and reference_cpu_rate divide the bytes by the processor time
// of the sending (send) or receiving (receive) thread instead: the cost of each path, which the
// load of a shared machine changes far less than the wall clock.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <optional>

#include "WSocket.h"
#include "json_number.h"
#include "socket_bench_util.h"

extern char** environ;

namespace vantrel::bench {
namespace {

constexpr std::int64_t kTotal = std::int64_t{1} << 30;  // 1 GiB per transfer
constexpr int kReadSize = 8192;
constexpr int kSenderWrite = 64 * 1024;
constexpr double kTransferTimeoutS = 120;

double GigabytesPerSecond(std::int64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e9 : 0;
}

// Processor time used by the calling thread, in seconds.
double ThreadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One transfer: the rate over the wall clock, and the rate over the processor time of the thread
// that sent or received (the cost of the path, which load from other processes does not change).
struct Sample {
  double rate = 0;
  double cpuRate = 0;
};

// ---- send: component client to component server -------------------------------------------

// The receiving end of the send benchmark, on its own thread with its own message queue: a
// listening TWSocket, and a second one that takes the connection over (Dup) and reads it.
class ComponentSink {
 public:
  explicit ComponentSink(int readSize) : readSize_(readSize), thread_([this] { Run(); }) {}
  ~ComponentSink() {
    stop_ = true;
    DWORD id = 0;
    {
      std::lock_guard lock(mutex_);
      id = threadId_;
    }
    if (id != 0) PostThreadMessage(id, WM_NULL, 0, 0);
    thread_.join();
  }
  ComponentSink(const ComponentSink&) = delete;
  ComponentSink& operator=(const ComponentSink&) = delete;

  // The listening port, 0 when the server could not start within the time limit.
  std::uint16_t WaitForPort() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [this] { return port_ != 0 || !error_.empty(); });
    return port_;
  }

  // When the last of kTotal bytes was read, or nothing if that did not happen within the limit.
  std::optional<Clock::time_point> WaitForAll(double timeoutS) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::duration<double>(timeoutS),
                 [this] { return complete_ || !error_.empty(); });
    if (!complete_) return std::nullopt;
    return lastByte_;
  }

  std::string Error() {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  void Fail(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (error_.empty()) error_ = text;
    cv_.notify_all();
  }

  void Run() {
    try {
      TWSocket listener(nullptr);
      TWSocket connection(nullptr);
      listener.SetMultiThreaded(true);
      connection.SetMultiThreaded(true);
      std::vector<char> buffer(static_cast<std::size_t>(readSize_));
      std::int64_t received = 0;
      bool closed = false;  // the client's close reached this side
      listener.OnSessionAvailable = [&](TObject*, std::uint16_t error) {
        if (error != 0) return;
        const SOCKET handle = listener.Accept();
        if (handle != INVALID_SOCKET) connection.Dup(handle);
      };
      connection.OnDataAvailable = [&](TObject*, std::uint16_t) {
        const std::int32_t n = connection.ReadData(buffer.data(), readSize_);
        if (n <= 0) return;
        received += n;
        if (received == kTotal) {
          std::lock_guard lock(mutex_);
          lastByte_ = Clock::now();
          complete_ = true;
          cv_.notify_all();
        }
      };
      connection.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
      listener.SetAddr("127.0.0.1");
      listener.SetPort("0");
      listener.Listen();
      {
        std::lock_guard lock(mutex_);
        threadId_ = GetCurrentThreadId();
        port_ = static_cast<std::uint16_t>(std::stoi(listener.GetBoundPort()));
        cv_.notify_all();
      }
      // The components stay until the owner says stop: creating and destroying components is
      // not safe on two threads at once, and the client's thread destroys its own meanwhile.
      PumpUntil([&] { return stop_.load(); }, 3 * kTransferTimeoutS);
      if (!closed || received != kTotal) {
        Fail("the server read " + std::to_string(received) + " bytes of " + std::to_string(kTotal));
      }
    } catch (const std::exception& e) {
      Fail(std::string("server: ") + e.what());
    }
  }

  const int readSize_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::uint16_t port_ = 0;
  DWORD threadId_ = 0;
  bool complete_ = false;
  Clock::time_point lastByte_;
  std::string error_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: starts once the members it uses exist
};

// One transfer of kTotal bytes from a client on this thread; nothing with *error set on failure.
Sample ClientSend(std::uint16_t port, int pieceSize, int blockSize, ComponentSink& sink,
                  std::string* error) {
  const std::vector<char> piece(static_cast<std::size_t>(pieceSize), 'x');
  std::int64_t queued = 0;
  bool failed = false;
  bool finished = false;
  Clock::time_point start;
  double cpuStart = 0;
  double cpuEnd = 0;
  TWSocket client(nullptr);
  auto sendNext = [&] {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(pieceSize, kTotal - queued));
    if (client.Send(piece.data(), n) != n) failed = true;
    queued += n;
  };
  client.OnSessionConnected = [&](TObject*, std::uint16_t e) {
    if (e != 0) {
      failed = true;
      return;
    }
    start = Clock::now();
    cpuStart = ThreadCpuSeconds();
    sendNext();
  };
  // Every notice of a drained queue hands over the next piece; after the last one the session
  // is closed gracefully, which still delivers what the system holds.
  client.OnDataSent = [&](TObject*, std::uint16_t) {
    if (finished || queued == 0) return;
    if (queued < kTotal) {
      sendNext();
    } else {
      finished = true;
      cpuEnd = ThreadCpuSeconds();
      client.CloseSession();
    }
  };
  client.OnSessionClosed = [&](TObject*, std::uint16_t e) {
    if (!finished || e != 0) failed = true;
  };
  client.SetSendBlockSize(blockSize);
  client.SetAddr("127.0.0.1");
  client.SetPort(std::to_string(port));
  client.Connect();
  if (!PumpUntil([&] { return finished || failed; }, kTransferTimeoutS) || failed) {
    *error = "the client did not hand over every byte (" + std::to_string(queued) + " queued)";
    return {};
  }
  const auto end = sink.WaitForAll(kTransferTimeoutS);
  if (!end) {
    *error = "the server did not receive every byte: " + sink.Error();
    return {};
  }
  return {GigabytesPerSecond(kTotal, std::chrono::duration<double>(*end - start).count()),
          GigabytesPerSecond(kTotal, cpuEnd - cpuStart)};
}

// blockSize is the client's SendBlockSize (0: the default).
Sample ComponentSend(int pieceSize, int readSize, int blockSize, std::string* error) {
  ComponentSink sink(readSize);
  const std::uint16_t port = sink.WaitForPort();
  if (port == 0) {
    *error = "the server did not start: " + sink.Error();
    return {};
  }
  // The client is gone before the sink lets its thread destroy the server's components.
  return ClientSend(port, pieceSize, blockSize, sink, error);
}

// Runs one short exchange between three components of this thread, so that the socket library
// is loaded and every operation the benchmark uses is looked up before two threads use them.
bool WarmUp() {
  TWSocket listener(nullptr);
  TWSocket server(nullptr);
  TWSocket client(nullptr);
  std::string echoed;
  listener.OnSessionAvailable = [&](TObject*, std::uint16_t) { server.Dup(listener.Accept()); };
  server.OnDataAvailable = [&](TObject*, std::uint16_t) { server.SendText(server.ReadText()); };
  client.OnSessionConnected = [&](TObject*, std::uint16_t) { client.SendText("ping"); };
  client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char b[16];
    const std::int32_t n = client.ReadData(b, sizeof b);
    if (n > 0) echoed.append(b, static_cast<std::size_t>(n));
  };
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.Listen();
  client.SetAddr("127.0.0.1");
  client.SetPort(listener.GetBoundPort());
  client.Connect();
  const bool ok = PumpUntil([&] { return echoed == "ping"; }, 10);
  client.CloseSession();
  PumpUntil([&] { return server.State() == wsClosed; }, 10);
  return ok;
}

// ---- send reference: iperf3 ---------------------------------------------------------------

// A child process started with posix_spawnp, killed and reaped on destruction if still running.
class Child {
 public:
  // Standard output goes to a pipe when captureOutput, else to /dev/null (as standard error).
  Child(const std::vector<std::string>& args, bool captureOutput) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (captureOutput && ::pipe2(pipeFds, O_CLOEXEC) == 0) {
      output_.Reset(pipeFds[0]);
      posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }

  // Reads the output until the child closes it, then waits for its exit; the exit status, or -1
  // on timeout (the child is then killed by the destructor).
  int Finish(double timeoutS, std::string* output) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutS));
    char chunk[4096];
    while (output_.Valid()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return -1;
      pollfd p{output_.Get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      const ssize_t n = ::read(output_.Get(), chunk, sizeof chunk);
      if (n > 0) {
        output->append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        output_.Reset();
      }
    }
    while (Clock::now() < deadline) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  Fd output_;
};

// One iperf3 run (server bound to 127.0.0.1, client writing writeSize bytes at a time, or its
// default with 0; 1 GiB); the rate the server received at, in GB/s, and the client's rate per
// processor second; nothing with *error set on failure.
Sample Iperf3Send(int writeSize, std::string* error) {
  const std::string port = std::to_string(FreeLoopbackPort());
  Child server({"iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", port}, false);
  if (!server.Started()) {
    *error = "cannot start iperf3 (scripts/setup.sh installs it)";
    return {};
  }
  // The server needs a moment before it listens; a client that finds nothing there fails at once.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string json;
    std::vector<std::string> args{"iperf3", "-c", "127.0.0.1", "-p", port, "-n", "1G", "-J"};
    if (writeSize > 0) args.insert(args.end(), {"-l", std::to_string(writeSize)});
    Child client(args, true);
    const int status = client.Finish(kTransferTimeoutS, &json);
    // With -J a refused connection can still exit with 0; the report then holds an "error".
    const bool refused = json.find("Connection refused") != std::string::npos;
    if (status == 0 && !refused) {
      // The receiver's count stops when the sender reports the end, with the last bytes still
      // on their way: take the rate it saw over what it counted.
      const auto bytes = JsonNumberAfter(json, "sum_received", "bytes");
      const auto seconds = JsonNumberAfter(json, "sum_received", "seconds");
      const auto sendSeconds = JsonNumberAfter(json, "sum_sent", "seconds");
      const auto cpuPercent = JsonNumberAfter(json, "cpu_utilization_percent", "host_total");
      if (!bytes || !seconds || !sendSeconds || !cpuPercent ||
          *bytes < 0.9 * static_cast<double>(kTotal)) {
        *error = "unexpected iperf3 report";
        return {};
      }
      return {*bytes / *seconds / 1e9,
              GigabytesPerSecond(kTotal, *cpuPercent / 100 * *sendSeconds)};
    }
    if (status < 0 || !refused) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  *error = "iperf3 failed";
  return {};
}

// ---- receive: component and plain client from the same plain sender ------------------------

// A plain blocking sender on its own thread: accepts one connection, writes kTotal bytes in
// 64 KiB writes and closes.
class PlainSender {
 public:
  PlainSender() : listener_(ListenLoopback(1, false, &port_)), thread_([this] { Run(); }) {}
  ~PlainSender() { thread_.join(); }
  PlainSender(const PlainSender&) = delete;
  PlainSender& operator=(const PlainSender&) = delete;

  std::uint16_t Port() const { return port_; }

 private:
  void Run() {
    if (!listener_.Valid()) return;
    Fd connection = AcceptWithin(listener_.Get(), 30);
    if (!connection.Valid()) return;
    const std::vector<char> block(kSenderWrite, 'y');
    for (std::int64_t sent = 0; sent < kTotal; sent += kSenderWrite) {
      if (!WriteAll(connection.Get(), block.data(), block.size())) return;
    }
  }

  std::uint16_t port_ = 0;
  Fd listener_;
  std::thread thread_;  // last: starts once the members it uses exist
};

Sample PlainReceive(std::string* error) {
  PlainSender sender;
  std::vector<char> buffer(kReadSize);
  const auto start = Clock::now();
  const double cpuStart = ThreadCpuSeconds();
  Fd fd = ConnectLoopback(sender.Port(), 30);
  std::int64_t received = 0;
  while (fd.Valid() && received < kTotal) {
    const ssize_t n = ::recv(fd.Get(), buffer.data(), kReadSize, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    received += n;
  }
  const double seconds = SecondsSince(start);
  const double cpuSeconds = ThreadCpuSeconds() - cpuStart;
  if (received != kTotal) {
    *error = "the plain client received " + std::to_string(received) + " bytes";
    return {};
  }
  return {GigabytesPerSecond(kTotal, seconds), GigabytesPerSecond(kTotal, cpuSeconds)};
}

// With drain, each OnDataAvailable reads until a read comes back short, instead of reading once
// and letting the component ask the system (FIONREAD) whether to call it again.
Sample ComponentReceive(bool drain, std::string* error) {
  PlainSender sender;
  std::vector<char> buffer(kReadSize);
  std::int64_t received = 0;
  bool closed = false;
  Clock::time_point end;
  double cpuEnd = 0;
  TWSocket receiver(nullptr);
  receiver.OnDataAvailable = [&](TObject*, std::uint16_t) {
    std::int32_t n = 0;
    do {
      n = receiver.ReadData(buffer.data(), kReadSize);
      if (n <= 0) return;
      received += n;
      if (received == kTotal) {
        end = Clock::now();
        cpuEnd = ThreadCpuSeconds();
      }
    } while (drain && n == kReadSize);
  };
  receiver.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
  receiver.SetAddr("127.0.0.1");
  receiver.SetPort(std::to_string(sender.Port()));
  const auto start = Clock::now();
  const double cpuStart = ThreadCpuSeconds();
  receiver.Connect();
  PumpUntil([&] { return closed; }, kTransferTimeoutS);
  if (received != kTotal) {
    *error = "the component received " + std::to_string(received) + " bytes";
    return {};
  }
  return {GigabytesPerSecond(kTotal, std::chrono::duration<double>(end - start).count()),
          GigabytesPerSecond(kTotal, cpuEnd - cpuStart)};
}

// ---- the benchmarks -----------------------------------------------------------------------

using Measure = std::function<Sample(std::string* error)>;

// Alternates reference and component for the given number of rounds (the benchmark's argument)
// and reports both medians.
void RunPaired(benchmark::State& state, const Measure& component, const Measure& reference) {
  const auto rounds = static_cast<int>(state.range(0));
  std::vector<double> mine, theirs, mineCpu, theirsCpu;
  for (auto _ : state) {
    for (int i = 0; i < rounds; ++i) {
      std::string error;
      const Sample r = reference(&error);
      const Sample c = error.empty() ? component(&error) : Sample{};
      if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
      }
      theirs.push_back(r.rate);
      mine.push_back(c.rate);
      theirsCpu.push_back(r.cpuRate);
      mineCpu.push_back(c.cpuRate);
    }
  }
  state.counters["figure"] = Median(mine);
  state.counters["reference"] = Median(theirs);
  state.counters["best"] = *std::max_element(mine.begin(), mine.end());
  state.counters["reference_best"] = *std::max_element(theirs.begin(), theirs.end());
  state.counters["cpu_rate"] = Median(mineCpu);
  state.counters["reference_cpu_rate"] = Median(theirsCpu);
  state.counters["rounds"] = rounds;
  state.SetLabel("GB/s");
}

void BM_SocketSend(benchmark::State& state) {
  // Holds the library loaded for the whole run, so that no worker thread loads or unloads it.
  TWSocket anchor(nullptr);
  if (!WarmUp()) {
    state.SkipWithError("the warm-up exchange failed");
    return;
  }
  const auto piece = static_cast<int>(state.range(1));
  const auto readSize = static_cast<int>(state.range(2));
  const auto block = static_cast<int>(state.range(3));
  // The default blocks are measured against writes of the same size; large blocks against
  // iperf3's default writes, or the writes of the fifth argument.
  const int iperfWrite = block == 0           ? 1514
                         : state.range(4) > 0 ? static_cast<int>(state.range(4))
                                              : 0;
  RunPaired(
      state, [&](std::string* error) { return ComponentSend(piece, readSize, block, error); },
      [&](std::string* error) { return Iperf3Send(iperfWrite, error); });
}
void BM_SocketReceive(benchmark::State& state) {
  const bool drain = state.range(1) != 0;
  RunPaired(
      state, [&](std::string* error) { return ComponentReceive(drain, error); }, &PlainReceive);
}

BENCHMARK(BM_SocketSend)
    ->Name("socket/send_1GiB_vs_iperf3")
    ->ArgNames({"rounds", "piece", "read", "block"})
    ->Args({3, 64 * 1024, kReadSize, 0})
    ->Args({3, 1514, kReadSize, 0})
    ->Args({3, 64 * 1024, 1514, 0})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
// The second row's reference writes as much per call as the component's blocks carry.
BENCHMARK(BM_SocketSend)
    ->Name("socket/send_1GiB_64KiB_blocks_vs_iperf3")
    ->ArgNames({"rounds", "piece", "read", "block", "iperf3_write"})
    ->Args({5, 256 * 1024, 128 * 1024, 64 * 1024, 0})
    ->Args({5, 256 * 1024, 128 * 1024, 64 * 1024, 64 * 1024})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_SocketReceive)
    ->Name("socket/receive_1GiB_vs_plain_recv")
    ->ArgNames({"rounds", "drain"})
    ->Args({5, 0})
    ->Args({5, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vantrel::bench
