// The headless application object: processing waiting messages, quitting, the exception hook,
// running until terminated, and replacing the process's application object.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "Exceptions.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

constexpr char kClassName[] = "VantrelAppTestWindow";
constexpr UINT kSafetyTimer = 0x5AFE;

// The window procedure hands every message to the handler stored in the window's slot.
using Handler = std::function<void(UINT message, WPARAM wParam)>;

LRESULT HandlerWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* handler = reinterpret_cast<Handler*>(GetWindowLongPtr(hwnd, 0));
  if (handler && *handler) (*handler)(message, wParam);
  return DefWindowProc(hwnd, message, wParam, lParam);
}

class HandlerWindow {
 public:
  explicit HandlerWindow(Handler handler) : handler_(std::move(handler)) {
    static const bool registered = [] {
      WNDCLASS wc{};  // Windows reads every field
      wc.lpfnWndProc = HandlerWindowProc;
      wc.hInstance = ProgramInstance();
      wc.cbWndExtra = sizeof(LONG_PTR);
      wc.lpszClassName = kClassName;
      return RegisterClass(&wc) != 0;
    }();
    EXPECT_TRUE(registered);
    hwnd_ = CreateWindowEx(0, kClassName, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           ProgramInstance(), nullptr);
    SetWindowLongPtr(hwnd_, 0, reinterpret_cast<LONG_PTR>(&handler_));
  }
  ~HandlerWindow() { DestroyWindow(hwnd_); }
  HandlerWindow(const HandlerWindow&) = delete;
  HandlerWindow& operator=(const HandlerWindow&) = delete;
  HWND Handle() const { return hwnd_; }

 private:
  Handler handler_;
  HWND hwnd_ = nullptr;
};

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetApplication(nullptr);
    MSG msg;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    windows_ = LiveWindowCount();
  }
  void TearDown() override {
    SetApplication(nullptr);
    EXPECT_EQ(LiveWindowCount(), windows_);
  }

 private:
  int windows_ = 0;
};

TEST_F(ApplicationTest, ProcessMessagesRunsEverythingWaitingAndReturns) {
  std::vector<WPARAM> got;
  HWND self = nullptr;
  HandlerWindow window([&](UINT message, WPARAM w) {
    if (message != WM_USER) return;
    got.push_back(w);
    // Posted while processing: still waiting when the pass looks again, so it runs too.
    if (w == 3) PostMessage(self, WM_USER, 99, 0);
  });
  self = window.Handle();
  Application().ProcessMessages();  // nothing waiting: returns at once
  EXPECT_TRUE(got.empty());

  for (WPARAM i = 1; i <= 5; ++i) PostMessage(self, WM_USER, i, 0);
  Application().ProcessMessages();
  EXPECT_EQ(got, (std::vector<WPARAM>{1, 2, 3, 4, 5, 99}));
  EXPECT_FALSE(Application().Terminated());
  MSG msg;
  EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
}

TEST_F(ApplicationTest, QuitSetsTerminatedAndIsNotDispatched) {
  std::vector<UINT> got;
  HandlerWindow window([&](UINT message, WPARAM) { got.push_back(message); });
  PostMessage(window.Handle(), WM_USER + 1, 0, 0);
  PostQuitMessage(0);
  PostMessage(window.Handle(), WM_USER + 2, 0, 0);
  Application().ProcessMessages();
  EXPECT_TRUE(Application().Terminated());
  EXPECT_EQ(got, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));

  // A fresh application object starts unterminated.
  SetApplication(nullptr);
  EXPECT_FALSE(Application().Terminated());
}

TEST_F(ApplicationTest, AnExceptionFromAWindowProcedureReachesOnExceptionAndTheLoopGoesOn) {
  std::vector<WPARAM> got;
  HandlerWindow window([&](UINT message, WPARAM w) {
    if (message != WM_USER) return;
    got.push_back(w);
    if (w == 2) throw EConvertError("'x' is not a valid integer value");
    if (w == 3) throw 42;  // not of the exception family
  });
  std::vector<std::string> caught;
  Application().OnException = [&](TObject* Sender, const std::exception& E) {
    EXPECT_EQ(Sender, nullptr);
    caught.push_back(E.what());
  };
  for (WPARAM i = 1; i <= 4; ++i) PostMessage(window.Handle(), WM_USER, i, 0);
  EXPECT_NO_THROW(Application().ProcessMessages());
  EXPECT_EQ(got, (std::vector<WPARAM>{1, 2, 3, 4}));
  EXPECT_EQ(caught,
            (std::vector<std::string>{"'x' is not a valid integer value", "Unknown exception"}));

  // A hook that fails itself does not break the loop either; both texts go to standard error.
  Application().OnException = [](TObject*, const std::exception&) {
    throw std::runtime_error("hook failed");
  };
  PostMessage(window.Handle(), WM_USER, 2, 0);
  PostMessage(window.Handle(), WM_USER, 5, 0);
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(Application().ProcessMessages());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "hook failed\n'x' is not a valid integer value\n");
  EXPECT_EQ(got.back(), 5u);

  // Without a hook the message goes to standard error.
  Application().OnException = nullptr;
  PostMessage(window.Handle(), WM_USER, 2, 0);
  testing::internal::CaptureStderr();
  Application().ProcessMessages();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "'x' is not a valid integer value\n");
}

TEST_F(ApplicationTest, HandleCurrentExceptionOutsideACatchDoesNothing) {
  int calls = 0;
  Application().OnException = [&](TObject*, const std::exception&) { ++calls; };
  Application().HandleCurrentException(nullptr);
  EXPECT_EQ(calls, 0);
  try {
    throw Exception("inside");
  } catch (...) {
    Application().HandleCurrentException(nullptr);
  }
  EXPECT_EQ(calls, 1);
}

TEST_F(ApplicationTest, RunReturnsAfterTerminateFromAHandler) {
  bool timedOut = false;
  int handled = 0;
  HandlerWindow window([&](UINT message, WPARAM w) {
    if (message == WM_TIMER && w == kSafetyTimer) {
      timedOut = true;
      Application().Terminate();
    }
    if (message == WM_USER && ++handled == 3) Application().Terminate();
  });
  SetTimer(window.Handle(), kSafetyTimer, 5000, nullptr);
  // The posts come from another thread while Run waits.
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(20ms);
      PostMessage(window.Handle(), WM_USER, i, 0);
    }
  });
  Application().Run();
  poster.join();
  KillTimer(window.Handle(), kSafetyTimer);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(handled, 3);
  EXPECT_TRUE(Application().Terminated());

  // A quit message ends Run as well.
  SetApplication(nullptr);
  PostQuitMessage(0);
  Application().Run();
  EXPECT_TRUE(Application().Terminated());
}

TEST_F(ApplicationTest, SetApplicationInstallsAReplacement) {
  class Counting : public TApplication {
   public:
    void ProcessMessages() override {
      ++passes;
      TApplication::ProcessMessages();
    }
    int passes = 0;
  };
  auto owned = std::make_unique<Counting>();
  Counting* counting = owned.get();
  SetApplication(std::move(owned));
  EXPECT_EQ(&Application(), counting);
  Application().ProcessMessages();
  EXPECT_EQ(counting->passes, 1);

  SetApplication(nullptr);
  EXPECT_EQ(dynamic_cast<Counting*>(&Application()), nullptr);
  EXPECT_FALSE(Application().Terminated());
}

}  // namespace
}  // namespace vantrel
