// setsockopt, getsockopt, ioctlsocket, getsockname and getpeername.
#include "PosixSockets.h"

#include <cerrno>
#include <cstring>

#include "AsyncSelect.h"
#include "WinSockCallSupport.h"
#include "WinSockErrors.h"
#include "WinSockState.h"

namespace vantrel::wsock32 {

using detail::Fail;
using detail::Lookup;

namespace {

// Boolean and integer options that go straight to the descriptor: Windows (level, name) to
// Linux (level, name).
struct PlainOption {
  int level;
  int name;
  int posixLevel;
  int posixName;
};

constexpr PlainOption kPlainOptions[] = {
    {SOL_SOCKET, SO_REUSEADDR, posix::kSolSocket, posix::kSoReuseAddr},
    {SOL_SOCKET, SO_KEEPALIVE, posix::kSolSocket, posix::kSoKeepAlive},
    {SOL_SOCKET, SO_DONTROUTE, posix::kSolSocket, posix::kSoDontRoute},
    {SOL_SOCKET, SO_BROADCAST, posix::kSolSocket, posix::kSoBroadcast},
    {SOL_SOCKET, SO_OOBINLINE, posix::kSolSocket, posix::kSoOobInline},
    {IPPROTO_TCP, TCP_NODELAY, posix::kIpprotoTcp, posix::kTcpNoDelay},
};

const PlainOption* FindPlain(int level, int name) {
  for (const auto& o : kPlainOptions) {
    if (o.level == level && o.name == name) return &o;
  }
  return nullptr;
}

bool KnownLevel(int level) {
  return level == SOL_SOCKET || level == IPPROTO_TCP;
}

int ReadInt(const char* optval) {
  int v;
  std::memcpy(&v, optval, sizeof v);
  return v;
}

// Writes an int result, truncated to a shorter buffer as Windows does for BOOL options.
int WriteInt(int value, char* optval, int* optlen) {
  if (*optlen < 1) return WSAEFAULT;
  int n = *optlen < static_cast<int>(sizeof value) ? *optlen : static_cast<int>(sizeof value);
  std::memcpy(optval, &value, n);
  *optlen = n;
  return 0;
}

int PosixIntOption(int fd, int level, int name, int* value) {
  socklen_t len = sizeof *value;
  return ::getsockopt(fd, level, name, value, &len) == 0 ? 0 : WsaErrorFromErrno(errno);
}

int GetSocketError(SocketEntry& e, int* value) {
  SettleConnect(e);
  if (e.connectError != 0) {
    *value = e.connectError;  // read once, like the error it stands for
    e.connectError = 0;
    return 0;
  }
  if (e.stickyError != 0) {
    *value = e.stickyError;
    return 0;
  }
  int err = 0;
  int code = PosixIntOption(e.fd.Get(), posix::kSolSocket, posix::kSoError, &err);
  if (code != 0) return code;
  if (err != 0 && e.IsStream() && e.phase == spConnected) {
    // Reading SO_ERROR clears it in Linux; keep the loss so that the events still see it.
    ConnectionLost(e, WsaCloseErrorFromErrno(err));
    *value = e.stickyError;
    return 0;
  }
  if (!e.IsStream() && err == 0 && e.datagramError != 0) {
    *value = e.datagramError;
    e.datagramError = 0;
    return 0;
  }
  *value = !e.IsStream() && err == ECONNREFUSED ? WSAECONNRESET : WsaErrorFromErrno(err);
  return 0;
}

}  // namespace

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  if (!KnownLevel(level)) return Fail(WSAEINVAL);
  if (optval == nullptr) return Fail(WSAEFAULT);
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (optlen < static_cast<int>(sizeof(LINGER))) return Fail(WSAEFAULT);
    if (!e->IsStream()) return Fail(WSAENOPROTOOPT);
    LINGER l;
    std::memcpy(&l, optval, sizeof l);
    // Kept here and applied by closesocket: a lingering close() would block the thread.
    e->lingerOn = l.l_onoff != 0;
    e->lingerSeconds = l.l_linger;
    return 0;
  }
  if (optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
  int value = ReadInt(optval);
  int fd = e->fd.Get();
  if (const PlainOption* o = FindPlain(level, optname)) {
    int on = value != 0 ? 1 : 0;
    if (::setsockopt(fd, o->posixLevel, o->posixName, &on, sizeof on) != 0)
      return Fail(WsaErrorFromErrno(errno));
    if (optname == SO_OOBINLINE && level == SOL_SOCKET) e->oobInline = on != 0;
    return 0;
  }
  if (level == SOL_SOCKET && (optname == SO_SNDBUF || optname == SO_RCVBUF)) {
    if (value < 0) return Fail(WSAEINVAL);
    bool snd = optname == SO_SNDBUF;
    if (::setsockopt(fd, posix::kSolSocket, snd ? posix::kSoSndBuf : posix::kSoRcvBuf, &value,
                     sizeof value) != 0)
      return Fail(WsaErrorFromErrno(errno));
    (snd ? e->sndBuf : e->rcvBuf) = value;
    return 0;
  }
  if (level == SOL_SOCKET && optname == SO_DEBUG) return 0;  // accepted, as Windows does
  return Fail(WSAENOPROTOOPT);
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  if (!KnownLevel(level)) return Fail(WSAEINVAL);
  if (optval == nullptr || optlen == nullptr) return Fail(WSAEFAULT);
  int fd = e->fd.Get();
  int value = 0;
  int code = 0;
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (*optlen < static_cast<int>(sizeof(LINGER))) return Fail(WSAEFAULT);
    if (!e->IsStream()) return Fail(WSAENOPROTOOPT);
    LINGER l{static_cast<u_short>(e->lingerOn ? 1 : 0), e->lingerSeconds};
    std::memcpy(optval, &l, sizeof l);
    *optlen = sizeof l;
    return 0;
  }
  if (const PlainOption* o = FindPlain(level, optname)) {
    code = PosixIntOption(fd, o->posixLevel, o->posixName, &value);
    value = value != 0 ? 1 : 0;
  } else if (level != SOL_SOCKET) {
    code = WSAENOPROTOOPT;
  } else if (optname == SO_SNDBUF || optname == SO_RCVBUF) {
    bool snd = optname == SO_SNDBUF;
    value = snd ? e->sndBuf : e->rcvBuf;
    if (value == 0) {
      code =
          PosixIntOption(fd, posix::kSolSocket, snd ? posix::kSoSndBuf : posix::kSoRcvBuf, &value);
    }
  } else if (optname == SO_ERROR) {
    code = GetSocketError(*e, &value);
  } else if (optname == SO_TYPE) {
    value = e->type;
  } else if (optname == SO_ACCEPTCONN) {
    value = e->phase == spListening ? 1 : 0;
  } else if (optname == SO_DEBUG) {
    value = 0;
  } else {
    code = WSAENOPROTOOPT;
  }
  if (code == 0) code = WriteInt(value, optval, optlen);
  return code == 0 ? 0 : Fail(code);
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  if (argp == nullptr) return Fail(WSAEFAULT);
  if (cmd == FIONBIO) {
    if (*argp == 0) {
      // Windows: a socket registered with WSAAsyncSelect cannot be made blocking.
      if (e->mask != 0) return Fail(WSAEINVAL);
      e->blocking = true;
    } else {
      e->blocking = false;
    }
    return 0;
  }
  if (cmd == FIONREAD) {
    int n = 0;
    // Windows drops what was not read when a connection is reset.
    if (!(e->IsStream() && e->stickyError != 0) &&
        ::ioctl(e->fd.Get(), posix::kFionread, &n) != 0) {
      if (errno != EINVAL) return Fail(WsaErrorFromErrno(errno));
      n = 0;  // a listening socket: nothing to read
    }
    *argp = static_cast<u_long>(n < 0 ? 0 : n);
    return 0;
  }
  return Fail(WSAEINVAL);
}

int getsockname(SOCKET s, SOCKADDR* name, int* namelen) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  if (name == nullptr || detail::BadAddressBuffer(name, namelen)) return Fail(WSAEFAULT);
  if (!e->bound) return Fail(WSAEINVAL);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(e->fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return Fail(WsaErrorFromErrno(errno));
  detail::FromSockaddr(a, name, namelen);
  return 0;
}

int getpeername(SOCKET s, SOCKADDR* name, int* namelen) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  if (name == nullptr || detail::BadAddressBuffer(name, namelen)) return Fail(WSAEFAULT);
  if (e->IsStream()) SettleConnect(*e);
  if (e->IsStream() && e->phase != spConnected) return Fail(WSAENOTCONN);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getpeername(e->fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return Fail(WsaErrorFromErrno(errno));
  detail::FromSockaddr(a, name, namelen);
  return 0;
}

}  // namespace vantrel::wsock32
