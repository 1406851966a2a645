// Message queues and hidden windows: classes, window procedures, posting, peeking, waiting,
// timers and windows owned by other threads.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "ForeignLoop.h"
#include "LeakCheck.h"
#include "ThreadQueue.h"
#include "UniqueFd.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

constexpr char kClassName[] = "VantrelTestWindow";
constexpr UINT kSafetyTimer = 0x5AFE;

struct Seen {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD threadId;
};

// What one window received; the window procedure finds it through the window's extra slot.
struct Recorder {
  std::vector<Seen> seen;
  std::function<void(const Seen&)> onMessage;
  int Count(UINT message) const {
    int n = 0;
    for (const auto& s : seen) n += s.message == message;
    return n;
  }
};

thread_local std::vector<HWND> createdHere;
thread_local LONG_PTR slotAtCreate = -1;

LRESULT TestWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) {
    createdHere.push_back(hwnd);
    slotAtCreate = GetWindowLongPtr(hwnd, 0);
  }
  auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtr(hwnd, 0));
  if (recorder == nullptr) return DefWindowProc(hwnd, message, wParam, lParam);
  Seen s{hwnd, message, wParam, lParam, GetCurrentThreadId()};
  recorder->seen.push_back(s);
  if (recorder->onMessage) recorder->onMessage(s);
  return static_cast<LRESULT>(wParam) + lParam;
}

void EnsureClass() {
  static const bool registered = [] {
    WNDCLASS wc;
    wc.lpfnWndProc = TestWindowProc;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = ProgramInstance();
    wc.lpszClassName = kClassName;
    return RegisterClass(&wc) != 0;
  }();
  ASSERT_TRUE(registered);
}

// A hidden window of the calling thread, destroyed with the object.
class TestWindow {
 public:
  explicit TestWindow(Recorder* recorder = nullptr)
      : hwnd_(CreateWindowEx(WS_EX_TOOLWINDOW, kClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr,
                             nullptr, ProgramInstance(), nullptr)) {
    if (hwnd_ && recorder) SetWindowLongPtr(hwnd_, 0, reinterpret_cast<LONG_PTR>(recorder));
  }
  ~TestWindow() { Destroy(); }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND Handle() const { return hwnd_; }
  void Destroy() {
    if (hwnd_) DestroyWindow(hwnd_);
    hwnd_ = nullptr;
  }

 private:
  HWND hwnd_;
};

// Dispatches everything that is waiting; returns the number of messages taken.
int DispatchAll() {
  MSG msg;
  int n = 0;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ++n;
    if (msg.message == WM_QUIT) continue;
    TranslateMessage(&msg);
    DispatchMessage(&msg);
  }
  return n;
}

// Pumps the calling thread's queue until done() holds or the safety timer of the guard window
// fires (a periodic timer also bounds every WaitMessage). Returns done().
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  Recorder guardLog;
  TestWindow guard(&guardLog);
  SetTimer(guard.Handle(), kSafetyTimer, static_cast<UINT>(limit.count()), nullptr);
  while (!done() && guardLog.Count(WM_TIMER) == 0) {
    if (DispatchAll() == 0 && !done()) WaitMessage();
  }
  KillTimer(guard.Handle(), kSafetyTimer);
  return done();
}

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureClass();
    DispatchAll();  // also creates this thread's queue before descriptors are counted
    windows_ = LiveWindowCount();
    descriptors_ = test::OpenDescriptorCount();
  }
  void TearDown() override {
    DispatchAll();
    EXPECT_EQ(LiveWindowCount(), windows_);
    EXPECT_EQ(test::OpenDescriptorCount(), descriptors_);
  }

 private:
  int windows_ = 0;
  int descriptors_ = 0;
};

