// This is a public header file.
// Per-thread message queues and hidden windows with the Windows contracts the components need.
//
// Thread rules: PostMessage and PostThreadMessage are safe from any thread. Every other call acts
// on the calling thread's queue or on windows owned by the calling thread.
#pragma once

#include <string>

#include "WinTypes.h"

namespace vantrel {

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct WNDCLASS {
  UINT style = 0;
  WNDPROC lpfnWndProc = nullptr;
  int cbClsExtra = 0;
  int cbWndExtra = 0;  // bytes of extra slots; each slot is a LONG_PTR
  HINSTANCE hInstance = nullptr;
  const char* lpszClassName = nullptr;
};

// The parent that makes a window message-only; every window here is one, whatever its parent.
inline const HWND HWND_MESSAGE = reinterpret_cast<HWND>(static_cast<std::intptr_t>(-3));

// The module instance of the program.
HINSTANCE ProgramInstance();

// Registers a window class once per process; returns 0 when the name is already registered or
// the record is unusable.
ATOM RegisterClass(const WNDCLASS* wc);
// True when a class of that name is registered; fills *wc when given.
BOOL GetClassInfo(HINSTANCE instance, const char* className, WNDCLASS* wc);
BOOL UnregisterClass(const char* className, HINSTANCE instance);

// Creates a window owned by the calling thread (which gets a message queue if it has none).
// WM_CREATE is sent to the window procedure before the call returns.
HWND CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                    int x, int y, int width, int height, HWND parent, HMENU menu,
                    HINSTANCE instance, void* param);
// Destroys a window of the calling thread (WM_DESTROY is sent first). Messages still queued for it
// are dropped.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);

// Extra slots: index is a byte offset, a multiple of sizeof(LONG_PTR), below cbWndExtra.
LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtr(HWND hwnd, int index);

// Queues a message for the window's owning thread. Fails (FALSE) for an unknown or destroyed
// window. Messages for one window are dispatched in the order posted.
BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues a message with no window for the given thread (from GetCurrentThreadId).
BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the window procedure directly; only on the owning thread.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Takes (PM_REMOVE) or looks at the next message of the calling thread, without waiting. Socket
// readiness and due timers are turned into messages first. Filters other than 0 restrict the
// window and the message range as on Windows.
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);
// Waits for and takes the next message. Returns FALSE for WM_QUIT, TRUE otherwise.
BOOL GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
// Blocks until the calling thread's queue may hold a message (spurious returns are allowed).
BOOL WaitMessage();
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessage(const MSG* msg);
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

// Timers post WM_TIMER (wParam = id) to the window on its owning thread every elapse
// milliseconds until killed. Returns the id, 0 on failure.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, void* reserved);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

DWORD GetCurrentThreadId();
// The thread that owns the window, 0 for an unknown window.
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId);

// Number of live windows in the process (for leak checks in tests).
int LiveWindowCount();

}  // namespace vantrel
