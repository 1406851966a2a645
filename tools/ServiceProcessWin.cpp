#include <atomic>

#include "ServiceProcess.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

std::atomic<DWORD> MainThread{0};

// Runs on a thread of the system's: a quit message ends the main thread's loop
// (TApplication::ProcessMessages marks the application terminated).
BOOL WINAPI OnConsoleControl(DWORD Event) {
  if (Event != CTRL_C_EVENT && Event != CTRL_BREAK_EVENT && Event != CTRL_CLOSE_EVENT) return FALSE;
  PostThreadMessageA(MainThread.load(), WM_QUIT, 0, 0);
  return TRUE;
}

}  // namespace

// Windows has no descriptor limit to raise for sockets and no SIGPIPE.
void PrepareServiceProcess() {}

struct TStopRequests::TState {};

TStopRequests::TStopRequests() : state_(std::make_unique<TState>()) {
  MainThread = GetCurrentThreadId();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

TStopRequests::~TStopRequests() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

bool MoveIntoPlace(const std::string& From, const std::string& To) {
  return MoveFileExA(From.c_str(), To.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace vantrel