TEST_F(MessagesTest, ClassIsRegisteredOncePerProcess) {
  WNDCLASS wc;
  wc.lpfnWndProc = TestWindowProc;
  wc.cbWndExtra = 2 * sizeof(LONG_PTR);
  wc.hInstance = ProgramInstance();
  wc.lpszClassName = "VantrelOnceClass";
  EXPECT_FALSE(GetClassInfo(ProgramInstance(), "VantrelOnceClass", nullptr));
  EXPECT_NE(RegisterClass(&wc), 0);
  EXPECT_EQ(RegisterClass(&wc), 0);

  WNDCLASS found;
  ASSERT_TRUE(GetClassInfo(ProgramInstance(), "VantrelOnceClass", &found));
  EXPECT_EQ(found.lpfnWndProc, &TestWindowProc);
  EXPECT_EQ(found.cbWndExtra, static_cast<int>(2 * sizeof(LONG_PTR)));
  EXPECT_STREQ(found.lpszClassName, "VantrelOnceClass");

  // Another thread sees the same registration and creates windows of the class.
  std::thread other([&] {
    EXPECT_EQ(RegisterClass(&wc), 0);
    HWND h = CreateWindowEx(0, "VantrelOnceClass", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                            ProgramInstance(), nullptr);
    EXPECT_NE(h, nullptr);
    SetWindowLongPtr(h, sizeof(LONG_PTR), 77);  // the second slot exists
    EXPECT_EQ(GetWindowLongPtr(h, sizeof(LONG_PTR)), 77);
    EXPECT_TRUE(DestroyWindow(h));
  });
  other.join();

  WNDCLASS noProc;
  noProc.lpszClassName = "VantrelNoProcClass";
  EXPECT_EQ(RegisterClass(&noProc), 0);
  EXPECT_EQ(RegisterClass(nullptr), 0);
  EXPECT_EQ(CreateWindowEx(0, "VantrelNoSuchClass", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           ProgramInstance(), nullptr),
            nullptr);

  EXPECT_TRUE(UnregisterClass("VantrelOnceClass", ProgramInstance()));
  EXPECT_FALSE(GetClassInfo(ProgramInstance(), "VantrelOnceClass", nullptr));
}

TEST_F(MessagesTest, WindowProcedureExtraSlotCreateAndDestroy) {
  createdHere.clear();
  Recorder log;
  HWND h;
  {
    TestWindow window;
    h = window.Handle();
    ASSERT_NE(h, nullptr);
    // WM_CREATE reached the procedure inside CreateWindowEx, before the slot could be set.
    ASSERT_EQ(createdHere.size(), 1u);
    EXPECT_EQ(createdHere[0], h);
    EXPECT_EQ(slotAtCreate, 0);
    EXPECT_TRUE(IsWindow(h));
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(h, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, static_cast<DWORD>(getpid()));

    EXPECT_EQ(SetWindowLongPtr(h, 0, reinterpret_cast<LONG_PTR>(&log)), 0);
    EXPECT_EQ(GetWindowLongPtr(h, 0), reinterpret_cast<LONG_PTR>(&log));
    EXPECT_EQ(SetWindowLongPtr(h, 0, reinterpret_cast<LONG_PTR>(&log)),
              reinterpret_cast<LONG_PTR>(&log));
    // Only one slot, and only at multiples of its size.
    EXPECT_EQ(SetWindowLongPtr(h, sizeof(LONG_PTR), 5), 0);
    EXPECT_EQ(GetWindowLongPtr(h, sizeof(LONG_PTR)), 0);
    EXPECT_EQ(GetWindowLongPtr(h, 3), 0);

    // SendMessage runs the procedure at once and hands back its result.
    EXPECT_EQ(SendMessage(h, WM_USER + 9, 40, 2), 42);
    ASSERT_EQ(log.seen.size(), 1u);
    EXPECT_EQ(log.seen[0].message, WM_USER + 9u);
    // A post waits for the loop.
    EXPECT_TRUE(PostMessage(h, WM_USER + 10, 0, 0));
    EXPECT_EQ(log.seen.size(), 1u);
    EXPECT_EQ(DispatchAll(), 1);
    ASSERT_EQ(log.seen.size(), 2u);
    EXPECT_EQ(log.seen[1].message, WM_USER + 10u);
  }
  // The destructor destroyed the window: WM_DESTROY came last, then nothing reaches it.
  ASSERT_EQ(log.seen.size(), 3u);
  EXPECT_EQ(log.seen[2].message, WM_DESTROY);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(GetWindowLongPtr(h, 0), 0);
  EXPECT_FALSE(DestroyWindow(h));
  EXPECT_EQ(SendMessage(h, WM_USER, 1, 1), 0);
  EXPECT_EQ(log.seen.size(), 3u);
}

