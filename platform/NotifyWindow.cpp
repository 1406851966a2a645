#include "NotifyWindow.h"

#include "WinMessages.h"

namespace vantrel {
namespace {

constexpr int TargetSlot = 0;

LRESULT NotifyWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
  auto* Target = reinterpret_cast<TWindowMessageTarget*>(GetWindowLongPtr(Window, TargetSlot));
  // Creation messages come before the slot is filled, late ones after it was cleared.
  if (Target == nullptr) return DefWindowProc(Window, Msg, WParam, LParam);
  TMessage Message{Msg, WParam, LParam, 0};
  Target->HandleWindowMessage(Message);
  return Message.Result;
}

bool ClassRegistered(HINSTANCE Instance, const char* ClassName) {
  WNDCLASS Found{};  // the system's look-up always fills a record
  return GetClassInfo(Instance, ClassName, &Found) != 0;
}

bool EnsureClass(const char* ClassName) {
  const HINSTANCE Instance = ProgramInstance();
  if (ClassRegistered(Instance, ClassName)) return true;
  WNDCLASS Class{};
  Class.lpfnWndProc = NotifyWindowProc;
  Class.cbWndExtra = sizeof(LONG_PTR);  // one slot: the target
  Class.hInstance = Instance;
  Class.lpszClassName = ClassName;
  // Another thread may have registered it in the meantime; only a missing class is a failure.
  return RegisterClass(&Class) != 0 || ClassRegistered(Instance, ClassName);
}

}  // namespace

TNotifyWindow::TNotifyWindow(const char* ClassName, TWindowMessageTarget* Target) {
  if (!EnsureClass(ClassName)) return;
  // A message-only window: never shown, never enumerated, receives posted messages and timers.
  window_ = CreateWindowEx(WS_EX_TOOLWINDOW, ClassName, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE,
                           nullptr, ProgramInstance(), nullptr);
  if (window_ != nullptr && Target != nullptr) {
    SetWindowLongPtr(window_, TargetSlot, reinterpret_cast<LONG_PTR>(Target));
  }
}

TNotifyWindow::~TNotifyWindow() {
  if (window_ == nullptr) return;
  Detach();
  DestroyWindow(window_);
}

void TNotifyWindow::Detach() {
  if (window_ != nullptr) SetWindowLongPtr(window_, TargetSlot, 0);
}

LRESULT TNotifyWindow::DefaultAnswer(const TMessage& Msg) const {
  return DefWindowProc(window_, Msg.Msg, Msg.WParam, Msg.LParam);
}

}  // namespace vantrel
