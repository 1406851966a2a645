// This is a public header file.
// Windows Sockets 1.1 on Windows: the system's "wsock32.dll" (winsock.h), with the platform's
// additions under the names the components look up (ModuleLoader.h routes the look-ups).
#pragma once

#include <cstdint>

#include "SelectReply.h"
#include "WinSockTypes.h"

// Shutdown directions: winsock2.h names them, winsock.h does not.
#ifndef SD_RECEIVE
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
#endif

namespace vantrel {

// Asynchronous request handle as the components keep it; 0 is never valid. The system's handles
// are small numbers, carried here in 32 bits (see wsock32::WSAAsyncGetHostByName below).
using HANDLE = std::uint32_t;

namespace wsock32 {

// The system's operations, with its signatures.
using ::accept;
using ::bind;
using ::closesocket;
using ::connect;
using ::gethostbyname;
using ::getpeername;
using ::getprotobyname;
using ::getservbyname;
using ::getsockname;
using ::getsockopt;
using ::htonl;
using ::htons;
using ::inet_addr;
using ::inet_ntoa;
using ::ioctlsocket;
using ::listen;
using ::ntohl;
using ::ntohs;
using ::recv;
using ::recvfrom;
using ::send;
using ::sendto;
using ::setsockopt;
using ::shutdown;
using ::socket;
using ::WSAAsyncSelect;
using ::WSACleanup;
using ::WSAGetLastError;
using ::WSASetLastError;
using ::WSAStartup;

// The lookups with the handle in 32 bits: they call the system's and fail with WSAENOBUFS (the
// request cancelled) in the unexpected case of a handle that does not fit.
HANDLE WSAAsyncGetHostByName(HWND hWnd, UINT wMsg, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(HWND hWnd, UINT wMsg, const char* addr, int len, int type, char* buf,
                             int buflen);
int WSACancelAsyncRequest(HANDLE asyncTaskHandle);

// Graceful close with bytes still to send, as on Linux (see the Linux WinSock.h), carried out by
// a thread of its own: it sends the bytes, ends the stream with FIN, reads and drops what the
// peer still sends until the peer closes, and closes; a deadline that passes first resets the
// connection. The sender keeps its own start-up of the library, so it outlives WSACleanup.
int CloseSocketAfterSending(SOCKET s, const char* buf, int len, int timeoutSeconds);

// Diagnostics for tests: whether the library is started, and graceful closes still delivering.
bool IsStarted();
int PendingFlushCount();

}  // namespace wsock32
}  // namespace vantrel
