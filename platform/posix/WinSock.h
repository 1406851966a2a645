// This is a public header file.
// Windows Sockets 1.1 over POSIX sockets and epoll: constants with Windows' numbers and the
// operations of the "wsock32.dll" module.
//
// The constant names are Windows' own, several of which are macros in the POSIX socket headers:
// include this header only in files that do not include <sys/socket.h> and friends.
#pragma once

#if defined(SOL_SOCKET) || defined(AF_INET) || defined(MSG_OOB)
#error "WinSock.h cannot be combined with the POSIX socket headers in one file"
#endif

#include "SelectReply.h"
#include "WinSockTypes.h"
#include "WinTypes.h"

namespace vantrel {

using HANDLE = std::uint32_t;  // asynchronous request handle; 0 is never valid

constexpr int AF_INET = 2;
constexpr int PF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;

constexpr std::uint32_t INADDR_ANY = 0x00000000u;
constexpr std::uint32_t INADDR_NONE = 0xFFFFFFFFu;
constexpr std::uint32_t INADDR_BROADCAST = 0xFFFFFFFFu;

constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_DEBUG = 0x0001;
constexpr int SO_ACCEPTCONN = 0x0002;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_DONTROUTE = 0x0010;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_OOBINLINE = 0x0100;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int SO_TYPE = 0x1008;
constexpr int TCP_NODELAY = 0x0001;

constexpr long FIONREAD = 0x4004667F;
constexpr long FIONBIO = static_cast<long>(0x8004667Eu);

constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// Event bits of WSAAsyncSelect.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// Error codes.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSATYPE_NOT_FOUND = 10109;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The operations of the "wsock32.dll" module, with Windows' signatures and contracts. They are
// reached by name through the module loader (ModuleLoader.h); every operation but WSAStartup,
// WSAGetLastError, WSASetLastError, htons and ntohs fails with WSANOTINITIALISED before
// WSAStartup. The last error is per thread.
namespace wsock32 {

int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

// Registers the socket with the epoll instance of the thread that owns hWnd and posts
// (wMsg, socket, WSAMakeSelectReply(event, error)) to hWnd with Windows' event rules.
// A mask of 0 stops all notifications. Makes the socket non-blocking.
int WSAAsyncSelect(SOCKET s, HWND hWnd, UINT wMsg, long lEvent);
// Resolve on a worker thread; the HOSTENT is written into buf on the thread that owns hWnd just
// before the completion message (wParam = handle, lParam = WSAMakeSelectReply(buflen, error)) is
// dispatched, and never after a successful cancel.
HANDLE WSAAsyncGetHostByName(HWND hWnd, UINT wMsg, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(HWND hWnd, UINT wMsg, const char* addr, int len, int type, char* buf,
                             int buflen);
int WSACancelAsyncRequest(HANDLE asyncTaskHandle);

// Blocking database calls; results live in per-thread storage until the next call.
HOSTENT* gethostbyname(const char* name);
SERVENT* getservbyname(const char* name, const char* proto);
PROTOENT* getprotobyname(const char* name);
u_long inet_addr(const char* cp);
char* inet_ntoa(IN_ADDR in);
u_short htons(u_short hostshort);
u_short ntohs(u_short netshort);
u_long htonl(u_long hostlong);
u_long ntohl(u_long netlong);

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const SOCKADDR* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, SOCKADDR* addr, int* addrlen);
int connect(SOCKET s, const SOCKADDR* name, int namelen);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int getsockname(SOCKET s, SOCKADDR* name, int* namelen);
int getpeername(SOCKET s, SOCKADDR* name, int* namelen);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int send(SOCKET s, const char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
// Extension for graceful closes: closes the handle at once and hands the connected stream, with a
// copy of len bytes of buf that must still go out, to a sender on the calling thread's loop. It
// writes them as the peer takes them, then ends the stream with FIN and closes the descriptor once
// the peer has acknowledged everything. When that has not happened within timeoutSeconds, or when
// the thread ends first, the connection is reset instead. Fails, with the handle still open, for a
// socket that is not a connected stream or whose sending side is shut; WSAENOBUFS means the
// handle is closed and the connection was reset. Senders outlive WSACleanup.
int CloseSocketAfterSending(SOCKET s, const char* buf, int len, int timeoutSeconds);

// Diagnostics for tests: sockets currently open, and whether the layer is started.
int OpenSocketCount();
bool IsStarted();
// Graceful closes still delivering in the background.
int PendingFlushCount();

}  // namespace wsock32
}  // namespace vantrel
