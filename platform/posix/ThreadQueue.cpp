#include "ThreadQueue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace vantrel {
namespace {

constexpr std::uint64_t kEventFdId = 1;
constexpr std::uint64_t kTimerFdId = 2;
// A busy queue still looks at the network this often, so posted work cannot starve sockets.
constexpr unsigned kPollEveryTakes = 16;
// How long a thread with nothing to do looks at its inbox before it sleeps.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(10);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}
std::unordered_map<DWORD, std::weak_ptr<ThreadQueue>>& Registry() {
  static std::unordered_map<DWORD, std::weak_ptr<ThreadQueue>> r;
  return r;
}

// Hooks are rare: held apart, they leave a queued message small.
std::unique_ptr<ThreadQueue::BeforeTake> WrapHook(ThreadQueue::BeforeTake hook) {
  return hook ? std::make_unique<ThreadQueue::BeforeTake>(std::move(hook)) : nullptr;
}

thread_local std::shared_ptr<ThreadQueue> tlsQueue;
// Trivially destructible, so it stays readable while the thread's other objects are destroyed;
// windows keep the queue alive, and the queue clears it when it goes on its own thread.
thread_local ThreadQueue* tlsQueueRaw = nullptr;

}  // namespace

DWORD GetCurrentThreadId();

ThreadQueue::ThreadQueue() : threadId_(GetCurrentThreadId()) {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (epollFd_ < 0 || eventFd_ < 0 || timerFd_ < 0) {
    int err = errno;
    if (epollFd_ >= 0) close(epollFd_);
    if (eventFd_ >= 0) close(eventFd_);
    if (timerFd_ >= 0) close(timerFd_);
    throw std::system_error(err, std::generic_category(), "thread message queue");
  }
  // Edge-triggered: every write is reported once, so a wake-up needs no read to clear it (the
  // counter cannot come near its limit at one per wake-up).
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kEventFdId;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, eventFd_, &ev);
  ev.events = EPOLLIN;
  ev.data.u64 = kTimerFdId;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, timerFd_, &ev);
}

ThreadQueue::~ThreadQueue() {
  if (tlsQueueRaw == this) tlsQueueRaw = nullptr;
  close(timerFd_);
  close(eventFd_);
  close(epollFd_);
}

ThreadQueue& ThreadQueue::Current() {
  if (!tlsQueue) CurrentShared();
  return *tlsQueue;
}

std::shared_ptr<ThreadQueue> ThreadQueue::CurrentShared() {
  if (!tlsQueue) {
    tlsQueue.reset(new ThreadQueue());
    tlsQueueRaw = tlsQueue.get();
    std::lock_guard lock(RegistryMutex());
    auto& reg = Registry();
    // Forget queues of threads that have ended.
    for (auto it = reg.begin(); it != reg.end();) {
      it = it->second.expired() ? reg.erase(it) : std::next(it);
    }
    reg[tlsQueue->threadId_] = tlsQueue;
  }
  return tlsQueue;
}

ThreadQueue* ThreadQueue::CurrentIfAny() {
  return tlsQueueRaw;
}

std::shared_ptr<ThreadQueue> ThreadQueue::ForThread(DWORD threadId) {
  std::lock_guard lock(RegistryMutex());
  auto it = Registry().find(threadId);
  return it == Registry().end() ? nullptr : it->second.lock();
}

bool ThreadQueue::IsOwnerThread() const {
  return GetCurrentThreadId() == threadId_;
}

template <class Change>
void ThreadQueue::ChangeThenWake(Change change) {
  bool wake;
  {
    std::lock_guard lock(mutex_);
    wake = change();
  }
  // Written after the unlock: the woken owner takes the mutex at once.
  if (wake) {
    std::uint64_t one = 1;
    ssize_t r = write(eventFd_, &one, sizeof one);
    (void)r;
  }
}

bool ThreadQueue::ClaimWakeUp() {
  if (signaled_) return false;
  signaled_ = true;
  return true;
}

void ThreadQueue::SetExternalWaiter(bool on) {
  ChangeThenWake([&] {
    externalWaiter_ = on;
    return on && (!items_.empty() || !inbox_.empty()) && ClaimWakeUp();
  });
}

