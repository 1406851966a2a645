// The built-in module table behind LoadLibrary/GetProcAddress/FreeLibrary.
#include "ModuleLoader.h"

#include <strings.h>

#include <cstring>
#include <mutex>
#include <string>

#include "WinSock.h"

namespace vantrel {
namespace {

struct Procedure {
  const char* name;
  FARPROC address;
};

template <class Fn>
FARPROC Proc(Fn* fn) {
  return reinterpret_cast<FARPROC>(fn);
}

// Every operation of WinSock.h under its Windows name (procedure names are case-sensitive, as
// GetProcAddress's are).
const Procedure kWsock32[] = {
    {"WSAStartup", Proc(&wsock32::WSAStartup)},
    {"WSACleanup", Proc(&wsock32::WSACleanup)},
    {"WSAGetLastError", Proc(&wsock32::WSAGetLastError)},
    {"WSASetLastError", Proc(&wsock32::WSASetLastError)},
    {"WSAAsyncSelect", Proc(&wsock32::WSAAsyncSelect)},
    {"WSAAsyncGetHostByName", Proc(&wsock32::WSAAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", Proc(&wsock32::WSAAsyncGetHostByAddr)},
    {"WSACancelAsyncRequest", Proc(&wsock32::WSACancelAsyncRequest)},
    {"gethostbyname", Proc(&wsock32::gethostbyname)},
    {"getservbyname", Proc(&wsock32::getservbyname)},
    {"getprotobyname", Proc(&wsock32::getprotobyname)},
    {"inet_addr", Proc(&wsock32::inet_addr)},
    {"inet_ntoa", Proc(&wsock32::inet_ntoa)},
    {"htons", Proc(&wsock32::htons)},
    {"ntohs", Proc(&wsock32::ntohs)},
    {"htonl", Proc(&wsock32::htonl)},
    {"ntohl", Proc(&wsock32::ntohl)},
    {"socket", Proc(&wsock32::socket)},
    {"bind", Proc(&wsock32::bind)},
    {"listen", Proc(&wsock32::listen)},
    {"accept", Proc(&wsock32::accept)},
    {"connect", Proc(&wsock32::connect)},
    {"setsockopt", Proc(&wsock32::setsockopt)},
    {"getsockopt", Proc(&wsock32::getsockopt)},
    {"getsockname", Proc(&wsock32::getsockname)},
    {"getpeername", Proc(&wsock32::getpeername)},
    {"ioctlsocket", Proc(&wsock32::ioctlsocket)},
    {"send", Proc(&wsock32::send)},
    {"sendto", Proc(&wsock32::sendto)},
    {"recv", Proc(&wsock32::recv)},
    {"recvfrom", Proc(&wsock32::recvfrom)},
    {"shutdown", Proc(&wsock32::shutdown)},
    {"closesocket", Proc(&wsock32::closesocket)},
    {"CloseSocketAfterSending", Proc(&wsock32::CloseSocketAfterSending)},
};

struct Module {
  const char* fileName;
  const Procedure* procedures;
  std::size_t count;
  std::uintptr_t handle;  // an identifier, never an address
  int references;
};

struct Loader {
  std::mutex mutex;
  Module modules[1] = {{"wsock32.dll", kWsock32, std::size(kWsock32), 0x71AB0000u, 0}};
};

Loader& TheLoader() {
  static Loader loader;
  return loader;
}

thread_local DWORD lastError = 0;

// Windows adds ".dll" to a name without an extension and ignores case.
std::string Normalise(const char* fileName) {
  std::string name = fileName;
  std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (name.find('.') == std::string::npos) name += ".dll";
  return name;
}

// A loaded module with that handle, or null. Caller holds the loader's mutex.
Module* FindLoaded(Loader& l, HMODULE module) {
  for (auto& m : l.modules) {
    if (m.references > 0 && reinterpret_cast<HMODULE>(m.handle) == module) return &m;
  }
  return nullptr;
}

}  // namespace

HMODULE LoadLibrary(const char* fileName) {
  if (fileName != nullptr) {
    std::string name = Normalise(fileName);
    auto& l = TheLoader();
    std::lock_guard lock(l.mutex);
    for (auto& m : l.modules) {
      if (::strcasecmp(m.fileName, name.c_str()) == 0) {
        ++m.references;
        return reinterpret_cast<HMODULE>(m.handle);
      }
    }
  }
  lastError = ERROR_MOD_NOT_FOUND;
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  auto& l = TheLoader();
  std::lock_guard lock(l.mutex);
  Module* m = FindLoaded(l, module);
  if (m == nullptr) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  --m->references;
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
  auto& l = TheLoader();
  std::lock_guard lock(l.mutex);
  Module* m = FindLoaded(l, module);
  if (m == nullptr) {
    lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (procName != nullptr) {
    for (std::size_t i = 0; i < m->count; ++i) {
      if (std::strcmp(m->procedures[i].name, procName) == 0) return m->procedures[i].address;
    }
  }
  lastError = ERROR_PROC_NOT_FOUND;
  return nullptr;
}

DWORD GetLastError() {
  return lastError;
}
void SetLastError(DWORD error) {
  lastError = error;
}

}  // namespace vantrel
