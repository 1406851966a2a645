// This is an internal header of the socket layer; do not include it outside platform/.
//
// The one door through which the socket layer reaches the POSIX socket headers. WinSock.h spells
// Windows' constants with names that are macros there (SOL_SOCKET, SO_LINGER, FIONREAD, AF_INET,
// MSG_OOB, INADDR_NONE, htons, ...). This header includes the POSIX headers, keeps the POSIX
// values the layer needs under posix::k... names, removes the clashing macros, and then includes
// WinSock.h. In a file that includes it:
//   - SOL_SOCKET, SO_LINGER, FIONREAD, MSG_OOB, ... are Windows' numbers (vantrel::);
//   - posix::kSolSocket, posix::kSoLinger, posix::kFionread, ... are the Linux ones;
//   - POSIX functions are called with the global qualifier (::socket, ::recv, ::htons).
// Include it before any other header, and never include the POSIX socket headers directly in a
// file of the layer: a later inclusion would not bring the removed macros back (include guards),
// but it would make the file's meaning depend on the order of its includes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vantrel::posix {

constexpr int kAfInet = AF_INET;
constexpr int kSockStream = SOCK_STREAM;
constexpr int kSockDgram = SOCK_DGRAM;
constexpr int kIpprotoTcp = IPPROTO_TCP;
constexpr int kIpprotoUdp = IPPROTO_UDP;

constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoDebug = SO_DEBUG;
constexpr int kSoAcceptConn = SO_ACCEPTCONN;
constexpr int kSoReuseAddr = SO_REUSEADDR;
constexpr int kSoKeepAlive = SO_KEEPALIVE;
constexpr int kSoDontRoute = SO_DONTROUTE;
constexpr int kSoBroadcast = SO_BROADCAST;
constexpr int kSoLinger = SO_LINGER;
constexpr int kSoOobInline = SO_OOBINLINE;
constexpr int kSoSndBuf = SO_SNDBUF;
constexpr int kSoRcvBuf = SO_RCVBUF;
constexpr int kSoError = SO_ERROR;
constexpr int kSoType = SO_TYPE;
constexpr int kTcpNoDelay = TCP_NODELAY;

constexpr unsigned long kFionread = FIONREAD;
constexpr unsigned long kSiocOutq = SIOCOUTQ;

constexpr int kMsgOob = MSG_OOB;
constexpr int kMsgPeek = MSG_PEEK;
constexpr int kMsgDontRoute = MSG_DONTROUTE;

}  // namespace vantrel::posix

#undef AF_INET
#undef PF_INET
#undef SOCK_STREAM
#undef SOCK_DGRAM
#undef IPPROTO_IP
#undef IPPROTO_TCP
#undef IPPROTO_UDP
#undef INADDR_ANY
#undef INADDR_NONE
#undef INADDR_BROADCAST
#undef SOL_SOCKET
#undef SO_DEBUG
#undef SO_ACCEPTCONN
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_DONTROUTE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_OOBINLINE
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_ERROR
#undef SO_TYPE
#undef TCP_NODELAY
#undef FIONREAD
#undef FIONBIO
#undef MSG_OOB
#undef MSG_PEEK
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include "WinSock.h"
