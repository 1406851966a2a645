// Start-up, and the calls that create, connect, accept and close sockets.
#include "PosixSockets.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "AsyncLookup.h"
#include "AsyncSelect.h"
#include "LingeringSender.h"
#include "WinSockCallSupport.h"
#include "WinSockErrors.h"
#include "WinSockState.h"

namespace vantrel::wsock32 {

using detail::Fail;
using detail::Lookup;

namespace {

constexpr WORD kVersion11 = 0x0101;

// connect() outcomes that Linux may give at once on loopback; Windows reports them only through
// FD_CONNECT, after answering would-block.
bool IsConnectOutcome(int err) {
  return err == ECONNREFUSED || err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH;
}

// Errors of connections that died before accept() took them. Windows never hands those over.
bool IsDeadConnectionError(int err) {
  switch (err) {
    case ECONNABORTED:
    case ENETDOWN:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

int SendQueueBytes(int fd) {
  int n = 0;
  if (::ioctl(fd, posix::kSiocOutq, &n) != 0) return 0;
  return n;
}

// Closes the socket the way closesocket does once it may go ahead.
void Release(std::shared_ptr<SocketEntry> e, bool abortive) {
  if (abortive) {
    ::linger reset{1, 0};
    ::setsockopt(e->fd.Get(), posix::kSolSocket, posix::kSoLinger, &reset, sizeof reset);
  }
  StopWatching(*e);
  // The descriptor closes with the last reference (a call still running on another thread keeps
  // it valid until it returns).
}

bool Live(const SocketEntry& e) {
  return e.IsStream() && (e.phase == spConnected || e.phase == spConnecting);
}

bool Abortive(const SocketEntry& e) {
  return Live(e) && e.lingerOn;
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
  // Major version in the low byte; 1.1 is the only one served, a higher request gets 1.1.
  const BYTE major = LoByte(versionRequested);
  const BYTE minor = HiByte(versionRequested);
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  if (data == nullptr) return WSAEFAULT;
  std::memset(data, 0, sizeof *data);
  data->wVersion = kVersion11;
  data->wHighVersion = kVersion11;
  std::strncpy(data->szDescription, "Vantrel Windows Sockets 1.1 over POSIX sockets",
               sizeof data->szDescription - 1);
  std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65467;
  WinSockAddStart();
  return 0;
}

int WSACleanup() {
  int left = WinSockRemoveStart();
  if (left < 0) return Fail(WSANOTINITIALISED);
  if (left == 0) {
    // As on Windows, the last clean-up ends every request and resets every socket still open.
    CancelAllLookups();
    for (auto& e : SocketTable::Instance().RemoveAll()) Release(e, Live(*e));
  }
  return 0;
}

int WSAGetLastError() {
  return WsaError();
}
void WSASetLastError(int error) {
  SetWsaError(error);
}

u_short htons(u_short v) {
  return ::htons(v);
}
u_short ntohs(u_short v) {
  return ::ntohs(v);
}
u_long htonl(u_long v) {
  return ::htonl(v);
}
u_long ntohl(u_long v) {
  return ::ntohl(v);
}

int OpenSocketCount() {
  return SocketTable::Instance().Count();
}
bool IsStarted() {
  return WinSockStarted();
}

SOCKET socket(int af, int type, int protocol) {
  if (!WinSockStarted()) {
    SetWsaError(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  int code = 0;
  if (af != AF_INET) {
    code = WSAEAFNOSUPPORT;
  } else if (type != SOCK_STREAM && type != SOCK_DGRAM) {
    code = WSAESOCKTNOSUPPORT;
  } else if (protocol != 0 && protocol != (type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP)) {
    code = WSAEPROTONOSUPPORT;
  }
  if (code != 0) {
    SetWsaError(code);
    return INVALID_SOCKET;
  }
  int posixType = (type == SOCK_STREAM ? posix::kSockStream : posix::kSockDgram);
  int fd = ::socket(posix::kAfInet, posixType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetWsaError(WsaErrorFromErrno(errno));
    return INVALID_SOCKET;
  }
  return SocketTable::Instance().Add(UniqueFd(fd), type)->handle;
}

int bind(SOCKET s, const SOCKADDR* name, int namelen) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  sockaddr_in a;
  int code = 0;
  if (!detail::ToSockaddr(name, namelen, a, &code)) return Fail(code);
  if (e->bound) return Fail(WSAEINVAL);
  if (::bind(e->fd.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
    return Fail(WsaErrorFromErrno(errno));
  e->bound = true;
  return 0;
}

int listen(SOCKET s, int backlog) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  if (!e->IsStream()) return Fail(WSAEOPNOTSUPP);
  if (e->phase == spConnecting || e->phase == spConnected) return Fail(WSAEISCONN);
  // Linux would bind to a port of its choosing; Windows wants bind() first.
  if (!e->bound) return Fail(WSAEINVAL);
  if (::listen(e->fd.Get(), backlog) != 0) return Fail(WsaErrorFromErrno(errno));
  if (e->phase != spListening) ListenStarted(*e);
  return 0;
}

SOCKET accept(SOCKET s, SOCKADDR* addr, int* addrlen) {
  auto e = Lookup(s);
  if (!e) return INVALID_SOCKET;
  int code = 0;
  if (e->phase != spListening) {
    code = WSAEINVAL;
  } else if (detail::BadAddressBuffer(addr, addrlen)) {
    code = WSAEFAULT;
  }
  if (code != 0) {
    SetWsaError(code);
    return INVALID_SOCKET;
  }
  sockaddr_in peer{};
  int fd;
  for (;;) {
    socklen_t len = sizeof peer;
    fd = ::accept4(e->fd.Get(), reinterpret_cast<sockaddr*>(&peer), &len,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) break;
    int err = errno;
    if (err == EINTR) continue;
    bool nothing = err == EAGAIN || IsDeadConnectionError(err);
    if (nothing && e->blocking) {
      detail::WaitFor(e->fd.Get(), POLLIN);
      continue;
    }
    AcceptCalled(*e);  // any accept re-enables FD_ACCEPT, a failing one too
    SetWsaError(nothing ? WSAEWOULDBLOCK : WsaErrorFromErrno(err));
    return INVALID_SOCKET;
  }
  auto accepted = SocketTable::Instance().Add(UniqueFd(fd), SOCK_STREAM);
  AcceptedFrom(*e, *accepted);
  AcceptCalled(*e);
  if (addr != nullptr) detail::FromSockaddr(peer, addr, addrlen);
  return accepted->handle;
}

int connect(SOCKET s, const SOCKADDR* name, int namelen) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  sockaddr_in a;
  int code = 0;
  if (!detail::ToSockaddr(name, namelen, a, &code)) return Fail(code);
  int fd = e->fd.Get();
  if (!e->IsStream()) {
    // A datagram connect only sets the default peer.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
      return Fail(WsaErrorFromErrno(errno));
    e->bound = true;
    return 0;
  }
  if (e->phase == spConnecting) {
    SettleConnect(*e);
    if (e->phase == spConnecting) return Fail(WSAEALREADY);
  }
  if (e->phase == spConnected) return Fail(WSAEISCONN);
  if (e->phase == spListening) return Fail(WSAEINVAL);
  // Linux would connect to itself for 0.0.0.0 and refuse port 0; Windows rejects both.
  if (a.sin_addr.s_addr == 0 || a.sin_port == 0) return Fail(WSAEADDRNOTAVAIL);

  int err = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
  if (err != 0 && err != EINPROGRESS && err != EINTR && !IsConnectOutcome(err))
    return Fail(WsaErrorFromErrno(err));
  ConnectStarted(*e, IsConnectOutcome(err) ? err : 0);
  if (!e->blocking) return Fail(WSAEWOULDBLOCK);
  if (e->connectErrno == 0) detail::WaitFor(fd, POLLOUT);
  SettleConnect(*e);
  if (e->phase == spConnected) return 0;
  code = e->connectError;
  e->connectError = 0;
  return Fail(code);
}

int shutdown(SOCKET s, int how) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  static constexpr int kHow[] = {SHUT_RD, SHUT_WR, SHUT_RDWR};
  if (how < SD_RECEIVE || how > SD_BOTH) return Fail(WSAEINVAL);
  if (e->IsStream()) {
    SettleConnect(*e);
    if (e->phase != spConnected) return Fail(WSAENOTCONN);
    if (e->stickyError != 0) return Fail(e->stickyError);
  }
  if (::shutdown(e->fd.Get(), kHow[how]) != 0) return Fail(WsaErrorFromErrno(errno));
  if (how != SD_SEND) e->shutRd = true;
  if (how != SD_RECEIVE) e->shutWr = true;
  // The epoll interest follows at the next report or change (a shut side is left out then): a
  // socket shut down on its way to closesocket costs no epoll_ctl for it.
  return 0;
}

int closesocket(SOCKET s) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  bool abortive = Abortive(*e) && e->lingerSeconds == 0;
  if (Abortive(*e) && e->lingerSeconds > 0 && e->stickyError == 0) {
    // Linux's close() would block for the linger time, non-blocking descriptor or not. Windows
    // answers would-block for a non-blocking socket whose data is not out yet, and resets the
    // connection once the time has run out.
    std::int64_t now = MonotonicMs();
    if (e->lingerDeadlineMs == 0) e->lingerDeadlineMs = now + 1000LL * e->lingerSeconds;
    while (SendQueueBytes(e->fd.Get()) > 0) {
      if (now >= e->lingerDeadlineMs) {
        abortive = true;
        break;
      }
      if (!e->blocking) return Fail(WSAEWOULDBLOCK);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      now = MonotonicMs();
    }
  }
  e = SocketTable::Instance().Remove(s);
  if (!e) return Fail(WSAENOTSOCK);  // closed by another thread meanwhile
  Release(std::move(e), abortive);
  return 0;
}

int CloseSocketAfterSending(SOCKET s, const char* buf, int len, int timeoutSeconds) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  if (len < 0) return Fail(WSAEINVAL);
  if (buf == nullptr && len > 0) return Fail(WSAEFAULT);
  if (!e->IsStream()) return Fail(WSAEOPNOTSUPP);
  SettleConnect(*e);
  if (e->phase != spConnected) return Fail(WSAENOTCONN);
  if (e->stickyError != 0) return Fail(e->stickyError);
  if (e->shutWr) return Fail(WSAESHUTDOWN);
  // The sender runs on the loop that watches the socket, which must be this thread's.
  if (e->watched && !e->queue->IsOwnerThread()) return Fail(WSAEINVAL);
  e = SocketTable::Instance().Remove(s);
  if (!e) return Fail(WSAENOTSOCK);
  StopWatching(*e);
  if (!StartLingeringSender(ThreadQueue::Current(), std::move(e->fd), std::string(buf, len),
                            timeoutSeconds)) {
    return Fail(WSAENOBUFS);  // the handle is gone all the same, the connection reset
  }
  return 0;
}

int PendingFlushCount() {
  return LingeringSenderCount();
}

int WSAAsyncSelect(SOCKET s, HWND hWnd, UINT wMsg, long lEvent) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  int code = SelectEvents(*e, hWnd, wMsg, lEvent);
  return code == 0 ? 0 : Fail(code);
}

}  // namespace vantrel::wsock32
