// The platform's procedures of the socket module on Windows: the lookups with 32-bit handles and
// the diagnostics. The graceful close is in LingeringSenderWin.cpp.
#include <cstdint>
#include <limits>

#include "WinSock.h"

namespace vantrel::wsock32 {
namespace {

HANDLE Narrow(::HANDLE Request) {
  const auto Value = reinterpret_cast<std::uintptr_t>(Request);
  if (Value <= std::numeric_limits<HANDLE>::max()) return static_cast<HANDLE>(Value);
  ::WSACancelAsyncRequest(Request);
  ::WSASetLastError(WSAENOBUFS);
  return 0;
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND hWnd, UINT wMsg, const char* name, char* buf, int buflen) {
  return Narrow(::WSAAsyncGetHostByName(hWnd, wMsg, name, buf, buflen));
}

HANDLE WSAAsyncGetHostByAddr(HWND hWnd, UINT wMsg, const char* addr, int len, int type, char* buf,
                             int buflen) {
  return Narrow(::WSAAsyncGetHostByAddr(hWnd, wMsg, addr, len, type, buf, buflen));
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
  return ::WSACancelAsyncRequest(
      reinterpret_cast<::HANDLE>(static_cast<std::uintptr_t>(asyncTaskHandle)));
}

bool IsStarted() {
  // Before WSAStartup every call but the start-up ones fails with WSANOTINITIALISED.
  const int Saved = ::WSAGetLastError();
  const bool Started =
      ::closesocket(INVALID_SOCKET) == 0 || ::WSAGetLastError() != WSANOTINITIALISED;
  ::WSASetLastError(Saved);
  return Started;
}

}  // namespace vantrel::wsock32
