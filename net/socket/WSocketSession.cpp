// Opening and ending sessions: connect, listen, accept, dup, the closing family, socket options.
#include "CustomWSocket.h"
#include "WSocketInternal.h"
#include "WinMessages.h"
#include "WinSock.h"

namespace vantrel {
namespace {

constexpr long ConnectEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr long ListenEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
constexpr long DupEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

SOCKADDR* AsSockAddr(SOCKADDR_IN& Addr) {
  return reinterpret_cast<SOCKADDR*>(&Addr);
}

int SetIntOption(SOCKET Handle, int Option, int Value) {
  return SocketApi_setsockopt(Handle, SOL_SOCKET, Option, reinterpret_cast<const char*>(&Value),
                              sizeof Value);
}

// Sets the linger record for the coming close only; the result does not matter to the caller.
void SetCloseLinger(SOCKET Handle, u_short OnOff, u_short Seconds) {
  LINGER Linger{OnOff, Seconds};
  SocketApi_setsockopt(Handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Linger),
                       sizeof Linger);
}

// Keeps a timer running on the notification window while a close is retried, so that the wait
// between two attempts ends even when no other message comes.
class TCloseRetryTimer {
 public:
  explicit TCloseRetryTimer(HWND Window) : Window_(Window) {}
  ~TCloseRetryTimer() {
    if (Running_) KillTimer(Window_, CloseRetryTimerId);
  }
  TCloseRetryTimer(const TCloseRetryTimer&) = delete;
  TCloseRetryTimer& operator=(const TCloseRetryTimer&) = delete;
  // False when no timer can run, in which case waiting could last forever.
  bool Start() {
    if (!Running_ && Window_ != nullptr) {
      Running_ = SetTimer(Window_, CloseRetryTimerId, CloseRetryIntervalMs, nullptr) != 0;
    }
    return Running_;
  }

 private:
  HWND Window_;
  bool Running_ = false;
};

}  // namespace

void TCustomWSocket::Connect() {
  if (SocketHandle_ != INVALID_SOCKET && State_ != wsClosed) {
    RaiseSocketException("Connect: Socket already in use");
    return;
  }
  if (!PortAssigned_) {
    RaiseSocketException("Connect: No Port Specified");
    return;
  }
  if (!AddrAssigned_) {
    RaiseSocketException("Connect: No IP Address Specified");
    return;
  }
  if (!ProtoAssigned_) {
    RaiseSocketException("Connect: No Protocol Specified");
    return;
  }

  try {
    ResolveSessionTexts(true);
  } catch (const std::exception& E) {
    RaiseSocketException(std::string("connect: ") + E.what());
    return;
  }

  ClearSendQueue();
  SocketHandle_ = SocketApi_socket(AddressFamily_, SocketType_, ProtoNumber_);
  if (SocketHandle_ == INVALID_SOCKET) {
    ReportSocketError("Connect (socket)");
    return;
  }
  SetState(wsOpened);

  if (SocketType_ == SOCK_DGRAM) {
    // A datagram socket always gets a local port, so that answers can reach it.
    BindToLocalPort();
    if (SockAddr_.sin_addr.S_addr == INADDR_BROADCAST &&
        SetIntOption(SocketHandle_, SO_BROADCAST, 1) == SOCKET_ERROR) {
      ReportSocketError("setsockopt(SO_BROADCAST)");
      return;
    }
  } else {
    if (LocalPortNumber_ != 0) BindToLocalPort();
    ApplyLingerOption();
    if (SetIntOption(SocketHandle_, SO_KEEPALIVE, -1) == SOCKET_ERROR) {
      ReportSocketError("setsockopt(SO_KEEPALIVE)");
      return;
    }
    if (SetIntOption(SocketHandle_, SO_REUSEADDR, -1) == SOCKET_ERROR) {
      ReportSocketError("setsockopt(SO_REUSEADDR)");
      return;
    }
  }

  // Notices are requested before the connection starts, so its outcome cannot be missed.
  if (SocketApi_WSAAsyncSelect(SocketHandle_, NotifyWindow(), MsgSocketEvent, ConnectEvents) != 0) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }

  if (SocketType_ == SOCK_DGRAM) {
    SetState(wsConnected);
    FireSessionConnected(0);
    return;
  }

  if (SocketApi_connect(SocketHandle_, AsSockAddr(SockAddr_), sizeof SockAddr_) == 0 ||
      SocketApi_WSAGetLastError() == WSAEWOULDBLOCK) {
    SetState(wsConnecting);
    return;
  }
  LastError_ = SocketApi_WSAGetLastError();
  ReportSocketError("Connect");
}

