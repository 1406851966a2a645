// Message throughput of the platform queue: posted and dispatched on one thread (per message,
// against a locked deque at the same batch size), and posted from another thread and dispatched
// on the owner.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "WinMessages.h"

namespace vantrel {
namespace {

constexpr char kClassName[] = "VantrelBenchWindow";

LRESULT CountingProc(HWND hwnd, UINT message, WPARAM, LPARAM) {
  auto* count = reinterpret_cast<std::int64_t*>(GetWindowLongPtr(hwnd, 0));
  if (count && message == WM_USER) ++*count;
  return 0;
}

// A hidden window of the calling thread whose procedure counts WM_USER messages.
class CountingWindow {
 public:
  CountingWindow() {
    static const bool registered = [] {
      WNDCLASS wc;
      wc.lpfnWndProc = CountingProc;
      wc.cbWndExtra = sizeof(LONG_PTR);
      wc.lpszClassName = kClassName;
      return RegisterClass(&wc) != 0;
    }();
    (void)registered;
    hwnd_ = CreateWindowEx(0, kClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           ProgramInstance(), nullptr);
    SetWindowLongPtr(hwnd_, 0, reinterpret_cast<LONG_PTR>(&count_));
  }
  ~CountingWindow() { DestroyWindow(hwnd_); }
  CountingWindow(const CountingWindow&) = delete;
  CountingWindow& operator=(const CountingWindow&) = delete;

  HWND Handle() const { return hwnd_; }
  std::int64_t Count() const { return count_; }

 private:
  HWND hwnd_ = nullptr;
  std::int64_t count_ = 0;
};

void DispatchWaiting() {
  MSG msg;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessage(&msg);
  }
}

// Nanoseconds per message of the same rounds through a mutex-guarded deque and a std::function:
// the least any queue costs.
double LockedDequeNanoseconds(std::int64_t batch) {
  std::mutex m;
  std::deque<MSG> q;
  std::function<void(const MSG&)> handler = [](const MSG& x) { benchmark::DoNotOptimize(x); };
  const std::int64_t rounds = std::max<std::int64_t>(1, 200000 / batch);
  const auto start = std::chrono::steady_clock::now();
  for (std::int64_t r = 0; r < rounds; ++r) {
    for (std::int64_t i = 0; i < batch; ++i) {
      std::lock_guard lock(m);
      q.push_back(MSG{nullptr, WM_USER, static_cast<WPARAM>(i), 0});
    }
    for (;;) {
      MSG x;
      {
        std::lock_guard lock(m);
        if (q.empty()) break;
        x = q.front();
        q.pop_front();
      }
      handler(x);
    }
  }
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  return took.count() / static_cast<double>(rounds * batch);
}

// Post a batch to a window of this thread, then dispatch it. The figure is nanoseconds per
// message, against the locked deque at the same batch size.
void BM_PostAndDispatchOneThread(benchmark::State& state) {
  const auto batch = state.range(0);
  CountingWindow window;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (std::int64_t i = 0; i < batch; ++i) PostMessage(window.Handle(), WM_USER, i, 0);
    DispatchWaiting();
  }
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  if (window.Count() != batch * static_cast<std::int64_t>(state.iterations())) {
    state.SkipWithError("messages were lost");
  }
  state.SetItemsProcessed(window.Count());
  if (window.Count() > 0) {
    state.counters["figure"] = took.count() / static_cast<double>(window.Count());
    state.counters["reference"] = LockedDequeNanoseconds(batch);
    state.SetLabel("ns/msg");
  }
}
BENCHMARK(BM_PostAndDispatchOneThread)->Arg(1)->Arg(64)->Arg(1024);

// Another thread posts each batch while the owner waits for and dispatches it.
void BM_PostFromAnotherThread(benchmark::State& state) {
  const auto batch = state.range(0);
  CountingWindow window;
  std::mutex mutex;
  std::condition_variable wake;
  std::int64_t requested = 0;
  bool stop = false;
  std::thread poster([&] {
    std::int64_t done = 0;
    for (;;) {
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return stop || requested > done; });
        if (stop) return;
      }
      for (std::int64_t i = 0; i < batch; ++i) PostMessage(window.Handle(), WM_USER, i, 0);
      ++done;
    }
  });

  std::int64_t target = 0;
  for (auto _ : state) {
    target += batch;
    {
      std::lock_guard lock(mutex);
      ++requested;
    }
    wake.notify_one();
    while (window.Count() < target) {
      DispatchWaiting();
      if (window.Count() < target) WaitMessage();
    }
  }
  {
    std::lock_guard lock(mutex);
    stop = true;
  }
  wake.notify_one();
  poster.join();
  state.SetItemsProcessed(window.Count());
}
BENCHMARK(BM_PostFromAnotherThread)->Arg(64)->Arg(1024)->UseRealTime();

}  // namespace
}  // namespace vantrel

BENCHMARK_MAIN();
