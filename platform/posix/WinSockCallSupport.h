// This is an internal header of the socket layer; include it after PosixSockets.h.
// Small helpers shared by the files that implement the socket calls.
#pragma once

#include <cerrno>
#include <cstring>
#include <memory>

#include "PosixSockets.h"
#include "WinSockState.h"

namespace vantrel::wsock32::detail {

// Sets the last error and returns SOCKET_ERROR.
inline int Fail(int code) {
  SetWsaError(code);
  return SOCKET_ERROR;
}

// The socket a call names; null, with the last error set, before start-up or for a handle that
// names no socket.
inline std::shared_ptr<SocketEntry> Lookup(SOCKET s) {
  if (!WinSockStarted()) {
    SetWsaError(WSANOTINITIALISED);
    return nullptr;
  }
  auto entry = SocketTable::Instance().Find(s);
  if (!entry) SetWsaError(WSAENOTSOCK);
  return entry;
}

// Reads a Windows IPv4 address record. False with *code set when it is unusable.
inline bool ToSockaddr(const SOCKADDR* name, int namelen, sockaddr_in& out, int* code) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) {
    *code = WSAEFAULT;
    return false;
  }
  SOCKADDR_IN in;
  std::memcpy(&in, name, sizeof in);
  if (in.sin_family != AF_INET) {
    *code = WSAEAFNOSUPPORT;
    return false;
  }
  out = sockaddr_in{};
  out.sin_family = posix::kAfInet;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.S_addr;
  return true;
}

inline void FromSockaddr(const sockaddr_in& in, SOCKADDR* name, int* namelen) {
  SOCKADDR_IN out;
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.S_addr = in.sin_addr.s_addr;
  std::memcpy(name, &out, sizeof out);
  *namelen = sizeof out;
}

// True when the caller's record is too small for an IPv4 address.
inline bool BadAddressBuffer(const SOCKADDR* name, const int* namelen) {
  return name != nullptr &&
         (namelen == nullptr || *namelen < static_cast<int>(sizeof(SOCKADDR_IN)));
}

// Emulated blocking mode: waits until the descriptor may be ready.
inline void WaitFor(int fd, short events) {
  pollfd p{fd, events, 0};
  while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace vantrel::wsock32::detail
