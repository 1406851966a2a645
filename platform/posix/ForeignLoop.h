// This is a public header file.
// Joining the calling thread's message loop with an event loop it does not own, both ways:
//
// - TForeignLoopLink lets another loop (a GUI toolkit's) drive this thread's messages: it watches
//   Descriptor() for reading and, when it is readable, runs what is ready with
//   TApplication::ProcessMessages (the base class's when the application object is the other
//   loop's own subclass). Descriptor() stays readable until the waiting messages have been taken.
// - TDescriptorWatch lets this thread's loop watch a descriptor of another kind (a signalfd, a
//   pipe) and call a handler while it is readable.
//
// Thread rule: create, use and destroy either on the thread whose loop it joins.
#pragma once

#include <functional>
#include <memory>

namespace vantrel {

class ThreadQueue;

class TForeignLoopLink {
 public:
  // From now on every post that makes the queue non-empty makes Descriptor() readable, not only
  // posts that find the thread blocked in its own wait.
  TForeignLoopLink();
  ~TForeignLoopLink();
  TForeignLoopLink(const TForeignLoopLink&) = delete;
  TForeignLoopLink& operator=(const TForeignLoopLink&) = delete;

  int Descriptor() const;

 private:
  std::shared_ptr<ThreadQueue> queue_;
};

class TDescriptorWatch {
 public:
  // Calls OnReadable from the loop whenever Fd is readable (level-triggered: the handler must
  // read what is there). The descriptor stays the caller's; it must outlive the watch.
  TDescriptorWatch(int Fd, std::function<void()> OnReadable);
  ~TDescriptorWatch();
  TDescriptorWatch(const TDescriptorWatch&) = delete;
  TDescriptorWatch& operator=(const TDescriptorWatch&) = delete;

  // False when the loop refused the descriptor (then OnReadable is never called).
  bool Active() const { return active_; }

 private:
  std::shared_ptr<ThreadQueue> queue_;
  int fd_;
  bool active_;
};

}  // namespace vantrel
