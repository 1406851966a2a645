#include "MessagePump.h"

#include "Application.h"
#include "WinMessages.h"

namespace vantrel {

void TMessagePump::RunPending() {
  if (!multiThreaded_) {
    Application().ProcessMessages();
    return;
  }
  while (TakeOne()) {
  }
}

void TMessagePump::Wait() {
  if (multiThreaded_) {
    WaitMessage();
  } else {
    Application().WaitForMessages();
  }
}

bool TMessagePump::TakeOne() {
  MSG Msg;
  if (!PeekMessage(&Msg, nullptr, 0, 0, PM_REMOVE)) return false;
  if (Msg.message == WM_QUIT) {
    quitReceived_ = true;
  } else {
    TranslateMessage(&Msg);
    DispatchMessage(&Msg);
  }
  return true;
}

bool TMessagePump::Abandoned() const {
  return Application().Terminated() || quitReceived_;
}

}  // namespace vantrel
