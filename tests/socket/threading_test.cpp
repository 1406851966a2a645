// A component created and used on a worker thread with MultiThreaded set: its events run there,
// and its waits pump that thread's own queue, not the application's.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "ScriptedPeer.h"
#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

using ThreadingTest = SocketTest;

struct WorkerReport {
  std::string Error;  // empty when all went well
  std::string Received;
  bool EventsOnWorker = true;
  bool QuitSeen = false;
  int PumpRounds = 0;
};

// Runs on the worker: connect, send a large block with FlushSendQueue, read the answer, wait for
// the peer's close with WaitUntilClosed, then take a quit message from the thread's own queue.
WorkerReport RunOnWorker(std::uint16_t Port, const std::string& Payload) {
  WorkerReport Report;
  const DWORD Worker = GetCurrentThreadId();
  TProbeSocket Socket(nullptr);
  Socket.SetMultiThreaded(true);
  bool Connected = false;
  auto OnThisThread = [&] { Report.EventsOnWorker &= GetCurrentThreadId() == Worker; };
  Socket.OnSessionConnected = [&](TObject*, std::uint16_t Error) {
    OnThisThread();
    Connected = Error == 0;
  };
  Socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
    OnThisThread();
    Report.Received += Socket.ReadText();
  };
  Socket.OnSessionClosed = [&](TObject*, std::uint16_t) { OnThisThread(); };
  Aim(Socket, Port);
  Socket.Connect();
  if (!PumpUntil([&] { return Connected; }, 5000)) {
    Report.Error = "no connection";
    return Report;
  }
  Socket.Send(Payload.data(), static_cast<std::int32_t>(Payload.size()));
  Socket.FlushSendQueue();  // the peer pauses first: this has to wait in the worker's loop
  if (!Socket.IsAllSent()) Report.Error = "flush returned with bytes queued";
  Socket.WaitUntilClosed();
  if (Socket.State() != wsClosed) Report.Error = "WaitUntilClosed returned while open";

  PostThreadMessage(Worker, WM_QUIT, 0, 0);
  Socket.RunPendingMessages();
  Report.QuitSeen = Socket.QuitReceived();
  Report.PumpRounds = Socket.PumpRounds;
  return Report;
}

TEST_F(ThreadingTest, AWorkerThreadPumpsItsOwnQueue) {
  const std::string Payload = Pattern(8 * 1024 * 1024);
  ScriptedPeer::Options Small;
  Small.receiveBuffer = 65536;
  ScriptedPeer Peer({step::Accept(), step::StopReading(300), step::Expect(Payload.size()),
                     step::Send("done"), step::Close()},
                    Small);
  std::packaged_task<WorkerReport()> Task([&] { return RunOnWorker(Peer.Port(), Payload); });
  auto Result = Task.get_future();
  std::thread Worker(std::move(Task));
  // The main thread pumps nothing meanwhile: the worker must not depend on it.
  const bool Finished = Result.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  Worker.join();
  ASSERT_TRUE(Finished);
  const WorkerReport Report = Result.get();
  EXPECT_EQ(Report.Error, "");
  EXPECT_EQ(Report.Received, "done");
  EXPECT_TRUE(Report.EventsOnWorker) << "events must run on the component's own thread";
  EXPECT_TRUE(Report.QuitSeen) << "the component's own loop records a quit message";
  EXPECT_LT(Report.PumpRounds, 5000) << "waits that spin pump without end";
  ASSERT_TRUE(Peer.Join(5000));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  EXPECT_TRUE(Peer.Received() == Payload);
}

}  // namespace
}  // namespace vantrel::test
