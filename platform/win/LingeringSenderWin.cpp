// Graceful closes with bytes still to send, each carried out by a thread of its own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "WinSock.h"

namespace vantrel::wsock32 {
namespace {

using TClock = std::chrono::steady_clock;

std::atomic<int> PendingSenders{0};

// Waits until the socket is ready to write (or to read); false when the deadline passed first or
// the wait failed.
bool WaitReady(SOCKET Socket, bool ForWrite, TClock::time_point Deadline) {
  const auto Left = Deadline - TClock::now();
  if (Left <= TClock::duration::zero()) return false;
  const auto Micro = std::chrono::duration_cast<std::chrono::microseconds>(Left).count();
  TIMEVAL Timeout{static_cast<long>(Micro / 1000000), static_cast<long>(Micro % 1000000)};
  fd_set Set;
  FD_ZERO(&Set);
  FD_SET(Socket, &Set);
  const int Ready = ::select(0, ForWrite ? nullptr : &Set, ForWrite ? &Set : nullptr, nullptr,
                             &Timeout);
  return Ready > 0;
}

void SetLinger(SOCKET Socket, u_short OnOff) {
  const LINGER Linger{OnOff, 0};
  ::setsockopt(Socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Linger),
               sizeof Linger);
}

// Sends every byte, ends the stream and drops what the peer still sends until it closes. True
// when every byte went to the system; Closed tells whether the peer has closed too.
bool Deliver(SOCKET Socket, const std::string& Bytes, TClock::time_point Deadline, bool& Closed) {
  std::size_t Sent = 0;
  while (Sent < Bytes.size()) {
    if (!WaitReady(Socket, true, Deadline)) return false;
    const int Chunk = static_cast<int>(std::min<std::size_t>(Bytes.size() - Sent, INT_MAX));
    const int Done = ::send(Socket, Bytes.data() + Sent, Chunk, 0);
    if (Done == SOCKET_ERROR) {
      if (::WSAGetLastError() == WSAEWOULDBLOCK) continue;
      return false;
    }
    Sent += static_cast<std::size_t>(Done);
  }
  if (::shutdown(Socket, SD_SEND) != 0) return false;
  // Unread input would turn the close into a reset: read it until the peer closes.
  char Sink[4096];
  while (WaitReady(Socket, false, Deadline)) {
    const int Got = ::recv(Socket, Sink, sizeof Sink, 0);
    if (Got > 0 || (Got == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK)) continue;
    Closed = true;
    break;
  }
  return true;
}

void RunSender(SOCKET Socket, const std::string& Bytes, int TimeoutSeconds) {
  const auto Deadline = TClock::now() + std::chrono::seconds(std::max(TimeoutSeconds, 0));
  bool Closed = false;
  // Bytes the system never took are lost: the peer must see a reset, not an orderly end. When
  // they all went out but the peer kept the connection open, the system finishes the delivery.
  SetLinger(Socket, Deliver(Socket, Bytes, Deadline, Closed) ? 0 : 1);
  ::closesocket(Socket);
  ::WSACleanup();
  --PendingSenders;
}

bool IsConnectedStream(SOCKET Socket) {
  int Type = 0;
  int TypeLength = sizeof Type;
  SOCKADDR_IN Peer{};
  int PeerLength = sizeof Peer;
  return ::getsockopt(Socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&Type),
                      &TypeLength) == 0 &&
         Type == SOCK_STREAM &&
         ::getpeername(Socket, reinterpret_cast<SOCKADDR*>(&Peer), &PeerLength) == 0;
}

}  // namespace

int CloseSocketAfterSending(SOCKET s, const char* buf, int len, int timeoutSeconds) {
  if (len < 0 || (len > 0 && buf == nullptr)) {
    ::WSASetLastError(WSAEFAULT);
    return SOCKET_ERROR;
  }
  if (!IsConnectedStream(s)) {
    if (::WSAGetLastError() == 0) ::WSASetLastError(WSAENOTCONN);
    return SOCKET_ERROR;
  }
  // A send of nothing fails on a socket whose sending side is shut.
  if (::send(s, "", 0, 0) == SOCKET_ERROR) return SOCKET_ERROR;
  // No more notices: the socket is the sender's from here on (it stays non-blocking).
  if (::WSAAsyncSelect(s, nullptr, 0, 0) == SOCKET_ERROR) return SOCKET_ERROR;
  // The sender's own start-up keeps the library running for it after the caller's WSACleanup.
  WSADATA Data{};
  if (::WSAStartup(0x0101, &Data) != 0) {
    SetLinger(s, 1);
    ::closesocket(s);
    ::WSASetLastError(WSAENOBUFS);
    return SOCKET_ERROR;
  }
  ++PendingSenders;
  try {
    std::string Bytes = len > 0 ? std::string(buf, static_cast<std::size_t>(len)) : std::string();
    std::thread(RunSender, s, std::move(Bytes), timeoutSeconds)
        .detach();
  } catch (...) {
    --PendingSenders;
    SetLinger(s, 1);
    ::closesocket(s);
    ::WSACleanup();
    ::WSASetLastError(WSAENOBUFS);
    return SOCKET_ERROR;
  }
  return 0;
}

int PendingFlushCount() {
  return PendingSenders.load();
}

}  // namespace vantrel::wsock32
