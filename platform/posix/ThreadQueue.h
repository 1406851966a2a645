// This is an internal header of the platform layer (also used by the Qt application object).
// The message queue of one thread: posted messages, an epoll instance for socket readiness,
// timers, and an eventfd that wakes the owner when another thread posts.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "WinTypes.h"

namespace vantrel {

struct WindowRecord;  // the window layer's record of a window

class ThreadQueue {
 public:
  // Runs on the owning thread when the message is taken out of the queue; returning false drops
  // the message. Used to write a lookup result into component memory on its own thread only.
  using BeforeTake = std::function<bool(MSG&)>;
  // Called on the owning thread with the epoll events of a watched descriptor.
  using IoHandler = std::function<void(std::uint32_t events)>;

  // The calling thread's queue, created on first use. The thread_local reference keeps it alive
  // for the thread's lifetime; windows and sockets keep a shared reference of their own.
  static ThreadQueue& Current();
  static std::shared_ptr<ThreadQueue> CurrentShared();
  // The calling thread's queue if it has one (still answers while the thread ends), or null.
  static ThreadQueue* CurrentIfAny();
  // The queue of a thread that has one, or null.
  static std::shared_ptr<ThreadQueue> ForThread(DWORD threadId);

  ~ThreadQueue();
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  DWORD ThreadId() const { return threadId_; }
  bool IsOwnerThread() const;
  // Readable whenever something may need processing (for a GUI loop to watch).
  int EpollFd() const { return epollFd_; }
  // With an external waiter (a GUI loop polling EpollFd), every post that makes the queue
  // non-empty signals the eventfd, not only posts that find the owner blocked in Wait.
  void SetExternalWaiter(bool on);

  // Any thread.
  void Post(const MSG& msg, BeforeTake hook = {});
  void PostQuit(int exitCode);

  // Owning thread only. Takes or looks at the first message matching the filter; polls
  // readiness and timers first when nothing is queued, unless the caller is about to Wait,
  // which polls anyway. False when none.
  bool Take(MSG& out, HWND filter, UINT filterMin, UINT filterMax, bool remove,
            bool pollWhenEmpty = true);
  // Blocks until a message may be available (spurious returns allowed).
  void Wait();
  // Runs ready descriptor handlers and due timers without blocking.
  void PollIo() { RunIo(0); }

  // Descriptor watches (owning thread only). Level-triggered epoll interest.
  bool AddWatch(int fd, std::uint32_t events, IoHandler handler);
  bool ModifyWatch(int fd, std::uint32_t events);
  void RemoveWatch(int fd);
  std::size_t WatchCount() const { return watchByFd_.size(); }

  // The windows this thread owns, listed by the window layer so that the paths a message takes
  // on its own thread find them without the process table's lock (owning thread only).
  std::unordered_map<std::uintptr_t, WindowRecord*>& OwnWindows() { return ownWindows_; }

  // Timers (owning thread only); WM_TIMER is posted to hwnd every periodMs.
  void SetTimer(HWND hwnd, UINT_PTR id, UINT periodMs);
  bool KillTimer(HWND hwnd, UINT_PTR id);
  void KillTimers(HWND hwnd);

 private:
  ThreadQueue();
  struct Item {
    MSG msg;
    std::unique_ptr<BeforeTake> hook;
  };
  struct Watch {
    int fd;
    std::uint64_t id;
    IoHandler handler;
  };
  struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT periodMs;
    std::int64_t dueMs;
  };

  void RunIo(int timeoutMs);
  // Looks at the inbox for a few microseconds; true when a post (or a quit) arrived meanwhile.
  bool SpinForPost() const;
  // No descriptor is watched, no timer is set and no outside loop waits: a poll would find
  // nothing that a take does not see by itself.
  bool NothingToPoll() const;
  // Runs change under mutex_ and writes the eventfd, after unlocking, when it returns true.
  template <class Change>
  void ChangeThenWake(Change change);
  // Under mutex_: whether the caller is the one to write the eventfd; one write stands until
  // the owner takes the wake-up.
  bool ClaimWakeUp();
  // Appends the messages other threads posted to the owner's queue (owning thread only).
  void MoveInbox();
  void TakeWakeUp();
  void FireDueTimers();
  void ArmTimerFd();
  bool Matches(const MSG& m, HWND filter, UINT filterMin, UINT filterMax) const;

  DWORD threadId_;
  int epollFd_ = -1;
  int eventFd_ = -1;
  int timerFd_ = -1;

  // Posts of other threads land in the inbox, under the mutex; the owner's own posts and the
  // messages it has moved over from the inbox wait in items_, which only the owner touches, so
  // posting to and taking from one's own queue takes no lock. A post of the owner first moves
  // the inbox over, so that a message posted elsewhere before it is not overtaken.
  std::mutex mutex_;  // guards inbox_, quitCode_, sleeping_, signaled_
  std::deque<Item> inbox_;
  std::atomic<bool> inboxFilled_{false};
  std::atomic<bool> quitPosted_{false};
  int quitCode_ = 0;
  bool sleeping_ = false;
  bool signaled_ = false;
  std::atomic<bool> externalWaiter_{false};

  // Owning thread only.
  std::deque<Item> items_;
  std::unordered_map<int, Watch> watchByFd_;
  std::unordered_map<std::uint64_t, int> fdByWatchId_;
  std::uint64_t nextWatchId_ = 16;
  std::vector<Timer> timers_;
  std::unordered_map<std::uintptr_t, WindowRecord*> ownWindows_;
  unsigned takesSincePoll_ = 0;
  bool spinBeforeSleep_ = false;  // the last sleep ended with a post of another thread
};

}  // namespace vantrel
