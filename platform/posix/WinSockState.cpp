#include "WinSockState.h"

#include <unistd.h>

#include <chrono>

namespace vantrel {
namespace {

std::atomic<int> startCount{0};
thread_local int lastError = 0;

}  // namespace

SocketTable& SocketTable::Instance() {
  static SocketTable table;
  return table;
}

std::shared_ptr<SocketEntry> SocketTable::Add(UniqueFd fd, int type) {
  std::lock_guard lock(mutex_);
  SOCKET h = next_++;
  auto entry = std::make_shared<SocketEntry>(h, std::move(fd), type);
  sockets_.emplace(h, entry);
  return entry;
}

std::shared_ptr<SocketEntry> SocketTable::Find(SOCKET s) const {
  std::lock_guard lock(mutex_);
  auto it = sockets_.find(s);
  return it == sockets_.end() ? nullptr : it->second;
}

std::shared_ptr<SocketEntry> SocketTable::Remove(SOCKET s) {
  std::lock_guard lock(mutex_);
  auto it = sockets_.find(s);
  if (it == sockets_.end()) return nullptr;
  auto entry = std::move(it->second);
  sockets_.erase(it);
  return entry;
}

std::vector<std::shared_ptr<SocketEntry>> SocketTable::RemoveAll() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<SocketEntry>> all;
  all.reserve(sockets_.size());
  for (auto& [handle, entry] : sockets_) all.push_back(std::move(entry));
  sockets_.clear();
  return all;
}

int SocketTable::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(sockets_.size());
}

bool WinSockStarted() {
  return startCount.load() > 0;
}

int WinSockAddStart() {
  return ++startCount;
}

int WinSockRemoveStart() {
  int current = startCount.load();
  while (current > 0 && !startCount.compare_exchange_weak(current, current - 1)) {
  }
  return current > 0 ? current - 1 : -1;
}

void SetWsaError(int code) {
  lastError = code;
}
int WsaError() {
  return lastError;
}

std::int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace vantrel
