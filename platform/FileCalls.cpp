#include "FileCalls.h"

#include <cerrno>

namespace vantrel::filecalls {

bool WriteAll(int Fd, const void* Buffer, std::int64_t Count) {
  const auto* In = static_cast<const char*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Count) {
    const std::int64_t N = Write(Fd, In + Done, Count - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) return false;
    Done += N;
  }
  return true;
}

}  // namespace vantrel::filecalls
