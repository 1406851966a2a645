#include "SocketApi.h"

#include <array>
#include <type_traits>

#include "CustomWSocket.h"
#include "Exceptions.h"
#include "WSocketInternal.h"
#include "WinSock.h"

namespace vantrel {
namespace {

static_assert(std::is_same_v<TAsyncHandle, HANDLE>, "TAsyncHandle must match the library's HANDLE");

// One cache slot per operation, in the order of the stubs.
enum TSocketApiOp : std::uint8_t {
  apiWSAStartup,
  apiWSACleanup,
  apiWSAGetLastError,
  apiWSASetLastError,
  apiWSAAsyncSelect,
  apiWSAAsyncGetHostByName,
  apiWSAAsyncGetHostByAddr,
  apiWSACancelAsyncRequest,
  apigethostbyname,
  apigetservbyname,
  apigetprotobyname,
  apiinet_addr,
  apiinet_ntoa,
  apihtons,
  apintohs,
  apisocket,
  apibind,
  apilisten,
  apiaccept,
  apiconnect,
  apisetsockopt,
  apigetsockname,
  apigetpeername,
  apiioctlsocket,
  apisend,
  apisendto,
  apirecv,
  apirecvfrom,
  apishutdown,
  apiclosesocket,
  apiCloseSocketAfterSending,
  apiOpCount
};

struct TSocketApiState {
  std::string LibraryName = "wsock32.dll";
  HMODULE Handle = nullptr;
  WSADATA StartupData{};
  std::array<FARPROC, apiOpCount> Cache{};
  std::int32_t ComponentCount = 0;
};

TSocketApiState& Api() {
  static TSocketApiState State;
  return State;
}

// Unloads at program end a library that live components still hold.
struct TProgramEndUnload {
  ~TProgramEndUnload() {
    try {
      SocketApiUnload();
    } catch (...) {
    }
    Api().LibraryName.clear();
  }
};

template <class Fn>
Fn Bind(TSocketApiOp Op, const char* Name) {
  FARPROC& Slot = Api().Cache[Op];
  if (Slot == nullptr) Slot = SocketApiLookup(Name);
  return ProcAs<Fn>(Slot);
}

}  // namespace

const std::string& SocketApiLibraryName() {
  return Api().LibraryName;
}
void SetSocketApiLibraryName(const std::string& Name) {
  Api().LibraryName = Name;
}
HMODULE SocketApiHandle() {
  return Api().Handle;
}
std::int32_t SocketComponentCount() {
  return Api().ComponentCount;
}

void SocketComponentAdded() {
  ++Api().ComponentCount;
}

void SocketComponentRemoved() {
  auto& State = Api();
  if (--State.ComponentCount <= 0) {
    State.ComponentCount = 0;
    SocketApiUnload();
  }
}

FARPROC SocketApiLookup(const std::string& Name) {
  auto& State = Api();
  if (State.Handle == nullptr) {
    HMODULE Handle = LoadLibrary(State.LibraryName.c_str());
    if (Handle == nullptr) {
      throw ESocketException("Unable to load " + State.LibraryName + " Error #" +
                             std::to_string(GetLastError()));
    }
    State.Handle = Handle;
    const int Result = SocketApi_WSAStartup(0x0101, &State.StartupData);
    // Made after the library has set up its own state, so that it is destroyed before it at exit.
    static TProgramEndUnload ProgramEnd;
    if (Result != 0) {
      throw ESocketException(Format("%s: WSAStartup error #%d", State.LibraryName.c_str(), Result));
    }
  }
  if (Name.empty()) return nullptr;
  FARPROC Proc = GetProcAddress(State.Handle, Name.c_str());
  if (Proc == nullptr) {
    // The text names the standard file whatever library is configured.
    throw ESocketException("Procedure " + Name + " not found in wsock32.dll Error #" +
                           std::to_string(GetLastError()));
  }
  return Proc;
}

void SocketApiUnload() {
  auto& State = Api();
  if (State.Handle == nullptr) return;
  try {
    SocketApi_WSACleanup();
  } catch (const std::exception&) {
    // A library without a cleanup procedure is unloaded all the same.
  }
  FreeLibrary(State.Handle);
  State.Handle = nullptr;
  State.Cache.fill(nullptr);
}

int SocketApi_WSAStartup(WORD wVersionRequired, WSADATA* lpWSAData) {
  return Bind<decltype(&wsock32::WSAStartup)>(apiWSAStartup, "WSAStartup")(wVersionRequired,
                                                                           lpWSAData);
}

int SocketApi_WSACleanup() {
  return Bind<decltype(&wsock32::WSACleanup)>(apiWSACleanup, "WSACleanup")();
}

int SocketApi_WSAGetLastError() {
  return Bind<decltype(&wsock32::WSAGetLastError)>(apiWSAGetLastError, "WSAGetLastError")();
}

void SocketApi_WSASetLastError(int iError) {
  Bind<decltype(&wsock32::WSASetLastError)>(apiWSASetLastError, "WSASetLastError")(iError);
}

int SocketApi_WSAAsyncSelect(SOCKET s, HWND hWnd, UINT wMsg, long lEvent) {
  return Bind<decltype(&wsock32::WSAAsyncSelect)>(apiWSAAsyncSelect, "WSAAsyncSelect")(
      s, hWnd, wMsg, lEvent);
}

TAsyncHandle SocketApi_WSAAsyncGetHostByName(HWND hWnd, UINT wMsg, const char* name, char* buf,
                                             int buflen) {
  return Bind<decltype(&wsock32::WSAAsyncGetHostByName)>(
      apiWSAAsyncGetHostByName, "WSAAsyncGetHostByName")(hWnd, wMsg, name, buf, buflen);
}

TAsyncHandle SocketApi_WSAAsyncGetHostByAddr(HWND hWnd, UINT wMsg, const char* addr, int len,
                                             int type, char* buf, int buflen) {
  return Bind<decltype(&wsock32::WSAAsyncGetHostByAddr)>(
      apiWSAAsyncGetHostByAddr, "WSAAsyncGetHostByAddr")(hWnd, wMsg, addr, len, type, buf, buflen);
}

int SocketApi_WSACancelAsyncRequest(TAsyncHandle hAsyncTaskHandle) {
  return Bind<decltype(&wsock32::WSACancelAsyncRequest)>(apiWSACancelAsyncRequest,
                                                         "WSACancelAsyncRequest")(hAsyncTaskHandle);
}

HOSTENT* SocketApi_gethostbyname(const char* name) {
  return Bind<decltype(&wsock32::gethostbyname)>(apigethostbyname, "gethostbyname")(name);
}

SERVENT* SocketApi_getservbyname(const char* name, const char* proto) {
  return Bind<decltype(&wsock32::getservbyname)>(apigetservbyname, "getservbyname")(name, proto);
}

PROTOENT* SocketApi_getprotobyname(const char* name) {
  return Bind<decltype(&wsock32::getprotobyname)>(apigetprotobyname, "getprotobyname")(name);
}

u_long SocketApi_inet_addr(const char* cp) {
  return Bind<decltype(&wsock32::inet_addr)>(apiinet_addr, "inet_addr")(cp);
}

char* SocketApi_inet_ntoa(IN_ADDR in) {
  return Bind<decltype(&wsock32::inet_ntoa)>(apiinet_ntoa, "inet_ntoa")(in);
}

u_short SocketApi_htons(u_short hostshort) {
  return Bind<decltype(&wsock32::htons)>(apihtons, "htons")(hostshort);
}

u_short SocketApi_ntohs(u_short netshort) {
  return Bind<decltype(&wsock32::ntohs)>(apintohs, "ntohs")(netshort);
}

SOCKET SocketApi_socket(int af, int type, int protocol) {
  return Bind<decltype(&wsock32::socket)>(apisocket, "socket")(af, type, protocol);
}

int SocketApi_bind(SOCKET s, const SOCKADDR* name, int namelen) {
  return Bind<decltype(&wsock32::bind)>(apibind, "bind")(s, name, namelen);
}

int SocketApi_listen(SOCKET s, int backlog) {
  return Bind<decltype(&wsock32::listen)>(apilisten, "listen")(s, backlog);
}

SOCKET SocketApi_accept(SOCKET s, SOCKADDR* addr, int* addrlen) {
  return Bind<decltype(&wsock32::accept)>(apiaccept, "accept")(s, addr, addrlen);
}

int SocketApi_connect(SOCKET s, const SOCKADDR* name, int namelen) {
  return Bind<decltype(&wsock32::connect)>(apiconnect, "connect")(s, name, namelen);
}

int SocketApi_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  return Bind<decltype(&wsock32::setsockopt)>(apisetsockopt, "setsockopt")(s, level, optname,
                                                                           optval, optlen);
}

