// This is a public header file.
// Message queues, hidden windows and timers: the system's own (windows.h), plus what the
// framework adds.
#pragma once

#include "WinTypes.h"

namespace vantrel {

// The module instance of the program.
HINSTANCE ProgramInstance();

// Number of live message-only windows of the process (for leak checks in tests).
int LiveWindowCount();

}  // namespace vantrel