TEST_F(MessagesTest, PostedMessagesAreDispatchedInOrderOnTheOwningThread) {
  std::vector<Seen> all;
  Recorder a, b;
  a.onMessage = b.onMessage = [&](const Seen& s) { all.push_back(s); };
  TestWindow wa(&a), wb(&b);
  constexpr int kCount = 1000;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(PostMessage(i % 3 ? wa.Handle() : wb.Handle(), WM_USER + 1, i, 0));
  }
  EXPECT_TRUE(all.empty());
  EXPECT_EQ(DispatchAll(), kCount);
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(all[i].wParam, static_cast<WPARAM>(i));
    EXPECT_EQ(all[i].hwnd, i % 3 ? wa.Handle() : wb.Handle());
    EXPECT_EQ(all[i].threadId, GetCurrentThreadId());
  }
}

TEST_F(MessagesTest, ConcurrentPostersKeepEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 10000;
  Recorder log;
  std::vector<WPARAM> next(kThreads, 0);
  int outOfOrder = 0, wrongThread = 0, reentered = 0;
  bool inside = false;
  log.onMessage = [&](const Seen& s) {
    if (inside) ++reentered;
    inside = true;
    if (s.threadId != GetCurrentThreadId()) ++wrongThread;
    auto& expected = next.at(static_cast<std::size_t>(s.lParam));
    if (s.wParam != expected) ++outOfOrder;
    expected = s.wParam + 1;
    inside = false;
  };
  log.seen.reserve(kThreads * kPerThread);
  TestWindow window(&log);

  std::atomic<int> ready{0};
  std::atomic<int> failedPosts{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) {
        if (!PostMessage(window.Handle(), WM_USER + 2, i, t)) ++failedPosts;
      }
    });
  }
  bool complete = PumpUntil([&] { return log.seen.size() == kThreads * kPerThread; }, 30s);
  for (auto& p : posters) p.join();

  EXPECT_TRUE(complete) << log.seen.size() << " messages arrived";
  EXPECT_EQ(failedPosts.load(), 0);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(wrongThread, 0);
  EXPECT_EQ(reentered, 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], static_cast<WPARAM>(kPerThread));
}

TEST_F(MessagesTest, APostFromAnotherThreadIsNotOvertakenByALaterOwnPost) {
  Recorder log;
  TestWindow window(&log);
  // The owner's own posts and other threads' posts wait in different places until taken.
  ASSERT_TRUE(PostMessage(window.Handle(), WM_USER + 1, 0, 0));
  std::thread([&] { PostMessage(window.Handle(), WM_USER + 1, 1, 0); }).join();
  ASSERT_TRUE(PostMessage(window.Handle(), WM_USER + 1, 2, 0));
  std::thread([&] { PostMessage(window.Handle(), WM_USER + 1, 3, 0); }).join();
  EXPECT_EQ(DispatchAll(), 4);
  ASSERT_EQ(log.seen.size(), 4u);
  for (WPARAM i = 0; i < 4; ++i) EXPECT_EQ(log.seen[i].wParam, i);
}

