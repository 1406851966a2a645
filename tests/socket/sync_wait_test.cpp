// Synchronous waiting: waits that end on a flag set by a handler, on the application's
// termination and on a quit message taken by a worker thread's own loop; and a wait that sleeps
// while nothing happens instead of polling.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "Application.h"
#include "Mutex.h"
#include "ScriptedPeer.h"
#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

constexpr int kWaitMs = 5000;

// Posts WM_QUIT to a thread after a delay unless destroyed first: ends a wait that has no time
// limit of its own (which then reports SyncWaitAbandoned).
class QuitLater {
 public:
  QuitLater(DWORD Thread, int Ms)
      : Thread_([this, Thread, Ms] {
          Lock Guard(Mutex_);
          if (Cv_.wait_for(Guard, std::chrono::milliseconds(Ms), [this] { return Cancel_; }))
            return;
          Fired_ = true;
          PostThreadMessage(Thread, WM_QUIT, 0, 0);
        }) {}
  ~QuitLater() {
    {
      Lock Guard(Mutex_);
      Cancel_ = true;
    }
    Cv_.notify_one();
    Thread_.join();
  }
  QuitLater(const QuitLater&) = delete;
  QuitLater& operator=(const QuitLater&) = delete;
  bool Fired() {
    Lock Guard(Mutex_);
    return Fired_;
  }

 private:
  Mutex Mutex_;
  std::condition_variable Cv_;
  bool Cancel_ = false;
  bool Fired_ = false;
  std::thread Thread_;  // last: starts once the members it uses exist
};

class SyncWaitTest : public SocketTest {
 protected:
  void TearDown() override {
    // A quit left for this thread and the terminated mark must not reach the next test.
    MSG Msg;
    while (PeekMessage(&Msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    Application().SetTerminated(false);
    SocketTest::TearDown();
  }
};

TEST_F(SyncWaitTest, RunAndWaitConnectsAndExchangesALineWithoutPolling) {
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly("ping\r\n"), step::Pause(400),
                     step::Send("pong\r\n"), step::WaitForPeerClose()});
  QuitLater Bound(GetCurrentThreadId(), kWaitMs);
  TProbeSocket S(nullptr);
  bool Connected = true;  // RunAndWait clears it first
  bool Replied = false;
  std::string Reply;
  S.SetLineMode(true);
  S.OnSessionConnected = [&](TObject*, std::uint16_t Error) { Connected = Error == 0; };
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    Reply = S.ReadText();
    Replied = true;
  };
  Aim(S, Peer.Port());
  EXPECT_EQ(S.RunAndWait([&] { S.Connect(); }, Connected), SyncWaitDone);
  EXPECT_EQ(S.State(), wsConnected);

  const int Rounds = S.PumpRounds;
  EXPECT_EQ(S.RunAndWait([&] { S.SendText("ping\r\n"); }, Replied), SyncWaitDone);
  EXPECT_EQ(Reply, "pong\r\n");
  // The peer took 400 ms to answer: a wait that polled would have run thousands of rounds.
  EXPECT_LT(S.PumpRounds - Rounds, 50);
  EXPECT_FALSE(Bound.Fired());
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SyncWaitTest, AFlagAlreadySetReturnsWithoutDispatching) {
  constexpr UINT Probe = 0xBF00;
  TProbeSocket S(nullptr);
  PostThreadMessage(GetCurrentThreadId(), Probe, 0, 0);
  bool Done = true;
  EXPECT_EQ(S.WaitForFlag(Done), SyncWaitDone);
  EXPECT_EQ(S.PumpRounds, 0);
  MSG Msg;
  EXPECT_TRUE(PeekMessage(&Msg, nullptr, Probe, Probe, PM_REMOVE)) << "the message was dispatched";
}

