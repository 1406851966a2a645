#include "WinMessages.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ThreadQueue.h"

namespace vantrel {
namespace {

struct WindowRecord {
  WNDPROC proc = nullptr;
  std::vector<LONG_PTR> extra;
  std::shared_ptr<ThreadQueue> queue;
  DWORD threadId = 0;
  std::atomic<bool> alive{true};
};

struct WindowTable {
  std::mutex mutex;
  std::unordered_map<std::string, WNDCLASS> classes;
  std::unordered_map<std::string, std::string> classNames;  // keeps lpszClassName storage
  std::unordered_map<std::uintptr_t, std::shared_ptr<WindowRecord>> windows;
  std::uintptr_t nextId = 0x10000;
};

WindowTable& Table() {
  static WindowTable* table = new WindowTable();  // lives to process end: windows may outlive main
  return *table;
}

std::uintptr_t Id(HWND h) {
  return reinterpret_cast<std::uintptr_t>(h);
}

std::shared_ptr<WindowRecord> Find(HWND hwnd) {
  if (hwnd == nullptr) return nullptr;
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.windows.find(Id(hwnd));
  return it == t.windows.end() ? nullptr : it->second;
}

// A window of the calling thread, or null.
std::shared_ptr<WindowRecord> FindOwn(HWND hwnd) {
  auto w = Find(hwnd);
  if (w && w->threadId != GetCurrentThreadId()) return nullptr;
  return w;
}

}  // namespace

HINSTANCE ProgramInstance() {
  static char anchor;
  return reinterpret_cast<HINSTANCE>(&anchor);
}

DWORD GetCurrentThreadId() {
  thread_local DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
  return id;
}

ATOM RegisterClass(const WNDCLASS* wc) {
  if (wc == nullptr || wc->lpszClassName == nullptr || wc->lpfnWndProc == nullptr ||
      wc->cbWndExtra < 0)
    return 0;
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  std::string name = wc->lpszClassName;
  if (t.classes.count(name)) return 0;
  auto& stored = t.classNames[name] = name;
  WNDCLASS copy = *wc;
  copy.lpszClassName = stored.c_str();
  t.classes[name] = copy;
  return static_cast<ATOM>(0xC000 + t.classes.size());
}

BOOL GetClassInfo(HINSTANCE, const char* className, WNDCLASS* wc) {
  if (className == nullptr) return FALSE;
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.classes.find(className);
  if (it == t.classes.end()) return FALSE;
  if (wc) *wc = it->second;
  return TRUE;
}

BOOL UnregisterClass(const char* className, HINSTANCE) {
  if (className == nullptr) return FALSE;
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  return t.classes.erase(className) ? TRUE : FALSE;
}

HWND CreateWindowEx(DWORD, const char* className, const char*, DWORD, int, int, int, int, HWND,
                    HMENU, HINSTANCE, void*) {
  if (className == nullptr) return nullptr;
  auto rec = std::make_shared<WindowRecord>();
  HWND hwnd;
  {
    auto& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.classes.find(className);
    if (it == t.classes.end()) return nullptr;
    rec->proc = it->second.lpfnWndProc;
    rec->extra.assign((it->second.cbWndExtra + sizeof(LONG_PTR) - 1) / sizeof(LONG_PTR), 0);
    rec->queue = ThreadQueue::CurrentShared();
    rec->threadId = GetCurrentThreadId();
    hwnd = reinterpret_cast<HWND>(t.nextId++);
    t.windows[Id(hwnd)] = rec;
  }
  rec->proc(hwnd, WM_CREATE, 0, 0);
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  auto rec = FindOwn(hwnd);
  if (!rec) return FALSE;
  rec->proc(hwnd, WM_DESTROY, 0, 0);
  rec->alive = false;
  rec->queue->KillTimers(hwnd);
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  t.windows.erase(Id(hwnd));
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  return Find(hwnd) ? TRUE : FALSE;
}

int LiveWindowCount() {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  return static_cast<int>(t.windows.size());
}

LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value) {
  auto rec = Find(hwnd);
  if (!rec || index < 0 || index % static_cast<int>(sizeof(LONG_PTR)) != 0) return 0;
  std::size_t slot = index / sizeof(LONG_PTR);
  if (slot >= rec->extra.size()) return 0;
  LONG_PTR old = rec->extra[slot];
  rec->extra[slot] = value;
  return old;
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int index) {
  auto rec = Find(hwnd);
  if (!rec || index < 0 || index % static_cast<int>(sizeof(LONG_PTR)) != 0) return 0;
  std::size_t slot = index / sizeof(LONG_PTR);
  return slot < rec->extra.size() ? rec->extra[slot] : 0;
}

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto rec = Find(hwnd);
  if (!rec || !rec->alive) return FALSE;
  rec->queue->Post(MSG{hwnd, msg, wParam, lParam});
  return TRUE;
}

BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto q = ThreadQueue::ForThread(threadId);
  if (!q) return FALSE;
  if (msg == WM_QUIT) {
    q->PostQuit(static_cast<int>(wParam));
  } else {
    q->Post(MSG{nullptr, msg, wParam, lParam});
  }
  return TRUE;
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto rec = FindOwn(hwnd);
  if (!rec || !rec->alive) return 0;
  return rec->proc(hwnd, msg, wParam, lParam);
}

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
  if (msg == nullptr) return FALSE;
  auto& q = ThreadQueue::Current();
  for (;;) {
    if (!q.Take(*msg, hwnd, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0)) return FALSE;
    // A message for a window destroyed since it was posted is dropped.
    if (msg->hwnd != nullptr && !Find(msg->hwnd)) {
      if (!(removeFlags & PM_REMOVE)) {
        // Remove it filtered on the dead window: when a take-hook declines the message, the
        // removal must not run on into a live window's message and lose it.
        MSG dropped;
        q.Take(dropped, msg->hwnd, 0, 0, true);
      }
      continue;
    }
    return TRUE;
  }
}

BOOL GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (msg == nullptr) return FALSE;
  auto& q = ThreadQueue::Current();
  while (!PeekMessage(msg, hwnd, filterMin, filterMax, PM_REMOVE)) q.Wait();
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WaitMessage() {
  ThreadQueue::Current().Wait();
  return TRUE;
}

// Keyboard translation has no counterpart for hidden windows.
BOOL TranslateMessage(const MSG*) {
  return FALSE;
}

LRESULT DispatchMessage(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  auto rec = FindOwn(msg->hwnd);
  if (!rec || !rec->alive) return 0;
  return rec->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}

void PostQuitMessage(int exitCode) {
  ThreadQueue::Current().PostQuit(exitCode);
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, void*) {
  auto rec = FindOwn(hwnd);
  if (!rec) return 0;
  if (id == 0) id = 1;
  rec->queue->SetTimer(hwnd, id, elapseMs);
  return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  auto rec = FindOwn(hwnd);
  if (!rec) return FALSE;
  return rec->queue->KillTimer(hwnd, id) ? TRUE : FALSE;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
  auto rec = Find(hwnd);
  if (processId) *processId = static_cast<DWORD>(getpid());
  return rec ? rec->threadId : 0;
}

}  // namespace vantrel
