// Synchronous waiting: running the message loop until a caller's flag is set.
#include "SyncWSocket.h"

#include "Application.h"
#include "WinMessages.h"

namespace vantrel {

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* Owner) : TCustomLineWSocket(Owner) {}

std::int32_t TCustomSyncWSocket::RunAndWait(const TSyncProc& Proc, bool& DoneFlag) {
  DoneFlag = false;
  if (Proc) Proc();
  return WaitForFlag(DoneFlag);
}

std::int32_t TCustomSyncWSocket::WaitForFlag(bool& DoneFlag) {
  for (;;) {
    if (DoneFlag) return SyncWaitDone;
    if (WaitAbandoned()) return SyncWaitAbandoned;
    RunPendingMessages();
    // Handlers set the flag only while a message is dispatched: with none left, sleep until the
    // next one rather than polling.
    if (DoneFlag || WaitAbandoned()) continue;
    WaitForMessages();
  }
}

bool TCustomSyncWSocket::WaitAbandoned() const {
  return Application().Terminated() || QuitReceived_;
}

}  // namespace vantrel
