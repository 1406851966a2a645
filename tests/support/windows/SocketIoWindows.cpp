// The test sockets over Windows Sockets 2 and WSAPoll; the wake signal is a UDP socket on
// 127.0.0.1 that sends itself a datagram.
// winsock2.h first: windows.h would otherwise bring in the older winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
//
#include <windows.h>

#include <mutex>

#include "SocketIo.h"

namespace vantrel::test::detail {
namespace {

// Stops a datagram to a closed port from failing the next receive with 10054 (this MinGW's
// headers do not name it).
constexpr DWORD kUdpConnReset = _WSAIOW(IOC_VENDOR, 12);

SOCKET Sock(NativeSocket s) {
  return static_cast<SOCKET>(s);
}

// The library is started once and left running: the process's end cleans up. The components'
// own start-up and clean-up count separately.
void StartSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

OwnedSocket NewSocket(bool stream) {
  StartSockets();
  SOCKET s = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return OwnedSocket();
  OwnedSocket owned(static_cast<NativeSocket>(s));
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (!stream) {
    BOOL off = FALSE;
    DWORD got = 0;
    WSAIoctl(s, kUdpConnReset, &off, sizeof off, nullptr, 0, &got, nullptr, nullptr);
  }
  return owned;
}

void SetReceiveBuffer(SOCKET s, int size) {
  if (size > 0)
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
}

IoResult Failure(int error) {
  IoResult r;
  r.error = error;
  if (error == WSAEWOULDBLOCK || error == WSAEINTR) {
    r.status = IoResult::ioWouldBlock;
  } else if (error == WSAECONNRESET || error == WSAECONNABORTED) {
    r.status = IoResult::ioReset;
  } else {
    r.status = IoResult::ioError;
  }
  return r;
}

IoResult Transferred(int n) {
  if (n == SOCKET_ERROR) return Failure(WSAGetLastError());
  IoResult r;
  r.status = n == 0 ? IoResult::ioEnd : IoResult::ioDone;
  r.bytes = static_cast<std::size_t>(n);
  return r;
}

int Length(std::size_t size) {
  return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
}

}  // namespace

void CloseSocket(NativeSocket s) {
  closesocket(Sock(s));
}

std::string SocketErrorText(int error) {
  char buf[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error), 0, buf, sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) buf[--n] = '\0';
  return "error " + std::to_string(error) + (n > 0 ? std::string(" (") + buf + ")" : "");
}

