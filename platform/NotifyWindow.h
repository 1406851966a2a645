// This is a public header file.
// TNotifyWindow: the hidden window through which a component receives its messages (socket
// notices, lookup results, timers, messages it posts to itself). It registers its window class
// once per process, keeps its target in the window's slot and hands every message to the
// target's HandleWindowMessage. Destroying it detaches the target first, so a message still on
// its way is answered by the default window procedure and never reaches a half-destroyed owner.
//
// Thread rule: create, use and destroy it on one thread; its messages are dispatched there, from
// that thread's message loop.
#pragma once

#include "WinTypes.h"

namespace vantrel {

// What a notification window dispatches to.
class TWindowMessageTarget {
 public:
  // One message of the window; Msg.Result becomes the window procedure's answer.
  virtual void HandleWindowMessage(TMessage& Msg) = 0;

 protected:
  ~TWindowMessageTarget() = default;
};

class TNotifyWindow {
 public:
  // Creates a window of class ClassName (registered on first use) with Target in its slot.
  // Handle() is null when the class or the window cannot be created.
  TNotifyWindow(const char* ClassName, TWindowMessageTarget* Target);
  ~TNotifyWindow();
  TNotifyWindow(const TNotifyWindow&) = delete;
  TNotifyWindow& operator=(const TNotifyWindow&) = delete;

  HWND Handle() const { return window_; }
  // From now on every message gets the default answer; the window itself stays until destroyed.
  void Detach();
  // The default window procedure's answer to Msg.
  LRESULT DefaultAnswer(const TMessage& Msg) const;

 private:
  HWND window_ = nullptr;
};

}  // namespace vantrel
