#include "Pump.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Mutex.h"
#include "WinMessages.h"

namespace vantrel::test {
namespace {

constexpr auto kTick = std::chrono::milliseconds(10);
// A thread message number of the application range that no component uses, so that leftover
// ticks can be removed by filter.
constexpr UINT kTickMessage = 0xBFF7;

// Posts kTickMessage to a thread's queue every tick, so that its WaitMessage returns at least that
// often. A thread rather than a timer: a timer needs a window, and a window of the pump's own
// would show in LiveWindowCount() while tests wait for that very count. Owned by the pumping
// thread, which it leaves with no tick in its queue.
class Ticker {
 public:
  explicit Ticker(DWORD threadId)
      : thread_([this, threadId] {
          Lock lock(mutex_);
          while (!stopCv_.wait_for(lock, kTick, [this] { return stop_; })) {
            PostThreadMessage(threadId, kTickMessage, 0, 0);
          }
        }) {}
  ~Ticker() {
    {
      Lock lock(mutex_);
      stop_ = true;
    }
    stopCv_.notify_one();
    thread_.join();
    MSG msg;
    while (PeekMessage(&msg, nullptr, kTickMessage, kTickMessage, PM_REMOVE)) {
      // A range filter does not hold WM_QUIT back: put it back for the real loop.
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        break;
      }
    }
  }
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  Mutex mutex_;
  std::condition_variable stopCv_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the members it uses exist
};

std::chrono::steady_clock::time_point Deadline(int timeoutMs) {
  return std::chrono::steady_clock::now() +
         std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
}

}  // namespace

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = Deadline(timeoutMs);
  std::unique_ptr<Ticker> ticker;  // started only when the pump has to wait
  for (;;) {
    MSG msg;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return done();
      }
      TranslateMessage(&msg);
      DispatchMessage(&msg);
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
    }
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (!ticker) ticker = std::make_unique<Ticker>(GetCurrentThreadId());
    WaitMessage();
  }
}

void PumpFor(int ms) {
  auto deadline = Deadline(ms);
  PumpUntil([&] { return std::chrono::steady_clock::now() >= deadline; }, ms + 1000);
}

}  // namespace vantrel::test