TEST_F(SyncWaitTest, WaitsEndWhenTheApplicationTerminates) {
  TProbeSocket S(nullptr);
  bool Never = false;
  {
    // A quit message for the main thread: the application's loop marks it terminated.
    QuitLater Quit(GetCurrentThreadId(), 100);
    EXPECT_EQ(S.RunAndWait(nullptr, Never), SyncWaitAbandoned);
    EXPECT_TRUE(Quit.Fired());
    EXPECT_TRUE(Application().Terminated());
  }

  // Once terminated, every wait returns at once.
  const int Rounds = S.PumpRounds;
  EXPECT_EQ(S.WaitForFlag(Never), SyncWaitAbandoned);
  EXPECT_EQ(S.PumpRounds, Rounds);
  Application().SetTerminated(false);

  // A handler that asks the application to terminate while a wait runs.
  ScriptedPeer Peer({step::Accept(), step::WaitForPeerClose()});
  QuitLater Bound(GetCurrentThreadId(), kWaitMs);
  S.OnSessionConnected = [](TObject*, std::uint16_t) { Application().Terminate(); };
  Aim(S, Peer.Port());
  EXPECT_EQ(S.RunAndWait([&] { S.Connect(); }, Never), SyncWaitAbandoned);
  EXPECT_EQ(S.State(), wsConnected);
  EXPECT_FALSE(Bound.Fired());
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
}

struct WorkerReport {
  std::int32_t Connect = -1;
  std::int32_t Wait = -1;
  std::int32_t SecondWait = -1;
  bool EventsOnWorker = false;
  bool QuitSeen = false;
  bool SecondWaitDispatched = true;
  bool ApplicationTerminated = true;
};

// On a worker thread with MultiThreaded: a connect that ends on its flag, then a wait that ends
// when the main thread posts a quit message to the worker.
WorkerReport RunOnWorker(std::uint16_t Port, std::promise<DWORD>& Started,
                         std::promise<void>& Waiting) {
  WorkerReport Report;
  const DWORD Worker = GetCurrentThreadId();
  TProbeSocket S(nullptr);  // the worker's queue exists from here on
  Started.set_value(Worker);
  S.SetMultiThreaded(true);
  bool Connected = false;
  S.OnSessionConnected = [&](TObject*, std::uint16_t Error) {
    Report.EventsOnWorker = GetCurrentThreadId() == Worker;
    Connected = Error == 0;
  };
  Aim(S, Port);
  Report.Connect = S.RunAndWait([&] { S.Connect(); }, Connected);
  Waiting.set_value();
  bool Never = false;
  Report.Wait = S.WaitForFlag(Never);
  Report.QuitSeen = S.QuitReceived();
  const int Rounds = S.PumpRounds;
  Report.SecondWait = S.WaitForFlag(Never);
  Report.SecondWaitDispatched = S.PumpRounds != Rounds;
  Report.ApplicationTerminated = Application().Terminated();
  S.CloseSession();
  return Report;
}

TEST_F(SyncWaitTest, AWorkerWaitEndsOnAQuitMessageOfItsOwnQueue) {
  ScriptedPeer Peer({step::Accept(), step::WaitForPeerClose()});
  std::promise<DWORD> Started;
  std::promise<void> Waiting;
  auto WorkerId = Started.get_future();
  auto WorkerWaiting = Waiting.get_future();
  std::packaged_task<WorkerReport()> Task(
      [&] { return RunOnWorker(Peer.Port(), Started, Waiting); });
  auto Result = Task.get_future();
  std::thread Worker(std::move(Task));
  // The main thread pumps nothing meanwhile: the worker's loop must not depend on it. The quit
  // is posted in any case, so that the worker ends even when its connect wait does not.
  const DWORD WorkerThread = WorkerId.get();  // set as soon as the worker has started
  const bool Connected =
      WorkerWaiting.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  PostThreadMessage(WorkerThread, WM_QUIT, 0, 0);
  const bool Finished = Result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  Worker.join();
  ASSERT_TRUE(Connected && Finished);
  const WorkerReport Report = Result.get();
  EXPECT_EQ(Report.Connect, SyncWaitDone);
  EXPECT_TRUE(Report.EventsOnWorker);
  EXPECT_EQ(Report.Wait, SyncWaitAbandoned);
  EXPECT_TRUE(Report.QuitSeen);
  EXPECT_EQ(Report.SecondWait, SyncWaitAbandoned);
  EXPECT_FALSE(Report.SecondWaitDispatched) << "a quit already taken ends the wait at once";
  EXPECT_FALSE(Report.ApplicationTerminated) << "the worker's quit is not the application's";
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

}  // namespace
}  // namespace vantrel::test