TEST_F(MessagesTest, PostingToADestroyedOrInventedWindowFailsWithoutHarm) {
  Recorder log;
  TestWindow window(&log);
  HWND stale = window.Handle();
  window.Destroy();
  log.seen.clear();

  HWND invented[] = {nullptr, stale, reinterpret_cast<HWND>(0x1234),
                     reinterpret_cast<HWND>(~std::uintptr_t{0})};
  for (HWND h : invented) {
    EXPECT_FALSE(PostMessage(h, WM_USER, 1, 2));
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(DestroyWindow(h));
    EXPECT_EQ(SendMessage(h, WM_USER, 1, 2), 0);
    EXPECT_EQ(SetWindowLongPtr(h, 0, 9), 0);
    EXPECT_EQ(GetWindowLongPtr(h, 0), 0);
    EXPECT_EQ(SetTimer(h, 1, 10, nullptr), 0u);
    EXPECT_FALSE(KillTimer(h, 1));
    EXPECT_EQ(GetWindowThreadProcessId(h, nullptr), 0u);
  }
  MSG msg;
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_FALSE(PeekMessage(nullptr, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(DispatchMessage(nullptr), 0);
  EXPECT_TRUE(log.seen.empty());

  // Handles are not reused, so the stale one stays refused after new windows are made.
  TestWindow fresh;
  EXPECT_NE(fresh.Handle(), stale);
  EXPECT_FALSE(PostMessage(stale, WM_USER, 0, 0));
}

TEST_F(MessagesTest, MessagesQueuedForAWindowThenDestroyedAreDropped) {
  Recorder a, b;
  TestWindow wa(&a), wb(&b);
  PostMessage(wa.Handle(), WM_USER + 1, 1, 0);
  PostMessage(wb.Handle(), WM_USER + 1, 2, 0);
  PostMessage(wa.Handle(), WM_USER + 1, 3, 0);
  PostMessage(wa.Handle(), WM_USER + 1, 4, 0);
  // A message whose take-hook declines it, for the window that is about to go.
  ThreadQueue::Current().Post(MSG{wa.Handle(), WM_USER + 1, 5, 0}, [](MSG&) { return false; });
  PostMessage(wb.Handle(), WM_USER + 1, 6, 0);
  wa.Destroy();
  a.seen.clear();  // WM_DESTROY

  // Looking without removing skips the dead window's messages and keeps the live ones.
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.hwnd, wb.Handle());
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_EQ(DispatchAll(), 2);
  ASSERT_EQ(b.seen.size(), 2u);
  EXPECT_EQ(b.seen[0].wParam, 2u);
  EXPECT_EQ(b.seen[1].wParam, 6u);

  // The same when the dead window's messages sit right before live ones at the front.
  TestWindow wc(&a);
  PostMessage(wc.Handle(), WM_USER + 1, 7, 0);
  ThreadQueue::Current().Post(MSG{wc.Handle(), WM_USER + 1, 8, 0}, [](MSG&) { return false; });
  PostMessage(wb.Handle(), WM_USER + 1, 9, 0);
  PostMessage(wb.Handle(), WM_USER + 1, 10, 0);
  wc.Destroy();
  a.seen.clear();
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 9u);
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.wParam, 9u);
  EXPECT_EQ(DispatchAll(), 2);
  ASSERT_EQ(b.seen.size(), 4u);
  EXPECT_EQ(b.seen[2].wParam, 9u);
  EXPECT_EQ(b.seen[3].wParam, 10u);
  EXPECT_TRUE(a.seen.empty());
}

TEST_F(MessagesTest, PeekMessageRemovesOnlyWithPmRemoveAndHonoursFilters) {
  Recorder log;
  TestWindow wa(&log), wb(&log);
  MSG msg;
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));

  PostMessage(wa.Handle(), WM_USER + 1, 1, 0);
  PostMessage(wb.Handle(), WM_USER + 2, 2, 0);
  PostMessage(wa.Handle(), WM_USER + 5, 3, 0);
  PostMessage(wb.Handle(), WM_USER + 5, 4, 0);

  auto peek = [&](HWND h, UINT lo, UINT hi, UINT flags) -> WPARAM {
    MSG m;
    return PeekMessage(&m, h, lo, hi, flags) ? m.wParam : 0;
  };
  EXPECT_EQ(peek(nullptr, 0, 0, PM_NOREMOVE), 1u);
  EXPECT_EQ(peek(nullptr, 0, 0, PM_NOREMOVE), 1u);
  EXPECT_EQ(peek(wb.Handle(), 0, 0, PM_NOREMOVE), 2u);
  EXPECT_EQ(peek(nullptr, WM_USER + 5, WM_USER + 5, PM_NOREMOVE), 3u);
  EXPECT_EQ(peek(wb.Handle(), WM_USER + 3, WM_USER + 9, PM_NOREMOVE), 4u);
  EXPECT_EQ(peek(wa.Handle(), WM_USER + 2, WM_USER + 2, PM_NOREMOVE), 0u);

  EXPECT_EQ(peek(wb.Handle(), WM_USER + 5, WM_USER + 5, PM_REMOVE), 4u);
  EXPECT_EQ(peek(nullptr, WM_USER + 2, WM_USER + 5, PM_REMOVE), 2u);
  ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, wa.Handle());
  EXPECT_EQ(msg.message, WM_USER + 1);
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_EQ(peek(nullptr, 0, 0, PM_REMOVE), 3u);
  EXPECT_EQ(peek(nullptr, 0, 0, PM_REMOVE), 0u);

  // A range filter never holds WM_QUIT back; it still comes after the matching messages.
  PostMessage(wa.Handle(), WM_USER + 1, 5, 0);
  PostQuitMessage(4);
  EXPECT_EQ(peek(nullptr, WM_USER, WM_USER + 1, PM_REMOVE), 5u);
  ASSERT_TRUE(PeekMessage(&msg, nullptr, WM_USER, WM_USER + 1, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_QUIT);
  ASSERT_TRUE(PeekMessage(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 4u);
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  // Peeking never dispatches.
  EXPECT_TRUE(log.seen.empty());
}

TEST_F(MessagesTest, GetMessageReturnsFalseOnQuitAfterTheMessagesBeforeIt) {
  Recorder log, guardLog;
  TestWindow window(&log), guard(&guardLog);
  // Keeps GetMessage from blocking for good if the quit were lost.
  SetTimer(guard.Handle(), kSafetyTimer, 5000, nullptr);

  for (int i = 1; i <= 3; ++i) PostMessage(window.Handle(), WM_USER + 1, i, 0);
  EXPECT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_USER + 7, 70, 0));
  PostQuitMessage(7);
  EXPECT_FALSE(PostThreadMessage(0xFFFFFFF0u, WM_USER, 0, 0));

  MSG msg;
  std::vector<WPARAM> got;
  while (GetMessage(&msg, nullptr, 0, 0)) {
    if (msg.hwnd == guard.Handle()) break;
    got.push_back(msg.wParam);
    if (msg.hwnd == nullptr) {
      EXPECT_EQ(msg.message, WM_USER + 7u);
      EXPECT_EQ(DispatchMessage(&msg), 0);  // no window: nothing to run
    } else {
      DispatchMessage(&msg);
    }
  }
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(got, (std::vector<WPARAM>{1, 2, 3, 70}));
  EXPECT_EQ(log.seen.size(), 3u);
  // The quit was taken out with it.
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  KillTimer(guard.Handle(), kSafetyTimer);
}