void ThreadQueue::TakeWakeUp() {
  ChangeThenWake([&] {
    signaled_ = false;
    // A GUI loop must see the descriptor readable while messages wait.
    return externalWaiter_ && (!items_.empty() || !inbox_.empty()) && ClaimWakeUp();
  });
}

void ThreadQueue::MoveInbox() {
  std::lock_guard lock(mutex_);
  for (auto& item : inbox_) items_.push_back(std::move(item));
  inbox_.clear();
  inboxFilled_.store(false, std::memory_order_relaxed);
}

void ThreadQueue::Post(const MSG& msg, BeforeTake hook) {
  Item item{msg, WrapHook(std::move(hook))};
  if (IsOwnerThread()) {
    if (inboxFilled_.load(std::memory_order_acquire)) MoveInbox();
    items_.push_back(std::move(item));
    if (externalWaiter_.load(std::memory_order_relaxed))
      ChangeThenWake([&] { return ClaimWakeUp(); });
    return;
  }
  ChangeThenWake([&] {
    inbox_.push_back(std::move(item));
    inboxFilled_.store(true, std::memory_order_release);
    return (sleeping_ || externalWaiter_) && ClaimWakeUp();
  });
}

void ThreadQueue::PostQuit(int exitCode) {
  ChangeThenWake([&] {
    quitCode_ = exitCode;
    quitPosted_ = true;
    return (sleeping_ || externalWaiter_) && ClaimWakeUp();
  });
}

bool ThreadQueue::Matches(const MSG& m, HWND filter, UINT filterMin, UINT filterMax) const {
  if (filter != nullptr && m.hwnd != filter) return false;
  if (filterMin == 0 && filterMax == 0) return true;
  return m.message >= filterMin && m.message <= filterMax;
}

bool ThreadQueue::Take(MSG& out, HWND filter, UINT filterMin, UINT filterMax, bool remove,
                       bool pollWhenEmpty) {
  // An empty queue polls unless a wait follows (which polls) or nothing can be ready; a busy
  // one looks every kPollEveryTakes takes.
  const bool nothingToPoll = NothingToPoll();
  bool polled = !pollWhenEmpty || nothingToPoll;
  if (++takesSincePoll_ >= kPollEveryTakes && !nothingToPoll) {
    PollIo();
    polled = true;
  }
  for (;;) {
    if (inboxFilled_.load(std::memory_order_acquire)) MoveInbox();
    auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& i) {
      return Matches(i.msg, filter, filterMin, filterMax);
    });
    if (it == items_.end()) {
      if (!polled) {
        PollIo();
        polled = true;
        continue;
      }
      // As on Windows, a range filter never holds WM_QUIT back (a window filter does).
      if (filter == nullptr && quitPosted_.load(std::memory_order_acquire)) {
        std::lock_guard lock(mutex_);
        out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(quitCode_), 0};
        if (remove) quitPosted_ = false;
        return true;
      }
      return false;
    }
    if (!remove) {
      out = it->msg;
      return true;
    }
    Item item = std::move(*it);
    if (it == items_.begin()) {
      items_.pop_front();
    } else {
      items_.erase(it);
    }
    if (item.hook && !(*item.hook)(item.msg)) continue;
    out = item.msg;
    return true;
  }
}

bool ThreadQueue::SpinForPost() const {
  // On one core the poster cannot run while this thread spins.
  static const bool severalCores = std::thread::hardware_concurrency() > 1;
  if (!severalCores) return false;
  const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
  for (;;) {
    for (int i = 0; i < 32; ++i) {
      if (inboxFilled_.load(std::memory_order_acquire) ||
          quitPosted_.load(std::memory_order_acquire))
        return true;
      CpuRelax();
    }
    if (std::chrono::steady_clock::now() >= until) return false;
  }
}

