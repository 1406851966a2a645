// This is a public header file.
// Loading modules and looking procedures up by name. The modules are built in: "wsock32.dll"
// names the socket layer (WinSock.h). Names compare without regard to case, as on Windows.
#pragma once

#include <string>

#include "WinTypes.h"

namespace vantrel {

using FARPROC = void (*)();

constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_INVALID_HANDLE = 6;

// Loads a built-in module (reference counted); null with GetLastError() = ERROR_MOD_NOT_FOUND.
HMODULE LoadLibrary(const char* fileName);
BOOL FreeLibrary(HMODULE module);
// Null with GetLastError() = ERROR_PROC_NOT_FOUND when the module has no such procedure.
FARPROC GetProcAddress(HMODULE module, const char* procName);
// The loader's last error of the calling thread.
DWORD GetLastError();
void SetLastError(DWORD error);

// Casts a looked-up procedure to its real type.
template <class Fn>
Fn ProcAs(FARPROC p) {
  return reinterpret_cast<Fn>(p);
}

}  // namespace vantrel