void TCustomWSocket::BindToLocalPort() {
  SOCKADDR_IN Local{};
  Local.sin_family = AF_INET;
  Local.sin_port = SocketApi_htons(static_cast<u_short>(LocalPortNumber_));
  Local.sin_addr.S_addr = INADDR_ANY;
  if (SocketApi_bind(SocketHandle_, AsSockAddr(Local), sizeof Local) == SOCKET_ERROR) {
    RaiseSocketExceptionFmt("winsock.bind failed, error #%d",
                            {std::int64_t{SocketApi_WSAGetLastError()}});
    return;
  }
  SOCKADDR_IN Bound{};
  int Len = sizeof Bound;
  if (SocketApi_getsockname(SocketHandle_, AsSockAddr(Bound), &Len) == SOCKET_ERROR) {
    RaiseSocketExceptionFmt("winsock.getsockname failed, error #%d",
                            {std::int64_t{SocketApi_WSAGetLastError()}});
    return;
  }
  LocalPortNumber_ = SocketApi_ntohs(Bound.sin_port);
  LocalPort_ = std::to_string(LocalPortNumber_);
}

void TCustomWSocket::ApplyLingerOption() {
  if (LingerOnOff_ == wsLingerNoSet) return;
  if (SocketHandle_ == INVALID_SOCKET) {
    RaiseSocketException("Cannot set linger option at this time");
    return;
  }
  LINGER Linger{static_cast<u_short>(LingerOnOff_), static_cast<u_short>(LingerTimeout_ & 0xFFFF)};
  if (SocketApi_setsockopt(SocketHandle_, SOL_SOCKET, SO_LINGER,
                           reinterpret_cast<const char*>(&Linger), sizeof Linger) == SOCKET_ERROR) {
    ReportSocketError("setsockopt(SO_LINGER)");
  }
}

void TCustomWSocket::Listen() {
  if (!PortAssigned_) {
    SocketApi_WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: port not assigned");
    return;
  }
  if (!ProtoAssigned_) {
    SocketApi_WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: protocol not assigned");
    return;
  }
  if (!AddrAssigned_) {
    SocketApi_WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: address not assigned");
    return;
  }

  try {
    ResolveSessionTexts(false);
  } catch (const std::exception& E) {
    RaiseSocketException(std::string("listen: ") + E.what());
    return;
  }

  ClearSendQueue();
  SocketHandle_ = SocketApi_socket(AddressFamily_, SocketType_, ProtoNumber_);
  if (SocketHandle_ == INVALID_SOCKET) {
    ReportSocketError("socket");
    return;
  }
  if (SocketApi_bind(SocketHandle_, AsSockAddr(SockAddr_), sizeof SockAddr_) == SOCKET_ERROR) {
    // The socket goes whether the report raises or returns; the code is kept for the report.
    const int Code = SocketApi_WSAGetLastError();
    SocketApi_closesocket(SocketHandle_);
    SocketHandle_ = INVALID_SOCKET;
    SocketApi_WSASetLastError(Code);
    ReportSocketError("Bind");
    return;
  }
  SetState(wsBound);

  if (SocketType_ == SOCK_DGRAM) {
    SetState(wsListening);
    SetState(wsConnected);
    FireSessionConnected(0);
  } else {
    if (SocketApi_listen(SocketHandle_, ListenBacklog_) == SOCKET_ERROR) {
      ReportSocketError("Listen");
      return;
    }
    SetState(wsListening);
  }

  if (SocketApi_WSAAsyncSelect(SocketHandle_, NotifyWindow(), MsgSocketEvent, ListenEvents) != 0) {
    ReportSocketError("WSAASyncSelect");
  }
}

