// Counts the process's handles in the system's handle table. GetProcessHandleCount would be the
// plain call, but Wine answers it with 0; the table (one entry per open handle of any process)
// is filled by both systems.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "LeakCheck.h"
#include "SocketIo.h"

namespace vantrel::test {
namespace {

constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);

struct HandleEntry {
  ULONG processId;
  UCHAR objectType;
  UCHAR flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};

struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};

using QueryFunction = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// Handles that the runtime opens once and keeps to the process's end are made before the first
// count, so that they never read as a leak.
bool WarmUp() {
  // The socket library's own.
  (void)detail::OpenLoopbackSocket(false, 0, 0, nullptr).Valid();
  // GoogleTest's thread-local values: the first trace of a thread starts a thread that watches
  // for its end, holding a handle to it.
  { SCOPED_TRACE("leak check"); }
  // MinGW-w64's thread library makes an event for its global lock the first time two threads
  // meet at it while starting or ending; threads started and joined in pairs make that happen.
  for (int i = 0; i < 64; ++i) {
    std::thread first([] {}), second([] {});
    first.join();
    second.join();
  }
  return true;
}

}  // namespace

int OpenDescriptorCount() {
  static const bool warm = WarmUp();
  (void)warm;
  static const auto query = reinterpret_cast<QueryFunction>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<std::uint64_t> buffer(1 << 14);  // 8-byte aligned, grown as the system asks
  for (;;) {
    ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof buffer[0]);
    LONG status = query(kSystemHandleInformation, buffer.data(), bytes, nullptr);
    if (status == kInfoLengthMismatch) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0) return -1;
    break;
  }
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    if (table->entries[i].processId == self) ++count;
  }
  return count;
}

}  // namespace vantrel::test
