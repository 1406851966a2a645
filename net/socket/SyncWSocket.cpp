// Synchronous waiting: running the message loop until a caller's flag is set.
#include "SyncWSocket.h"

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
    if (Pump_.Abandoned()) return SyncWaitAbandoned;
    RunPendingMessages();
    // Handlers set the flag only while a message is dispatched: with none left, sleep until the
    // next one rather than polling.
    if (DoneFlag || Pump_.Abandoned()) continue;
    Pump_.Wait();
  }
}

}  // namespace vantrel
