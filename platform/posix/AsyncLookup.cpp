// WSAAsyncGetHostByName, WSAAsyncGetHostByAddr and WSACancelAsyncRequest: a small pool of
// worker threads runs the system resolver; the result is copied into the caller's buffer on the
// thread that owns the window, when the completion message is taken from its queue.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "AsyncLookup.h"
#include "HostDatabase.h"
#include "ThreadQueue.h"
#include "WinMessages.h"
#include "WinSock.h"
#include "WinSockState.h"

namespace vantrel {
namespace {

constexpr std::size_t kMaxWorkers = 4;

struct Request {
  HANDLE handle = 0;
  HWND window = nullptr;
  UINT message = 0;
  bool byAddress = false;
  std::string name;
  std::uint32_t address = 0;
  char* buffer = nullptr;
  int bufferLength = 0;
  std::shared_ptr<ThreadQueue> queue;  // of the window's thread; dropped once posted
  // Written by the worker before posting, read by the owner thread after.
  int error = 0;
  std::size_t needed = 0;
  std::vector<char> image;  // the HOSTENT as it will sit in the caller's buffer
  bool cancelled = false;   // guarded by Shared::mutex
};

// What the workers and the queued completions share; it outlives the pool object if needed.
struct Shared {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::shared_ptr<Request>> waiting;
  // Started and neither delivered nor cancelled: the requests a cancel can still stop.
  std::unordered_map<HANDLE, std::shared_ptr<Request>> live;
  std::size_t idle = 0;
  bool stopping = false;
  HANDLE next = 1;
};

// Runs on the window's thread when the completion is taken: writes the result, unless the
// request was cancelled or the window (and with it, probably, the buffer) is gone.
bool Deliver(const std::shared_ptr<Shared>& shared, const std::shared_ptr<Request>& r, MSG& m) {
  bool windowAlive = IsWindow(m.hwnd) != FALSE;
  std::lock_guard lock(shared->mutex);
  auto it = shared->live.find(r->handle);
  if (it == shared->live.end() || r->cancelled) return false;
  shared->live.erase(it);
  if (!windowAlive) return false;
  if (r->error == 0) std::memcpy(r->buffer, r->image.data(), r->image.size());
  return true;
}

void Resolve(Request& r) {
  HostRecord record;
  int code =
      r.byAddress ? ResolveHostAddress(r.address, &record) : ResolveHostName(r.name, &record);
  if (code != 0) {
    r.error = code;
    return;
  }
  // Laid out for the caller's buffer address now; only the owner thread copies it there.
  auto base = reinterpret_cast<std::uintptr_t>(r.buffer);
  r.needed = HostEntSize(record, base);
  if (r.needed > static_cast<std::size_t>(r.bufferLength)) {
    r.error = WSAENOBUFS;
    return;
  }
  r.image.resize(r.needed);
  WriteHostEnt(record, base, r.image.data());
}

void Complete(const std::shared_ptr<Shared>& shared, const std::shared_ptr<Request>& r) {
  // Caller holds shared->mutex.
  auto queue = std::move(r->queue);
  if (!queue) {
    shared->live.erase(r->handle);  // no window to tell
    return;
  }
  WORD length = 0;
  if (r->error == 0 || r->error == WSAENOBUFS)
    length = static_cast<WORD>(std::min<std::size_t>(r->needed, 0xFFFF));
  MSG m{r->window, r->message, r->handle, WSAMakeSelectReply(length, static_cast<WORD>(r->error))};
  queue->Post(m, [shared, r](MSG& taken) { return Deliver(shared, r, taken); });
}

void WorkerLoop(std::shared_ptr<Shared> shared) {
  std::unique_lock lock(shared->mutex);
  for (;;) {
    ++shared->idle;
    shared->wake.wait(lock, [&] { return shared->stopping || !shared->waiting.empty(); });
    --shared->idle;
    if (shared->stopping) return;
    auto r = std::move(shared->waiting.front());
    shared->waiting.pop_front();
    if (r->cancelled) continue;
    lock.unlock();
    Resolve(*r);
    lock.lock();
    if (!r->cancelled) Complete(shared, r);
  }
}

class LookupPool {
 public:
  static LookupPool& Instance() {
    static LookupPool pool;
    return pool;
  }

