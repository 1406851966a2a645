// Closing while the system still holds unsent bytes: a graceful close delivers them, an abort
// resets; and the waits of flush and close sleep in the loop instead of spinning.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "ScopedFd.h"
#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

using CloseTest = SocketTest;

constexpr std::size_t MiB = 1024 * 1024;

// A peer on a thread that reads slowly (a small receive buffer, a pause first, a nap after every
// read), checks every byte against Pattern(), and notes how the stream ended.
class SlowReader {
 public:
  SlowReader(int PauseMs, int NapMicroseconds) : PauseMs_(PauseMs), NapUs_(NapMicroseconds) {
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
  ~SlowReader() {
    Stop_ = true;
    if (Thread_.joinable()) Thread_.join();
  }

  std::uint16_t Port() const { return Port_; }
  std::size_t Total() const { return Total_; }
  // Waits for the end of the stream; then the results below are final.
  bool Join(int TimeoutMs) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Finished_ && std::chrono::steady_clock::now() < Deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!Finished_) return false;
    Thread_.join();
    return true;
  }
  bool EndedCleanly() const { return EndedCleanly_; }
  bool WasReset() const { return WasReset_; }
  bool PatternOk() const { return PatternOk_; }
  const std::string& Error() const { return Error_; }

 private:
  bool WaitReadable(int Fd, int Ms) {
    pollfd P{Fd, POLLIN, 0};
    for (int Waited = 0; Waited < Ms && !Stop_; Waited += 50) {
      if (::poll(&P, 1, 50) > 0) return true;
    }
    return false;
  }
  void Run() {
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

  int PauseMs_;
  int NapUs_;
  ScopedFd Listener_;
  std::uint16_t Port_ = 0;
  std::thread Thread_;
  std::atomic<bool> Stop_{false};
  std::atomic<bool> Finished_{false};
  std::atomic<std::size_t> Total_{0};
  bool EndedCleanly_ = false;
  bool WasReset_ = false;
  bool PatternOk_ = true;
  std::string Error_;
};

struct CloseOutcome {
  std::size_t ReadBeforeClose = 0;  // what the peer had read when the close was called
  int PumpRoundsInClose = 0;
};

// Connects to the reader, sends Size bytes, and calls Close as soon as OnDataSent says that all
// of them are with the system.
CloseOutcome SendThenClose(TProbeSocket& Socket, SlowReader& Reader, std::size_t Size,
                           const std::function<void()>& Close) {
  const std::string Data = Pattern(Size);
  CloseOutcome Outcome;
  bool Closed = false;
  Socket.OnSessionConnected = [&](TObject*, std::uint16_t Error) {
    if (Error == 0) Socket.Send(Data.data(), static_cast<std::int32_t>(Data.size()));
  };
  Socket.OnDataSent = [&](TObject*, std::uint16_t) {
    if (Closed) return;
    Closed = true;
    Outcome.ReadBeforeClose = Reader.Total();
    const int Before = Socket.PumpRounds;
    Close();
    Outcome.PumpRoundsInClose = Socket.PumpRounds - Before;
  };
  Aim(Socket, Reader.Port());
  Socket.Connect();
  EXPECT_TRUE(PumpUntil([&] { return Closed; }, 60000));
  EXPECT_EQ(Socket.State(), wsClosed);
  return Outcome;
}

TEST_F(CloseTest, GracefulCloseDeliversEveryByteThenTheEndOfTheStream) {
  SlowReader Reader(200, 300);
  ASSERT_NE(Reader.Port(), 0) << Reader.Error();
  TProbeSocket Socket(nullptr);
  const auto Outcome = SendThenClose(Socket, Reader, 64 * MiB, [&] { Socket.CloseSession(); });
  ASSERT_TRUE(Reader.Join(60000));
  EXPECT_EQ(Reader.Error(), "");
  EXPECT_EQ(Reader.Total(), 64 * MiB);
  EXPECT_TRUE(Reader.PatternOk());
  EXPECT_TRUE(Reader.EndedCleanly());
  EXPECT_FALSE(Reader.WasReset());
  EXPECT_LT(Outcome.ReadBeforeClose, 64 * MiB) << "bytes should still have been on their way";
  RecordProperty("InFlightAtCloseBytes", std::to_string(64 * MiB - Outcome.ReadBeforeClose));
  std::printf(
      "graceful: %zu bytes were still on their way when CloseSession ran; the peer read "
      "%zu bytes, then %s\n",
      64 * MiB - Outcome.ReadBeforeClose, Reader.Total(),
      Reader.EndedCleanly() ? "the end of the stream" : "no clean end");
}