OwnedSocket OpenLoopbackSocket(bool stream, std::uint16_t port, int receiveBuffer,
                               std::string* error) {
  OwnedSocket s = NewSocket(stream);
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + SocketErrorText(WSAGetLastError());
    return OwnedSocket();
  };
  if (!s.Valid()) return fail("socket");
  // Not SO_REUSEADDR: on Windows it lets a second socket take a port in use.
  if (receiveBuffer > 0 &&
      setsockopt(Sock(s.Get()), SOL_SOCKET, SO_RCVBUF,
                 reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer) != 0)
    return fail("setsockopt(SO_RCVBUF)");
  sockaddr_in addr = Loopback(port);
  if (bind(Sock(s.Get()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return fail("bind");
  if (stream && listen(Sock(s.Get()), 16) != 0) return fail("listen");
  return s;
}

std::uint16_t LocalPort(NativeSocket s) {
  sockaddr_in addr{};
  int len = sizeof addr;
  if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

WaitResult WaitSocket(NativeSocket s, bool writable, std::int64_t deadlineMs, NativeSocket cancel) {
  WSAPOLLFD fds[2] = {{Sock(s), static_cast<SHORT>(writable ? POLLWRNORM : POLLRDNORM), 0},
                      {Sock(cancel), POLLRDNORM, 0}};
  ULONG count = cancel != kNoSocket ? 2 : 1;
  for (;;) {
    std::int64_t left = deadlineMs - NowMs();
    if (left < 0) left = 0;
    int n = WSAPoll(fds, count, static_cast<INT>(left));
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
    if (n == SOCKET_ERROR) return wrError;
    if (count == 2 && fds[1].revents) return wrCancelled;
    return n == 0 ? wrTimeout : wrReady;
  }
}

OwnedSocket AcceptConnection(NativeSocket listener, std::string* error) {
  SOCKET s = accept(Sock(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    if (error) *error = "accept failed: " + SocketErrorText(WSAGetLastError());
    return OwnedSocket();
  }
  OwnedSocket owned(static_cast<NativeSocket>(s));
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  return owned;
}

OwnedSocket ConnectLoopback(std::uint16_t port, int receiveBuffer, std::int64_t deadlineMs,
                            NativeSocket cancel, std::string* error) {
  OwnedSocket s = NewSocket(true);
  if (!s.Valid()) {
    *error = "connect failed: socket: " + SocketErrorText(WSAGetLastError());
    return s;
  }
  SetReceiveBuffer(Sock(s.Get()), receiveBuffer);
  sockaddr_in addr = Loopback(port);
  if (connect(Sock(s.Get()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    *error = "connect failed: " + SocketErrorText(WSAGetLastError());
    return OwnedSocket();
  }
  // A refused connect shows as an error event, which WSAPoll reports with the writable wait.
  switch (WaitSocket(s.Get(), true, deadlineMs, cancel)) {
    case wrReady:
      break;
    case wrTimeout:
      *error = "timed out connecting";
      return OwnedSocket();
    default:
      *error = "cancelled";
      return OwnedSocket();
  }
  int err = 0;
  int len = sizeof err;
  getsockopt(Sock(s.Get()), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
  if (err != 0) {
    *error = "connect failed: " + SocketErrorText(err);
    return OwnedSocket();
  }
  return s;
}

IoResult SendSome(NativeSocket s, const char* data, std::size_t size) {
  return Transferred(send(Sock(s), data, Length(size), 0));
}

IoResult ReceiveSome(NativeSocket s, char* buffer, std::size_t size) {
  // Wine reports a reset connection as an error event to WSAPoll and then has recv read an
  // orderly end: the error event tells the two apart.
  WSAPOLLFD state{Sock(s), POLLRDNORM, 0};
  bool failed = WSAPoll(&state, 1, 0) == 1 && (state.revents & POLLERR) != 0;
  IoResult r = Transferred(recv(Sock(s), buffer, Length(size), 0));
  if (r.status == IoResult::ioEnd && failed) {
    r.status = IoResult::ioReset;
    r.error = WSAECONNRESET;
  }
  return r;
}

IoResult SendDatagram(NativeSocket s, std::uint16_t port, const char* data, std::size_t size) {
  sockaddr_in to = Loopback(port);
  return Transferred(
      sendto(Sock(s), data, Length(size), 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
}

IoResult ReceiveDatagram(NativeSocket s, char* buffer, std::size_t size, std::uint16_t* fromPort) {
  sockaddr_in from{};
  int len = sizeof from;
  int n = recvfrom(Sock(s), buffer, Length(size), 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n == SOCKET_ERROR) return Failure(WSAGetLastError());
  if (fromPort) *fromPort = ntohs(from.sin_port);
  IoResult r;
  r.status = IoResult::ioDone;  // an empty datagram is a datagram, not an end
  r.bytes = static_cast<std::size_t>(n);
  return r;
}

std::string ShutdownSending(NativeSocket s) {
  if (shutdown(Sock(s), SD_SEND) == 0) return {};
  return "shutdown failed: " + SocketErrorText(WSAGetLastError());
}

void SetNoDelay(NativeSocket s) {
  BOOL one = TRUE;
  setsockopt(Sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void CloseWithReset(OwnedSocket& s) {
  if (!s.Valid()) return;
  linger l{1, 0};
  setsockopt(Sock(s.Get()), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  s.Reset();
}

WakeSignal::WakeSignal() {
  handle_ = OpenLoopbackSocket(false, 0, 0, nullptr);
}

void WakeSignal::Raise() {
  char one = 1;
  SendDatagram(handle_.Get(), LocalPort(handle_.Get()), &one, 1);
}

void WakeSignal::Lower() {
  char buf[16];
  while (ReceiveDatagram(handle_.Get(), buf, sizeof buf, nullptr).status == IoResult::ioDone) {
  }
}

}  // namespace vantrel::test::detail
