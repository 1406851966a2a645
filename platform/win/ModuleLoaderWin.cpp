#include "ModuleLoader.h"

#include <cstring>
#include <iterator>

#include "WinSock.h"

namespace vantrel {
namespace {

::HMODULE SystemHandle(HMODULE Module) {
  return reinterpret_cast<::HMODULE>(Module);
}

// The procedures of the socket module that the platform provides itself.
struct TSocketAddition {
  const char* Name;
  FARPROC Proc;
};

const TSocketAddition SocketAdditions[] = {
    {"WSAAsyncGetHostByName", reinterpret_cast<FARPROC>(&wsock32::WSAAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", reinterpret_cast<FARPROC>(&wsock32::WSAAsyncGetHostByAddr)},
    {"WSACancelAsyncRequest", reinterpret_cast<FARPROC>(&wsock32::WSACancelAsyncRequest)},
    {"CloseSocketAfterSending", reinterpret_cast<FARPROC>(&wsock32::CloseSocketAfterSending)},
};

FARPROC SocketAddition(::HMODULE Module, const char* ProcName) {
  // The process links the socket module, so it is loaded whenever a caller could hold it.
  if (ProcName == nullptr || Module != GetModuleHandleA("wsock32.dll")) return nullptr;
  for (const TSocketAddition& Addition : SocketAdditions) {
    if (std::strcmp(Addition.Name, ProcName) == 0) return Addition.Proc;
  }
  return nullptr;
}

}  // namespace

HMODULE LoadLibrary(const char* fileName) {
  return reinterpret_cast<HMODULE>(LoadLibraryA(fileName));
}

BOOL FreeLibrary(HMODULE module) {
  return ::FreeLibrary(SystemHandle(module));
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
  if (FARPROC Own = SocketAddition(SystemHandle(module), procName)) return Own;
  return reinterpret_cast<FARPROC>(::GetProcAddress(SystemHandle(module), procName));
}

}  // namespace vantrel
