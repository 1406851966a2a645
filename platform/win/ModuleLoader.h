// This is a public header file.
// Loading modules and looking procedures up by name, with the system's loader. A module handle is
// the platform's own type, so that GetProcAddress here is the one called: for "wsock32.dll" it
// hands out the platform's versions of the procedures WinSock.h declares itself (the 32-bit
// lookup handles, CloseSocketAfterSending), and the system's entries for all others.
#pragma once

#include "WinTypes.h"

#undef LoadLibrary

namespace vantrel {

struct TModule;
using HMODULE = TModule*;
using FARPROC = void (*)();

HMODULE LoadLibrary(const char* fileName);
BOOL FreeLibrary(HMODULE module);
FARPROC GetProcAddress(HMODULE module, const char* procName);

// Casts a looked-up procedure to its real type.
template <class Fn>
Fn ProcAs(FARPROC p) {
  return reinterpret_cast<Fn>(p);
}

}  // namespace vantrel