SOCKET TCustomWSocket::Accept() {
  if (State_ != wsListening) {
    SocketApi_WSASetLastError(WSAEINVAL);
    ReportSocketError("not a listening socket");
    return INVALID_SOCKET;
  }
  int Len = sizeof SockAddr_;
  const SOCKET NewHandle = SocketApi_accept(SocketHandle_, AsSockAddr(SockAddr_), &Len);
  if (NewHandle == INVALID_SOCKET) {
    ReportSocketError("Accept");
    return INVALID_SOCKET;
  }
  return NewHandle;
}

void TCustomWSocket::Dup(SOCKET NewHandle) {
  if (NewHandle == 0 || NewHandle == INVALID_SOCKET) {
    SocketApi_WSASetLastError(WSAEINVAL);
    ReportSocketError("Dup");
    return;
  }
  if (State_ != wsClosed) {
    const int Result = SocketApi_closesocket(SocketHandle_);
    SocketHandle_ = INVALID_SOCKET;
    if (Result == SOCKET_ERROR) {
      ReportSocketError("Dup (closesocket)");
      return;
    }
    SetState(wsClosed);
  }
  // Bytes still queued belong to the connection that was closed, never to the adopted one.
  ClearSendQueue();
  SocketHandle_ = NewHandle;
  ApplyLingerOption();
  if (SocketApi_WSAAsyncSelect(SocketHandle_, NotifyWindow(), MsgSocketEvent, DupEvents) != 0) {
    ReportSocketError("WSAAsyncSelect");
    return;
  }
  SetState(wsConnected);
}

void TCustomWSocket::Disconnect(bool Shut, std::uint16_t Error) {
  if (SocketHandle_ == INVALID_SOCKET) {
    if (State_ != wsClosed) {
      SetState(wsClosed);
      ResetToDefaults();
    }
    return;
  }
  if (State_ == wsClosed) return;

  // A graceful close loses nothing the application handed over: the library sends what is still
  // queued in the background, then ends the stream. Where it cannot, the close goes on as usual.
  const SOCKET Handle = SocketHandle_;
  if (Shut && HandOverUnsentBytes(Handle)) {
    SocketHandle_ = INVALID_SOCKET;
  } else {
    if (Shut) {
      ShutdownSession(SD_SEND);
      // Linger on with 0 seconds would turn the close into a reset that throws away what the
      // system has not sent yet; a graceful close lets the system deliver it in the background.
      if (SocketType_ == SOCK_STREAM && LingerOnOff_ == wsLingerOn && LingerTimeout_ == 0) {
        SetCloseLinger(Handle, 0, 0);
      }
    }
    // From here on notices for the old socket are stale.
    SocketHandle_ = INVALID_SOCKET;
    if (!CloseSocketHandle(Handle)) return;
  }

  SetState(wsClosed);
  if (!Destroying() && !CloseNotified_ && OnSessionClosed) {
    CloseNotified_ = true;
    FireSessionClosed(Error);
  }
  try {
    ResetToDefaults();
  } catch (const std::exception&) {
  }
}

bool TCustomWSocket::HandOverUnsentBytes(SOCKET Handle) {
  if (SocketType_ != SOCK_STREAM) return false;
  const std::string Unsent = UnsentBytes();
  if (Unsent.empty()) return false;
  if (SocketApi_CloseSocketAfterSending(Handle, Unsent.data(), static_cast<int>(Unsent.size()),
                                        FlushTimeout_) != 0) {
    return false;
  }
  ClearSendQueue();
  return true;
}

bool TCustomWSocket::CloseSocketHandle(SOCKET Handle) {
  TCloseRetryTimer Timer(NotifyWindow());
  bool Retried = false;
  for (;;) {
    if (SocketApi_closesocket(Handle) == 0) return true;
    LastError_ = SocketApi_WSAGetLastError();
    // A library that is not started has nothing left to close.
    if (LastError_ == WSANOTINITIALISED) return true;
    if (LastError_ != WSAEWOULDBLOCK) {
      ReportSocketError("Disconnect (closesocket)");
      return false;
    }
    // The close has no notice of its own to wait for: after one immediate retry, sleep in the
    // loop until a message or the retry timer comes.
    if (Retried && Timer.Start()) Pump_.Wait();
    Retried = true;
    RunPendingMessages();
  }
}