int SocketApi_getsockname(SOCKET s, SOCKADDR* name, int* namelen) {
  return Bind<decltype(&wsock32::getsockname)>(apigetsockname, "getsockname")(s, name, namelen);
}

int SocketApi_getpeername(SOCKET s, SOCKADDR* name, int* namelen) {
  return Bind<decltype(&wsock32::getpeername)>(apigetpeername, "getpeername")(s, name, namelen);
}

int SocketApi_ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  return Bind<decltype(&wsock32::ioctlsocket)>(apiioctlsocket, "ioctlsocket")(s, cmd, argp);
}

int SocketApi_send(SOCKET s, const char* buf, int len, int flags) {
  return Bind<decltype(&wsock32::send)>(apisend, "send")(s, buf, len, flags);
}

int SocketApi_sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
  return Bind<decltype(&wsock32::sendto)>(apisendto, "sendto")(s, buf, len, flags, to, tolen);
}

int SocketApi_recv(SOCKET s, char* buf, int len, int flags) {
  return Bind<decltype(&wsock32::recv)>(apirecv, "recv")(s, buf, len, flags);
}

int SocketApi_recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
  return Bind<decltype(&wsock32::recvfrom)>(apirecvfrom, "recvfrom")(s, buf, len, flags, from,
                                                                     fromlen);
}

int SocketApi_shutdown(SOCKET s, int how) {
  return Bind<decltype(&wsock32::shutdown)>(apishutdown, "shutdown")(s, how);
}

int SocketApi_closesocket(SOCKET s) {
  return Bind<decltype(&wsock32::closesocket)>(apiclosesocket, "closesocket")(s);
}

int SocketApi_CloseSocketAfterSending(SOCKET s, const char* buf, int len, int timeoutSeconds) {
  return Bind<decltype(&wsock32::CloseSocketAfterSending)>(
      apiCloseSocketAfterSending, "CloseSocketAfterSending")(s, buf, len, timeoutSeconds);
}

}  // namespace vantrel
