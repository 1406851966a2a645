// The pieces every component is built on: the hidden window that owns its dispatch, and the
// message pump its waits run.
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "Application.h"
#include "MessagePump.h"
#include "NotifyWindow.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

constexpr char kClass[] = "VantrelRuntimeTestWindow";
constexpr UINT kDouble = WM_USER + 7;  // answered with twice its wParam

struct Target : TWindowMessageTarget {
  TNotifyWindow* Window = nullptr;
  std::vector<UINT> Seen;
  std::function<void()> OnFirst;
  void HandleWindowMessage(TMessage& Msg) override {
    Seen.push_back(Msg.Msg);
    if (Seen.size() == 1 && OnFirst) OnFirst();
    Msg.Result =
        Msg.Msg == kDouble ? static_cast<LRESULT>(Msg.WParam * 2) : Window->DefaultAnswer(Msg);
  }
};

void DrainOwnQueue() {
  TMessagePump Pump;
  Pump.SetMultiThreaded(true);
  Pump.RunPending();
}

TEST(NotifyWindowTest, DispatchesToItsTargetUntilDetachedAndLeavesNothingBehind) {
  const int Before = LiveWindowCount();
  Target A, B;
  HWND Gone = nullptr;
  {
    TNotifyWindow WindowA(kClass, &A);
    TNotifyWindow WindowB(kClass, &B);  // the class registered for A serves B too
    A.Window = &WindowA;
    B.Window = &WindowB;
    ASSERT_NE(WindowA.Handle(), nullptr);
    ASSERT_NE(WindowB.Handle(), nullptr);
    EXPECT_EQ(LiveWindowCount(), Before + 2);

    EXPECT_EQ(SendMessage(WindowA.Handle(), kDouble, 21, 0), 42);
    ASSERT_TRUE(PostMessage(WindowB.Handle(), kDouble, 1, 0));
    DrainOwnQueue();
    EXPECT_EQ(A.Seen, std::vector<UINT>{kDouble}) << "no creation message reaches the target";
    EXPECT_EQ(B.Seen, std::vector<UINT>{kDouble});

    WindowA.Detach();
    EXPECT_EQ(SendMessage(WindowA.Handle(), kDouble, 21, 0), 0) << "the default answer";
    EXPECT_EQ(A.Seen.size(), 1u);

    // Still queued when its window goes: dropped, not handed to a target that may be gone.
    ASSERT_TRUE(PostMessage(WindowB.Handle(), kDouble, 2, 0));
    Gone = WindowB.Handle();
  }
  EXPECT_EQ(LiveWindowCount(), Before);
  EXPECT_FALSE(IsWindow(Gone));
  DrainOwnQueue();
  EXPECT_EQ(B.Seen, std::vector<UINT>{kDouble}) << "the destruction itself is not dispatched";
}

TEST(MessagePumpTest, RunsTheLoopThatMultiThreadedChooses) {
  // The thread's own queue: what is posted while it runs is run too, and a quit message is
  // recorded by the pump, not by the application.
  std::thread Worker([] {
    Target T;
    TNotifyWindow Window(kClass, &T);
    T.Window = &Window;
    T.OnFirst = [&] { PostMessage(Window.Handle(), kDouble, 2, 0); };
    TMessagePump Pump;
    Pump.SetMultiThreaded(true);
    PostMessage(Window.Handle(), kDouble, 1, 0);
    PostQuitMessage(0);
    EXPECT_FALSE(Pump.Abandoned());
    Pump.RunPending();
    EXPECT_EQ(T.Seen, (std::vector<UINT>{kDouble, kDouble}));
    EXPECT_TRUE(Pump.QuitReceived());
    EXPECT_TRUE(Pump.Abandoned());
    EXPECT_FALSE(Pump.TakeOne()) << "nothing is left";
  });
  Worker.join();
  EXPECT_FALSE(Application().Terminated());

  // The application's loop: the quit message terminates the application.
  Target T;
  TNotifyWindow Window(kClass, &T);
  T.Window = &Window;
  TMessagePump Pump;
  PostMessage(Window.Handle(), kDouble, 1, 0);
  PostQuitMessage(0);
  Pump.RunPending();
  EXPECT_EQ(T.Seen, std::vector<UINT>{kDouble});
  EXPECT_FALSE(Pump.QuitReceived());
  EXPECT_TRUE(Application().Terminated());
  EXPECT_TRUE(Pump.Abandoned());
  Application().SetTerminated(false);
}

}  // namespace
}  // namespace vantrel
