// Keeps the Wine desktop of a prefix open while test programs come and go. Wine closes a desktop
// about a second after its last user has gone and starts it again for the next program that
// makes a window, which costs each test program seconds (and, in some prefix states, about 20 s).
// This program is a user of the desktop: it makes a message-only window and pumps its queue for
// the number of seconds given (default 900), then ends. It writes "ready" to standard output
// once the desktop runs: a desktop started for a test program would be that program's child and
// hold its output open.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 900;
  HWND window = CreateWindowExA(0, "STATIC", "vantrel desktop holder", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
  if (window == nullptr || GetDesktopWindow() == nullptr) return 1;
  std::puts("ready");
  std::fflush(stdout);
  // A timer message on the thread's queue ends the loop.
  SetTimer(nullptr, 0, static_cast<UINT>(seconds > 0 ? seconds : 900) * 1000u, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER) break;
    DispatchMessageA(&message);
  }
  DestroyWindow(window);
  return 0;
}
