#include <windows.h>

#include "LeakCheck.h"

namespace vantrel::test {

int OpenDescriptorCount() {
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
  return static_cast<int>(count);
}

}  // namespace vantrel::test
