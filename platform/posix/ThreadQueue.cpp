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

namespace vantrel {
namespace {

constexpr std::uint64_t kEventFdId = 1;
constexpr std::uint64_t kTimerFdId = 2;
// A busy queue still looks at the network this often, so posted work cannot starve sockets.
constexpr unsigned kPollEveryTakes = 16;

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

thread_local std::shared_ptr<ThreadQueue> tlsQueue;

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
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kEventFdId;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, eventFd_, &ev);
  ev.data.u64 = kTimerFdId;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, timerFd_, &ev);
}

ThreadQueue::~ThreadQueue() {
  close(timerFd_);
  close(eventFd_);
  close(epollFd_);
}

ThreadQueue& ThreadQueue::Current() {
  return *CurrentShared();
}

std::shared_ptr<ThreadQueue> ThreadQueue::CurrentShared() {
  if (!tlsQueue) {
    tlsQueue.reset(new ThreadQueue());
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

std::shared_ptr<ThreadQueue> ThreadQueue::ForThread(DWORD threadId) {
  std::lock_guard lock(RegistryMutex());
  auto it = Registry().find(threadId);
  return it == Registry().end() ? nullptr : it->second.lock();
}

bool ThreadQueue::IsOwnerThread() const {
  return GetCurrentThreadId() == threadId_;
}

void ThreadQueue::SetExternalWaiter(bool on) {
  std::lock_guard lock(mutex_);
  externalWaiter_ = on;
  if (on && !items_.empty()) Signal();
}

void ThreadQueue::Signal() {
  if (signaled_) return;
  signaled_ = true;
  std::uint64_t one = 1;
  ssize_t r = write(eventFd_, &one, sizeof one);
  (void)r;
}

void ThreadQueue::DrainEventFd() {
  std::lock_guard lock(mutex_);
  std::uint64_t value;
  ssize_t r = read(eventFd_, &value, sizeof value);
  (void)r;
  signaled_ = false;
  // A GUI loop must see the descriptor readable while messages wait.
  if (externalWaiter_ && !items_.empty()) Signal();
}

void ThreadQueue::Post(const MSG& msg, BeforeTake hook) {
  std::lock_guard lock(mutex_);
  items_.push_back(Item{msg, std::move(hook)});
  if (sleeping_ || externalWaiter_) Signal();
}

void ThreadQueue::PostQuit(int exitCode) {
  std::lock_guard lock(mutex_);
  quitPosted_ = true;
  quitCode_ = exitCode;
  if (sleeping_ || externalWaiter_) Signal();
}

bool ThreadQueue::Matches(const MSG& m, HWND filter, UINT filterMin, UINT filterMax) const {
  if (filter != nullptr && m.hwnd != filter) return false;
  if (filterMin == 0 && filterMax == 0) return true;
  return m.message >= filterMin && m.message <= filterMax;
}

bool ThreadQueue::Take(MSG& out, HWND filter, UINT filterMin, UINT filterMax, bool remove) {
  bool polled = false;
  if (++takesSincePoll_ >= kPollEveryTakes) {
    takesSincePoll_ = 0;
    PollIo();
    polled = true;
  }
  for (;;) {
    Item item;
    {
      std::unique_lock lock(mutex_);
      auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& i) {
        return Matches(i.msg, filter, filterMin, filterMax);
      });
      if (it == items_.end()) {
        if (!polled) {
          lock.unlock();
          PollIo();
          polled = true;
          continue;
        }
        // As on Windows, a range filter never holds WM_QUIT back (a window filter does).
        if (quitPosted_ && filter == nullptr) {
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
      item = std::move(*it);
      items_.erase(it);
    }
    if (item.hook && !item.hook(item.msg)) continue;
    out = item.msg;
    return true;
  }
}

void ThreadQueue::Wait() {
  {
    std::lock_guard lock(mutex_);
    if (!items_.empty() || quitPosted_) return;
    sleeping_ = true;
  }
  RunIo(-1);
  std::lock_guard lock(mutex_);
  sleeping_ = false;
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
      DrainEventFd();
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
