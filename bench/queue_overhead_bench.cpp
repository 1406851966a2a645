// What the platform queue adds to the mechanism underneath it, per message: posting to a window
// of the same thread and dispatching it, against a locked deque and a function call; and a
// ping-pong between two threads, against an eventfd ping-pong. The bare figure is the "reference".
#include <benchmark/benchmark.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "WinMessages.h"

namespace {

using namespace vantrel;

constexpr UINT kPing = WM_USER + 1;
constexpr const char* kClass = "BenchQueueWindow";

std::atomic<long> delivered{0};

LRESULT CountProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kPing) {
    delivered.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  return DefWindowProc(hwnd, msg, wParam, lParam);
}

HWND MakeWindow() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASS wc{};
    wc.lpfnWndProc = CountProc;
    wc.lpszClassName = kClass;
    RegisterClass(&wc);
  });
  return CreateWindowEx(0, kClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, ProgramInstance(),
                        nullptr);
}

template <class F>
double NanosecondsPerCall(int calls, F&& f) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) f();
  std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  return took.count() / calls;
}

// A message posted to a window of the calling thread, then taken and dispatched.
void BM_PostAndDispatch(benchmark::State& state) {
  HWND hwnd = MakeWindow();
  MSG msg;
  for (auto _ : state) {
    PostMessage(hwnd, kPing, 1, 2);
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
  }
  DestroyWindow(hwnd);

  // The same round through a mutex-guarded deque and a std::function: the least any queue costs.
  std::mutex m;
  std::deque<MSG> q;
  std::function<void(const MSG&)> handler = [](const MSG& x) { benchmark::DoNotOptimize(x); };
  state.counters["reference"] = NanosecondsPerCall(200000, [&] {
    {
      std::lock_guard lock(m);
      q.push_back(MSG{nullptr, kPing, 1, 2});
    }
    MSG x;
    {
      std::lock_guard lock(m);
      x = q.front();
      q.pop_front();
    }
    handler(x);
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostAndDispatch);

// One message to a window of another thread blocked in GetMessage, and one back.
void BM_CrossThreadPingPong(benchmark::State& state) {
  HWND mine = MakeWindow();
  std::atomic<HWND> theirs{nullptr};
  std::thread other([&] {
    HWND w = MakeWindow();
    theirs = w;
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0)) {
      if (msg.message == kPing) PostMessage(mine, kPing, 0, 0);
    }
    DestroyWindow(w);
  });
  while (theirs.load() == nullptr) std::this_thread::yield();
  DWORD otherId = GetWindowThreadProcessId(theirs.load(), nullptr);

  MSG msg;
  for (auto _ : state) {
    PostMessage(theirs.load(), kPing, 0, 0);
    GetMessage(&msg, nullptr, 0, 0);
    DispatchMessage(&msg);
  }
  PostThreadMessage(otherId, WM_QUIT, 0, 0);
  other.join();
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
  DestroyWindow(mine);

  // Two eventfds and two threads blocking in read(): the wake-up underneath.
  int to = eventfd(0, EFD_CLOEXEC), back = eventfd(0, EFD_CLOEXEC);
  constexpr int kRounds = 20000;
  std::thread echo([&] {
    std::uint64_t v;
    for (int i = 0; i < kRounds; ++i) {
      if (read(to, &v, sizeof v) != sizeof v) break;
      v = 1;
      if (write(back, &v, sizeof v) != sizeof v) break;
    }
  });
  state.counters["reference"] = NanosecondsPerCall(kRounds, [&] {
    std::uint64_t v = 1;
    if (write(to, &v, sizeof v) == sizeof v) benchmark::DoNotOptimize(read(back, &v, sizeof v));
  });
  echo.join();
  close(to);
  close(back);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CrossThreadPingPong)->UseRealTime();

}  // namespace
