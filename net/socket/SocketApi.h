// This is a public header file.
// The process-wide binding to the socket library: the library is loaded and started on the first
// socket operation, each operation is looked up by name on its first call and cached, and the
// library is cleaned up and unloaded when the last socket component is destroyed.
//
// Thread rule: this state is shared by all components and is not locked. Loading (the first
// operation after an unload) and unloading (destroying the last component) must not run on two
// threads at once; once loaded, the stubs may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "ModuleLoader.h"
#include "WinSockTypes.h"
#include "WinTypes.h"

namespace vantrel {

// File name of the socket library; "wsock32.dll" unless changed. A change takes effect at the
// next load.
const std::string& SocketApiLibraryName();
void SetSocketApiLibraryName(const std::string& Name);

// The loaded library, null while none is loaded.
HMODULE SocketApiHandle();

// Loads and starts the library when needed, then returns the address of procedure Name (null for
// an empty Name). Raises ESocketException with "Unable to load <library> Error #<n>",
// "<library>: WSAStartup error #<n>" or "Procedure <Name> not found in wsock32.dll Error #<n>".
FARPROC SocketApiLookup(const std::string& Name);

// Cleans up and unloads the library if it is loaded, and forgets every cached address.
void SocketApiUnload();

// Number of live socket components; the destructor of the last one unloads the library.
std::int32_t SocketComponentCount();

// A request handle of the asynchronous lookups (the library's HANDLE); 0 is never valid.
using TAsyncHandle = std::uint32_t;

// One stub per library operation, with the operation's own arguments and result. Each looks its
// operation up on first use (which may raise the ESocketException texts above) and then calls it.
int SocketApi_WSAStartup(WORD wVersionRequired, WSADATA* lpWSAData);
int SocketApi_WSACleanup();
int SocketApi_WSAGetLastError();
void SocketApi_WSASetLastError(int iError);
int SocketApi_WSAAsyncSelect(SOCKET s, HWND hWnd, UINT wMsg, long lEvent);
TAsyncHandle SocketApi_WSAAsyncGetHostByName(HWND hWnd, UINT wMsg, const char* name, char* buf,
                                             int buflen);
TAsyncHandle SocketApi_WSAAsyncGetHostByAddr(HWND hWnd, UINT wMsg, const char* addr, int len,
                                             int type, char* buf, int buflen);
int SocketApi_WSACancelAsyncRequest(TAsyncHandle hAsyncTaskHandle);
HOSTENT* SocketApi_gethostbyname(const char* name);
SERVENT* SocketApi_getservbyname(const char* name, const char* proto);
PROTOENT* SocketApi_getprotobyname(const char* name);
u_long SocketApi_inet_addr(const char* cp);
char* SocketApi_inet_ntoa(IN_ADDR in);
u_short SocketApi_htons(u_short hostshort);
u_short SocketApi_ntohs(u_short netshort);
SOCKET SocketApi_socket(int af, int type, int protocol);
int SocketApi_bind(SOCKET s, const SOCKADDR* name, int namelen);
int SocketApi_listen(SOCKET s, int backlog);
SOCKET SocketApi_accept(SOCKET s, SOCKADDR* addr, int* addrlen);
int SocketApi_connect(SOCKET s, const SOCKADDR* name, int namelen);
int SocketApi_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int SocketApi_getsockname(SOCKET s, SOCKADDR* name, int* namelen);
int SocketApi_getpeername(SOCKET s, SOCKADDR* name, int* namelen);
int SocketApi_ioctlsocket(SOCKET s, long cmd, u_long* argp);
int SocketApi_send(SOCKET s, const char* buf, int len, int flags);
int SocketApi_sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen);
int SocketApi_recv(SOCKET s, char* buf, int len, int flags);
int SocketApi_recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen);
int SocketApi_shutdown(SOCKET s, int how);
int SocketApi_closesocket(SOCKET s);
int SocketApi_CloseSocketAfterSending(SOCKET s, const char* buf, int len, int timeoutSeconds);

}  // namespace vantrel