TEST_F(CloseTest, AbortResetsAndDropsWhatTheSystemHasNotSent) {
  SlowReader Reader(200, 300);
  ASSERT_NE(Reader.Port(), 0) << Reader.Error();
  TProbeSocket Socket(nullptr);
  const auto Outcome = SendThenClose(Socket, Reader, 16 * MiB, [&] { Socket.AbortSession(); });
  ASSERT_TRUE(Reader.Join(60000));
  EXPECT_TRUE(Reader.WasReset()) << Reader.Error();
  EXPECT_FALSE(Reader.EndedCleanly());
  EXPECT_LT(Reader.Total(), 16 * MiB);
  EXPECT_TRUE(Reader.PatternOk());
  std::printf("abort: the peer read %zu of %zu bytes (%zu when AbortSession ran), then a reset\n",
              Reader.Total(), 16 * MiB, Outcome.ReadBeforeClose);
}

TEST_F(CloseTest, CloseRetrySleepsUntilTheLingerCloseCanGoAhead) {
  // Linger on with a timeout: the close answers "would block" until the system has sent
  // everything, and the component retries without spinning.
  SlowReader Reader(200, 1000);
  ASSERT_NE(Reader.Port(), 0) << Reader.Error();
  TProbeSocket Socket(nullptr);
  Socket.SetLingerTimeout(30);
  const auto Outcome = SendThenClose(Socket, Reader, 8 * MiB, [&] { Socket.CloseSession(); });
  ASSERT_TRUE(Reader.Join(60000));
  EXPECT_EQ(Reader.Total(), 8 * MiB);
  EXPECT_TRUE(Reader.EndedCleanly());
  EXPECT_TRUE(Reader.PatternOk());
  EXPECT_GE(Outcome.PumpRoundsInClose, 2) << "the close should have had to wait";
  EXPECT_LT(Outcome.PumpRoundsInClose, 500) << "a close retry that spins pumps without end";
  EXPECT_EQ(Socket.LingerTimeout(), 0) << "the close restores the default";
  RecordProperty("PumpRoundsInClose", Outcome.PumpRoundsInClose);
}

TEST_F(CloseTest, FlushSendQueueSleepsWhileTheSystemTakesNothing) {
  SlowReader Reader(300, 200);
  ASSERT_NE(Reader.Port(), 0) << Reader.Error();
  TProbeSocket Socket(nullptr);
  EventLog Log(Socket);
  Aim(Socket, Reader.Port());
  Socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Has("DataSent(0)"); }, 5000));
  const std::string Data = Pattern(12 * MiB);
  Socket.Send(Data.data(), static_cast<std::int32_t>(Data.size()));
  ASSERT_FALSE(Socket.IsAllSent());
  const int Before = Socket.PumpRounds;
  Socket.FlushSendQueue();
  const int Rounds = Socket.PumpRounds - Before;
  EXPECT_TRUE(Socket.IsAllSent());
  EXPECT_LT(Rounds, 5000) << "a flush that spins pumps without end";
  RecordProperty("PumpRoundsInFlush", Rounds);
  Socket.CloseSession();
  ASSERT_TRUE(Reader.Join(60000));
  EXPECT_EQ(Reader.Total(), Data.size());
  EXPECT_TRUE(Reader.EndedCleanly());
}

}  // namespace
}  // namespace vantrel::test