void TCustomWSocket::CloseSession() {
  Disconnect(true, 0);
}

void TCustomWSocket::AbortSession() {
  CancelLookup();
  ClearSendQueue();
  // Linger on with 0 seconds: the close resets the connection and drops unsent bytes.
  if (State_ == wsConnected && ProtoNumber_ == IPPROTO_TCP && SocketHandle_ != INVALID_SOCKET) {
    SetCloseLinger(SocketHandle_, 1, 0);
  }
  Disconnect(false, 0);
}

void TCustomWSocket::ShutdownSession(std::int32_t How) {
  if (SocketHandle_ != INVALID_SOCKET) SocketApi_shutdown(SocketHandle_, How);
}

void TCustomWSocket::WaitUntilClosed() {
  while (SocketHandle_ != INVALID_SOCKET && State_ != wsClosed) {
    RunPendingMessages();
    u_long Waiting = 0;
    if (SocketApi_ioctlsocket(SocketHandle_, FIONREAD, &Waiting) == SOCKET_ERROR) break;
    if (Waiting > 0) FireDataAvailable(0);
    char Probe = 0;
    if (RecvRaw(&Probe, 0, 0) <= 0) {
      LastError_ = SocketApi_WSAGetLastError();
      if (LastError_ != WSAEWOULDBLOCK) break;
    }
    RunPendingMessages();
    // Sleep in the loop until a notice (or the close) comes, rather than spinning.
    if (SocketHandle_ != INVALID_SOCKET && State_ != wsClosed && !Paused_) Pump_.Wait();
  }
}

std::int32_t TCustomWSocket::PauseEvents() {
  Paused_ = true;
  return SocketApi_WSAAsyncSelect(SocketHandle_, NotifyWindow(), 0, 0);
}

std::int32_t TCustomWSocket::ResumeEvents() {
  Paused_ = false;
  return SocketApi_WSAAsyncSelect(SocketHandle_, NotifyWindow(), MsgSocketEvent, DupEvents);
}

TSocketSendFlags TCustomWSocket::SendFlags() {
  switch (SendFlagsValue_) {
    case 0:
      return wsSendNormal;
    case MSG_OOB:
      return wsSendUrgent;
    default:
      RaiseSocketException("Invalid internal SendFlags");
      return wsSendNormal;
  }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
  switch (Value) {
    case wsSendNormal:
      SendFlagsValue_ = 0;
      break;
    case wsSendUrgent:
      SendFlagsValue_ = MSG_OOB;
      break;
    default:
      RaiseSocketException("Invalid SendFlags");
      break;
  }
}

bool TCustomWSocket::TimevalIsSet(const TIMEVAL& T) {
  return T.tv_sec != 0 || T.tv_usec != 0;
}

void TCustomWSocket::TimevalClear(TIMEVAL& T) {
  T.tv_sec = 0;
  T.tv_usec = 0;
}

bool TCustomWSocket::TimevalCompare(const TIMEVAL& A, const TIMEVAL& B, bool Equal) {
  const bool Same = A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
  return Equal ? Same : !Same;
}

// Converts each text whose resolved mark is clear, in the order protocol, port, local port
// (Connect only), address; each step sets its mark, so a failure keeps the steps already done.
void TCustomWSocket::ResolveSessionTexts(bool WithLocalPort) {
  if (!ProtoResolved_) {
    ProtoNumber_ = WSocketResolveProto(ProtoText_);
    SocketType_ = ProtoNumber_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    ProtoResolved_ = true;
  }
  if (!PortResolved_) {
    PortNumber_ = WSocketResolvePort(PortText_, ProtoText_);
    SockAddr_.sin_port = SocketApi_htons(static_cast<u_short>(PortNumber_));
    PortResolved_ = true;
  }
  if (WithLocalPort && !LocalPortResolved_) {
    LocalPortNumber_ = WSocketResolvePort(LocalPort_, ProtoText_);
    LocalPortResolved_ = true;
  }
  if (!AddrResolved_) {
    SockAddr_.sin_addr.S_addr = WSocketResolveHost(AddrText_);
    AddrResolved_ = true;
  }
}

}  // namespace vantrel