void ThreadQueue::Wait() {
  // Where other threads post to this one, an answer often comes within microseconds: waiting
  // for it awake spares this thread the sleep and the poster the wake-up. Only after a wake-up
  // that a post brought, so a thread that waits for the network alone never spins; watched
  // descriptors wait that long at most.
  if (spinBeforeSleep_ && SpinForPost()) return;
  {
    std::lock_guard lock(mutex_);
    if (!items_.empty() || !inbox_.empty() || quitPosted_) return;
    sleeping_ = true;
  }
  RunIo(-1);
  std::lock_guard lock(mutex_);
  sleeping_ = false;
  spinBeforeSleep_ = !inbox_.empty();
}

void ThreadQueue::RunIo(int timeoutMs) {
  epoll_event events[64];
  int n;
  do {
    n = epoll_wait(epollFd_, events, 64, timeoutMs);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < n; ++i) {
    std::uint64_t id = events[i].data.u64;
    if (id == kEventFdId) {
      TakeWakeUp();
    } else if (id == kTimerFdId) {
      std::uint64_t expirations;
      ssize_t r = read(timerFd_, &expirations, sizeof expirations);
      (void)r;
      FireDueTimers();
    } else {
      // The watch may have been removed by an earlier handler of this batch.
      auto fdIt = fdByWatchId_.find(id);
      if (fdIt == fdByWatchId_.end()) continue;
      auto wIt = watchByFd_.find(fdIt->second);
      if (wIt == watchByFd_.end()) continue;
      IoHandler handler = wIt->second.handler;  // the handler may remove its own watch
      handler(events[i].events);
    }
  }
  takesSincePoll_ = 0;
}

bool ThreadQueue::NothingToPoll() const {
  // Without watches and timers only the eventfd could be ready, and the inbox flag already says
  // what a wake-up would; an outside loop needs the eventfd consumed, so it always polls.
  return watchByFd_.empty() && timers_.empty() && !externalWaiter_.load(std::memory_order_relaxed);
}

bool ThreadQueue::AddWatch(int fd, std::uint32_t events, IoHandler handler) {
  if (watchByFd_.count(fd)) RemoveWatch(fd);
  std::uint64_t id = nextWatchId_++;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = id;
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  watchByFd_[fd] = Watch{fd, id, std::move(handler)};
  fdByWatchId_[id] = fd;
  return true;
}

bool ThreadQueue::ModifyWatch(int fd, std::uint32_t events) {
  auto it = watchByFd_.find(fd);
  if (it == watchByFd_.end()) return false;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = it->second.id;
  return epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void ThreadQueue::RemoveWatch(int fd) {
  auto it = watchByFd_.find(fd);
  if (it == watchByFd_.end()) return;
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  fdByWatchId_.erase(it->second.id);
  watchByFd_.erase(it);
}

void ThreadQueue::SetTimer(HWND hwnd, UINT_PTR id, UINT periodMs) {
  KillTimer(hwnd, id);
  if (periodMs == 0) periodMs = 1;
  timers_.push_back(Timer{hwnd, id, periodMs, NowMs() + periodMs});
  ArmTimerFd();
}

bool ThreadQueue::KillTimer(HWND hwnd, UINT_PTR id) {
  auto it = std::find_if(timers_.begin(), timers_.end(),
                         [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == timers_.end()) return false;
  timers_.erase(it);
  ArmTimerFd();
  return true;
}

void ThreadQueue::KillTimers(HWND hwnd) {
  std::erase_if(timers_, [&](const Timer& t) { return t.hwnd == hwnd; });
  ArmTimerFd();
}

void ThreadQueue::FireDueTimers() {
  std::int64_t now = NowMs();
  for (auto& t : timers_) {
    if (t.dueMs <= now) {
      Post(MSG{t.hwnd, WM_TIMER, t.id, 0});
      t.dueMs = now + t.periodMs;
    }
  }
  ArmTimerFd();
}

void ThreadQueue::ArmTimerFd() {
  itimerspec when{};
  if (!timers_.empty()) {
    std::int64_t due = timers_.front().dueMs;
    for (const auto& t : timers_) due = std::min(due, t.dueMs);
    std::int64_t delay = std::max<std::int64_t>(due - NowMs(), 1);
    when.it_value.tv_sec = delay / 1000;
    when.it_value.tv_nsec = (delay % 1000) * 1000000;
  }
  timerfd_settime(timerFd_, 0, &when, nullptr);
}

}  // namespace vantrel
