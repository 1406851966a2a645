#include "WinMessages.h"

namespace vantrel {

HINSTANCE ProgramInstance() {
  return GetModuleHandleA(nullptr);
}

int LiveWindowCount() {
  const DWORD Self = GetCurrentProcessId();
  int Count = 0;
  HWND Window = nullptr;
  while ((Window = FindWindowExA(HWND_MESSAGE, Window, nullptr, nullptr)) != nullptr) {
    DWORD Owner = 0;
    GetWindowThreadProcessId(Window, &Owner);
    if (Owner == Self) ++Count;
  }
  return Count;
}

}  // namespace vantrel
