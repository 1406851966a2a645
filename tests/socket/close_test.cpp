// Closing while the system still holds unsent bytes: a graceful close delivers them, an abort
// resets; and the waits of flush and close sleep in the loop instead of spinning.
#include <gtest/gtest.h>

#include "SlowReader.h"
#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

using CloseTest = SocketTest;

constexpr std::size_t MiB = 1024 * 1024;

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
