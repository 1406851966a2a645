#include "PosixSockets.h"

#include <cerrno>
#include <cstdio>

#include "WinSockErrors.h"

namespace vantrel {
namespace {

struct ErrnoCode {
  int err;
  int code;
};

// Windows' name is "WSA" + the errno name unless the comment says otherwise.
constexpr ErrnoCode kErrnoCodes[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},       // EWOULDBLOCK is the same value on Linux
    {EINPROGRESS, WSAEWOULDBLOCK},  // 1.1's WSAEINPROGRESS means "a blocking call is running"
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},  // also ENOTSUP
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},  // callers that know of their own shutdown use WSAESHUTDOWN
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
};

}  // namespace

int WsaErrorFromErrno(int err) {
  if (err == 0) return 0;
  for (const auto& e : kErrnoCodes) {
    if (e.err == err) return e.code;
  }
  std::fprintf(stderr, "vantrel: errno %d has no Windows Sockets code; reported as %d\n", err,
               WSAEINVAL);
  return WSAEINVAL;
}

int WsaErrorFromResolver(int result, int savedErrno) {
  switch (result) {
    case 0:
      return 0;
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:  // the name exists, but has no IPv4 address
      return WSANO_DATA;
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_FAMILY:
      return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE:
      return WSAESOCKTNOSUPPORT;
    case EAI_BADFLAGS:
      return WSAEINVAL;
    case EAI_SERVICE:
      return WSATYPE_NOT_FOUND;
    case EAI_SYSTEM:
      return savedErrno != 0 ? WsaErrorFromErrno(savedErrno) : WSANO_RECOVERY;
    default:
      return WSANO_RECOVERY;
  }
}

int WsaCloseErrorFromErrno(int err) {
  switch (err) {
    case ECONNRESET:
    case EPIPE:
      return WSAECONNRESET;
    case ENETDOWN:
      return WSAENETDOWN;
    default:
      return WSAECONNABORTED;
  }
}

}  // namespace vantrel