  ~LookupPool() {
    {
      std::lock_guard lock(shared_->mutex);
      shared_->stopping = true;
    }
    shared_->wake.notify_all();
    for (auto& t : workers_) t.join();
  }

  // Returns the request's handle, 0 when no worker could take it.
  HANDLE Start(std::shared_ptr<Request> r) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->idle == 0 && workers_.size() < kMaxWorkers) {
      try {
        workers_.emplace_back(WorkerLoop, shared_);
      } catch (const std::system_error&) {
        if (workers_.empty()) return 0;
      }
    }
    if (shared_->next == 0) shared_->next = 1;
    r->handle = shared_->next++;
    shared_->live.emplace(r->handle, r);
    shared_->waiting.push_back(r);
    shared_->wake.notify_one();
    return r->handle;
  }

  int Cancel(HANDLE h) {
    std::lock_guard lock(shared_->mutex);
    if (h == 0 || h >= shared_->next) return WSAEINVAL;
    auto it = shared_->live.find(h);
    if (it == shared_->live.end()) return WSAEALREADY;
    it->second->cancelled = true;
    shared_->live.erase(it);
    return 0;
  }

  void CancelAll() {
    std::lock_guard lock(shared_->mutex);
    for (auto& [handle, r] : shared_->live) r->cancelled = true;
    shared_->live.clear();
  }

  int PendingCount() {
    std::lock_guard lock(shared_->mutex);
    return static_cast<int>(shared_->live.size());
  }

 private:
  LookupPool() = default;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::vector<std::thread> workers_;  // guarded by shared_->mutex
};

HANDLE StartLookup(std::shared_ptr<Request> r, HWND window) {
  // Found now, on the caller's thread: the workers never touch the window table.
  r->queue = ThreadQueue::ForThread(GetWindowThreadProcessId(window, nullptr));
  r->window = window;
  HANDLE h = LookupPool::Instance().Start(std::move(r));
  if (h == 0) wsock32::WSASetLastError(WSAEWOULDBLOCK);
  return h;
}

}  // namespace

void CancelAllLookups() {
  LookupPool::Instance().CancelAll();
}

int PendingLookupCount() {
  return LookupPool::Instance().PendingCount();
}

namespace wsock32 {

HANDLE WSAAsyncGetHostByName(HWND hWnd, UINT wMsg, const char* name, char* buf, int buflen) {
  if (!WinSockStarted()) {
    SetWsaError(WSANOTINITIALISED);
    return 0;
  }
  if (name == nullptr || buf == nullptr || buflen < 0) {
    SetWsaError(WSAEFAULT);
    return 0;
  }
  auto r = std::make_shared<Request>();
  r->message = wMsg;
  r->name = name;
  r->buffer = buf;
  r->bufferLength = buflen;
  return StartLookup(std::move(r), hWnd);
}

HANDLE WSAAsyncGetHostByAddr(HWND hWnd, UINT wMsg, const char* addr, int len, int type, char* buf,
                             int buflen) {
  if (!WinSockStarted()) {
    SetWsaError(WSANOTINITIALISED);
    return 0;
  }
  if (addr == nullptr || buf == nullptr || buflen < 0 || len != 4) {
    SetWsaError(WSAEFAULT);
    return 0;
  }
  if (type != AF_INET) {
    SetWsaError(WSAEAFNOSUPPORT);
    return 0;
  }
  auto r = std::make_shared<Request>();
  r->message = wMsg;
  r->byAddress = true;
  std::memcpy(&r->address, addr, sizeof r->address);
  r->buffer = buf;
  r->bufferLength = buflen;
  return StartLookup(std::move(r), hWnd);
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
  if (!WinSockStarted()) {
    SetWsaError(WSANOTINITIALISED);
    return SOCKET_ERROR;
  }
  int code = LookupPool::Instance().Cancel(asyncTaskHandle);
  if (code == 0) return 0;
  SetWsaError(code);
  return SOCKET_ERROR;
}

}  // namespace wsock32
}  // namespace vantrel