TEST_F(MessagesTest, WaitMessageIsWokenByAPostFromAnotherThread) {
  Recorder log, guardLog;
  TestWindow window(&log), guard(&guardLog);
  // If a post did not wake the waiter, only this timer would, and its message would show.
  SetTimer(guard.Handle(), kSafetyTimer, 5000, nullptr);
  for (int round = 0; round < 3; ++round) {
    std::promise<void> waiting;
    std::thread poster([&, round] {
      waiting.get_future().wait();
      std::this_thread::sleep_for(50ms);
      PostMessage(window.Handle(), WM_USER + 3, round, 0);
    });
    waiting.set_value();
    MSG msg;
    while (!PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) WaitMessage();
    poster.join();
    EXPECT_EQ(msg.hwnd, window.Handle());
    EXPECT_EQ(msg.message, WM_USER + 3u);
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(round));
  }
  KillTimer(guard.Handle(), kSafetyTimer);
  DispatchAll();
  EXPECT_EQ(guardLog.Count(WM_TIMER), 0);
}

TEST_F(MessagesTest, ForeignLoopsSeePostsAndTheLoopWatchesForeignDescriptors) {
  const auto Readable = [](int Fd, int Ms) {
    pollfd P{Fd, POLLIN, 0};
    return ::poll(&P, 1, Ms) == 1;
  };
  Recorder log;
  TestWindow window(&log);
  {
    TForeignLoopLink link;
    DispatchAll();
    EXPECT_FALSE(Readable(link.Descriptor(), 0));
    // This thread is not blocked in its own wait: only the link makes the post visible.
    std::thread([&] { PostMessage(window.Handle(), WM_USER + 7, 0, 0); }).join();
    EXPECT_TRUE(Readable(link.Descriptor(), 5000));
    DispatchAll();
    EXPECT_EQ(log.Count(WM_USER + 7), 1);
    EXPECT_FALSE(Readable(link.Descriptor(), 0)) << "still readable after the messages were run";
  }

  int Ends[2];
  ASSERT_EQ(pipe2(Ends, O_CLOEXEC | O_NONBLOCK), 0);
  UniqueFd ReadEnd(Ends[0]), WriteEnd(Ends[1]);
  std::string Got;
  {
    TDescriptorWatch watch(ReadEnd.Get(), [&] {
      char C;
      while (read(ReadEnd.Get(), &C, 1) == 1) Got += C;
    });
    ASSERT_TRUE(watch.Active());
    ASSERT_EQ(write(WriteEnd.Get(), "ab", 2), 2);
    EXPECT_TRUE(PumpUntil([&] { return Got == "ab"; }, 5000ms));
  }
  ASSERT_EQ(write(WriteEnd.Get(), "c", 1), 1);
  DispatchAll();
  EXPECT_EQ(Got, "ab") << "the handler ran after its watch ended";
  EXPECT_FALSE(TDescriptorWatch(-1, [] {}).Active());
}

