// This is a public header file.
// TMessagePump: the loop a component runs while one of its operations waits. By default that is
// the application's (every message of the main thread, and the toolkit's in a GUI program); with
// MultiThreaded it is the calling thread's own queue, taken and dispatched here, so a component
// created on a worker thread can wait without the application object.
//
//   while (!Done) {
//     Pump.RunPending();
//     if (!Done) Pump.Wait();
//   }
//
// Thread rule: use it on the thread whose messages it runs.
#pragma once

namespace vantrel {

class TMessagePump {
 public:
  bool MultiThreaded() const { return multiThreaded_; }
  void SetMultiThreaded(bool Value) { multiThreaded_ = Value; }

  // Runs every message waiting now, including those posted while it runs. On the thread's own
  // queue a quit message is not dispatched but recorded (QuitReceived); the application's pump
  // marks the application terminated instead.
  void RunPending();
  // Blocks until a message may be waiting for RunPending (spurious returns are allowed).
  void Wait();
  // Takes and dispatches the next message of the thread's own queue; false when none waits.
  bool TakeOne();

  // Whether this pump took a quit message off the thread's own queue.
  bool QuitReceived() const { return quitReceived_; }
  // A wait should give up: the application is terminating or this pump took a quit message.
  bool Abandoned() const;

 private:
  bool multiThreaded_ = false;
  bool quitReceived_ = false;
};

}  // namespace vantrel
