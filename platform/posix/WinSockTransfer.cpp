// send, sendto, recv and recvfrom.
#include "PosixSockets.h"

#include <cerrno>

#include "AsyncSelect.h"
#include "WinSockCallSupport.h"
#include "WinSockErrors.h"
#include "WinSockState.h"

namespace vantrel::wsock32 {

using detail::Fail;
using detail::Lookup;

namespace {

constexpr int kMsgDontRoute = 0x4;  // Windows' MSG_DONTROUTE

int SendFlags(int flags, bool stream, int* posixFlags) {
  if (flags & ~(MSG_OOB | kMsgDontRoute)) return WSAEOPNOTSUPP;
  if ((flags & MSG_OOB) && !stream) return WSAEOPNOTSUPP;
  // Every send carries MSG_NOSIGNAL: a peer that went away must never raise SIGPIPE.
  *posixFlags = MSG_NOSIGNAL | ((flags & MSG_OOB) ? posix::kMsgOob : 0) |
                ((flags & kMsgDontRoute) ? posix::kMsgDontRoute : 0);
  return 0;
}

int ReceiveFlags(int flags, bool stream, int* posixFlags) {
  if (flags & ~(MSG_OOB | MSG_PEEK)) return WSAEOPNOTSUPP;
  if ((flags & MSG_OOB) && !stream) return WSAEOPNOTSUPP;
  *posixFlags =
      ((flags & MSG_OOB) ? posix::kMsgOob : 0) | ((flags & MSG_PEEK) ? posix::kMsgPeek : 0);
  return 0;
}

// The code for a failed transfer; a lost connection also posts its FD_CLOSE and sticks.
int TransferError(SocketEntry& e, int err) {
  if (!e.IsStream()) {
    if (err == ECONNREFUSED) return WSAECONNRESET;  // an ICMP port-unreachable, as Windows says
    if (err == EDESTADDRREQ) return WSAENOTCONN;
    return WsaErrorFromErrno(err);
  }
  switch (err) {
    case EPIPE:
      if (e.shutWr) return WSAESHUTDOWN;
      [[fallthrough]];
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
      ConnectionLost(e, WsaCloseErrorFromErrno(err));
      return e.stickyError;
    default:
      return WsaErrorFromErrno(err);
  }
}

// Checks common to both directions of a stream; 0 when the transfer may go ahead.
int StreamReady(SocketEntry& e) {
  SettleConnect(e);
  if (e.stickyError != 0) return e.stickyError;
  if (e.phase != spConnected) return WSAENOTCONN;
  return 0;
}

int Send(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  if (len < 0) return Fail(WSAEINVAL);
  if (buf == nullptr && len > 0) return Fail(WSAEFAULT);
  int posixFlags = 0;
  int code = SendFlags(flags, e->IsStream(), &posixFlags);
  if (code != 0) return Fail(code);
  sockaddr_in dest;
  bool haveDest = false;
  if (e->IsStream()) {
    // A connected stream ignores the destination, as on Windows.
    code = StreamReady(*e);
    if (code == 0 && e->shutWr) code = WSAESHUTDOWN;
    if (code != 0) return Fail(code);
  } else if (to != nullptr) {
    if (!detail::ToSockaddr(to, tolen, dest, &code)) return Fail(code);
    if (dest.sin_addr.s_addr == 0 || dest.sin_port == 0) return Fail(WSAEADDRNOTAVAIL);
    haveDest = true;
  }
  int fd = e->fd.Get();
  for (;;) {
    ssize_t r = haveDest ? ::sendto(fd, buf, len, posixFlags,
                                    reinterpret_cast<const sockaddr*>(&dest), sizeof dest)
                         : ::send(fd, buf, len, posixFlags);
    if (r >= 0) {
      e->bound = true;  // a datagram send binds the socket
      return static_cast<int>(r);
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN) {
      if (e->blocking) {
        detail::WaitFor(fd, POLLOUT);
        continue;
      }
      SendWouldBlock(*e);
      return Fail(WSAEWOULDBLOCK);
    }
    return Fail(TransferError(*e, err));
  }
}

// A zero-length receive on a stream: Linux answers 0 at once, Windows says whether a receive
// would find something (data or the end of the stream).
int ZeroLengthReceive(SocketEntry& e) {
  pollfd p{e.fd.Get(), POLLIN, 0};
  for (;;) {
    int n = ::poll(&p, 1, e.blocking ? -1 : 0);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) return 0;
    ReadCalled(e);
    return Fail(WSAEWOULDBLOCK);
  }
}

int Receive(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
  auto e = Lookup(s);
  if (!e) return SOCKET_ERROR;
  if (len < 0) return Fail(WSAEINVAL);
  if (buf == nullptr && len > 0) return Fail(WSAEFAULT);
  int posixFlags = 0;
  int code = ReceiveFlags(flags, e->IsStream(), &posixFlags);
  if (code != 0) return Fail(code);
  bool stream = e->IsStream();
  if (stream) {
    // The source address is ignored on a stream, as on Windows.
    code = StreamReady(*e);
    if (code == 0 && e->shutRd) code = WSAESHUTDOWN;
  } else if (detail::BadAddressBuffer(from, fromlen)) {
    code = WSAEFAULT;
  } else if (!e->bound) {
    code = WSAEINVAL;
  } else if (e->datagramError != 0) {
    code = e->datagramError;
    e->datagramError = 0;
  }
  if (code != 0) {
    ReadCalled(*e);  // any receive re-enables FD_READ, a failing one too
    return Fail(code);
  }
  if (stream && len == 0) return ZeroLengthReceive(*e);

  int fd = e->fd.Get();
  for (;;) {
    ssize_t r;
    sockaddr_in src{};
    bool truncated = false;
    if (stream) {
      r = ::recv(fd, buf, len, posixFlags);
    } else {
      // recvmsg tells a datagram cut to the buffer, which Windows reports as WSAEMSGSIZE.
      iovec iov{buf, static_cast<std::size_t>(len)};
      msghdr m{};
      m.msg_name = &src;
      m.msg_namelen = sizeof src;
      m.msg_iov = &iov;
      m.msg_iovlen = 1;
      r = ::recvmsg(fd, &m, posixFlags);
      truncated = r >= 0 && (m.msg_flags & MSG_TRUNC) != 0;
    }
    if (r >= 0) {
      if (stream && r == 0 && !(flags & MSG_OOB)) e->eofSeen = true;
      if (!stream && from != nullptr) detail::FromSockaddr(src, from, fromlen);
      ReadCalled(*e);
      if (truncated) return Fail(WSAEMSGSIZE);
      return static_cast<int>(r);
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN && e->blocking) {
      detail::WaitFor(fd, POLLIN);
      continue;
    }
    code = err == EAGAIN ? WSAEWOULDBLOCK : TransferError(*e, err);
    ReadCalled(*e);
    return Fail(code);
  }
}

}  // namespace

int send(SOCKET s, const char* buf, int len, int flags) {
  return Send(s, buf, len, flags, nullptr, 0);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
  return Send(s, buf, len, flags, to, tolen);
}

int recv(SOCKET s, char* buf, int len, int flags) {
  return Receive(s, buf, len, flags, nullptr, nullptr);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
  return Receive(s, buf, len, flags, from, fromlen);
}

}  // namespace vantrel::wsock32