TEST_F(MessagesTest, TimersPostWmTimerUntilKilled) {
  Recorder log;
  TestWindow window(&log);
  EXPECT_EQ(SetTimer(window.Handle(), 42, 10, nullptr), 42u);
  EXPECT_TRUE(PumpUntil([&] { return log.Count(WM_TIMER) >= 3; }, 5s));
  for (const auto& s : log.seen) {
    EXPECT_EQ(s.message, WM_TIMER);
    EXPECT_EQ(s.wParam, 42u);
  }
  EXPECT_TRUE(KillTimer(window.Handle(), 42));
  EXPECT_FALSE(KillTimer(window.Handle(), 42));
  DispatchAll();  // a tick posted before the kill may still be queued, as on Windows
  int ticks = log.Count(WM_TIMER);
  std::this_thread::sleep_for(60ms);
  DispatchAll();
  EXPECT_EQ(log.Count(WM_TIMER), ticks);

  // Destroying a window ends its timers too.
  Recorder other;
  TestWindow short_lived(&other);
  EXPECT_EQ(SetTimer(short_lived.Handle(), 1, 5, nullptr), 1u);
  short_lived.Destroy();
  std::this_thread::sleep_for(30ms);
  DispatchAll();
  EXPECT_EQ(other.Count(WM_TIMER), 0);
}

TEST_F(MessagesTest, AWorkerThreadHasItsOwnQueueAndWindows) {
  struct Started {
    HWND hwnd;
    DWORD threadId;
  };
  std::promise<Started> started;
  std::promise<void> posted;
  Recorder workerLog;
  MSG quit{};
  bool timedOut = false;

  std::thread worker([&] {
    Recorder guardLog;
    TestWindow window(&workerLog), guard(&guardLog);
    SetTimer(guard.Handle(), kSafetyTimer, 10000, nullptr);
    started.set_value({window.Handle(), GetCurrentThreadId()});
    posted.get_future().wait();
    while (GetMessage(&quit, nullptr, 0, 0)) {
      if (quit.hwnd == guard.Handle()) {
        timedOut = true;
        break;
      }
      DispatchMessage(&quit);
    }
    window.Destroy();
    guard.Destroy();
  });

  auto future = started.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  Started s = future.get();
  EXPECT_NE(s.threadId, GetCurrentThreadId());
  EXPECT_EQ(GetWindowThreadProcessId(s.hwnd, nullptr), s.threadId);
  // Only the owner may destroy its window or call its procedure directly.
  EXPECT_FALSE(DestroyWindow(s.hwnd));
  EXPECT_EQ(SendMessage(s.hwnd, WM_USER, 1, 1), 0);
  EXPECT_EQ(SetTimer(s.hwnd, 3, 10, nullptr), 0u);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(PostMessage(s.hwnd, WM_USER + 4, i, 0));
  EXPECT_TRUE(PostThreadMessage(s.threadId, WM_QUIT, 3, 0));
  posted.set_value();
  worker.join();

  EXPECT_FALSE(timedOut);
  EXPECT_EQ(quit.message, WM_QUIT);
  EXPECT_EQ(quit.wParam, 3u);
  ASSERT_EQ(workerLog.seen.size(), 101u);  // 100 posts and WM_DESTROY
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(workerLog.seen[i].wParam, static_cast<WPARAM>(i));
    EXPECT_EQ(workerLog.seen[i].threadId, s.threadId);
  }
  EXPECT_FALSE(IsWindow(s.hwnd));
  // Nothing of the worker's ended up in this thread's queue.
  MSG msg;
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
  // The fixture checks that the worker's queue descriptors were closed with its thread.
}

}  // namespace
}  // namespace vantrel
