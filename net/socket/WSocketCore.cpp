// Construction and destruction, the notification window and its dispatch, the event triggers,
// exceptions raised during notifications, and the message pumping of waits.
#include "CustomWSocket.h"
#include "WSocketInternal.h"
#include "WinSock.h"

namespace vantrel {
namespace {

constexpr const char* NotifyWindowClassName = "XSocketWindowClass";

}  // namespace

TCustomWSocket::TCustomWSocket(TComponent* Owner)
    : TComponent(Owner), NotifyWindow_(NotifyWindowClassName, this) {
  SendBlockSize_ = TBuffer::DefaultCapacity;
  // A virtual call from a constructor reaches this class only: each layer resets its own part.
  TCustomWSocket::ResetToDefaults();
  SocketComponentAdded();
}

TCustomWSocket::~TCustomWSocket() {
  try {
    CancelLookup();
  } catch (...) {
  }
  try {
    if (State_ != wsClosed) CloseSession();
  } catch (...) {
  }
  // A socket left behind by a close that failed is not leaked.
  if (SocketHandle_ != INVALID_SOCKET && SocketApiHandle() != nullptr) {
    SocketApi_closesocket(SocketHandle_);
    SocketHandle_ = INVALID_SOCKET;
  }
  try {
    SocketComponentRemoved();
  } catch (...) {
  }
  ClearSendQueue();
  // The window goes with its member: detached first, so late messages get the default answer.
}

void TCustomWSocket::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
}

void TCustomWSocket::HandleWindowMessage(TMessage& Msg) {
  try {
    switch (Msg.Msg) {
      case MsgSocketEvent:
        HandleSelectMessage(Msg);
        break;
      case MsgHostByNameDone:
        HandleHostByNameMessage(Msg);
        break;
      case MsgHostByAddrDone:
        HandleHostByAddrMessage(Msg);
        break;
      default:
        Msg.Result = NotifyWindow_.DefaultAnswer(Msg);
        break;
    }
  } catch (const std::exception& E) {
    ProcessBgException(E);
  }
}

void TCustomWSocket::HandleSelectMessage(const TMessage& Msg) {
  const auto Handle = static_cast<SOCKET>(Msg.WParam);
  const WORD Events = WSAGetSelectEvent(Msg.LParam);
  const WORD Error = WSAGetSelectError(Msg.LParam);
  // Stale notices of a closed or replaced socket end here.
  if (Handle != SocketHandle_ || Paused_) return;

  if (Events & FD_CONNECT) {
    SetState(wsConnected);
    FireSessionConnected(Error);
    if (Error != 0 && State_ != wsClosed) CloseSession();
  }
  if (Events & FD_READ) DeliverReceivedData(Error);
  if (Events & FD_WRITE) {
    TryToSend();
    if (AllSent_) FireDataSent(Error);
  }
  if (Events & FD_ACCEPT) FireSessionAvailable(Error);
  if ((Events & FD_CLOSE) && State_ != wsConnecting) {
    DeliverReceivedData(0);
    // A handler that closed the socket while the last bytes were delivered has had its close
    // event already; the session must not be reported closed twice.
    if (OnSessionClosed && !CloseNotified_ && SocketHandle_ == Handle) {
      CloseNotified_ = true;
      FireSessionClosed(Error);
    }
    if (State_ != wsClosed) CloseSession();
  }
}

void TCustomWSocket::DeliverReceivedData(std::uint16_t Error) {
  try {
    for (;;) {
      LastError_ = 0;
      PassRead_ = prNone;
      if (!FireDataAvailable(Error)) {
        // Nobody reads: throw the bytes away so that the notices stop.
        char Scratch[1024];
        if (RecvRaw(Scratch, sizeof Scratch, 0) < 0) {
          LastError_ = SocketApi_WSAGetLastError();
          if (LastError_ == WSAEWOULDBLOCK) {
            LastError_ = 0;
            break;
          }
        }
      }
      if (LastError_ != 0) break;
      // A system receive that came back short has drained the socket: bytes that arrive later
      // bring a notice of their own, so the count query can be saved.
      if (PassRead_ == prShort) break;
      u_long Waiting = 0;
      if (SocketApi_ioctlsocket(SocketHandle_, FIONREAD, &Waiting) == SOCKET_ERROR) {
        LastError_ = SocketApi_WSAGetLastError();
        break;
      }
      if (Waiting == 0) break;
    }
  } catch (const std::exception& E) {
    // A failing data handler must not go unnoticed: by default the connection is aborted.
    ProcessBgException(E);
  }
}

void TCustomWSocket::SetState(TSocketState NewState) {
  const TSocketState OldState = State_;
  State_ = NewState;
  FireChangeState(OldState, NewState);
}

// Each trigger calls a copy of its handler, so that a handler may replace itself.
bool TCustomWSocket::FireDataAvailable(std::uint16_t Error) {
  return FireEvent(OnDataAvailable, this, Error);
}

void TCustomWSocket::FireSessionAvailable(std::uint16_t Error) {
  FireEvent(OnSessionAvailable, this, Error);
}

void TCustomWSocket::FireSessionConnected(std::uint16_t Error) {
  FireEvent(OnSessionConnected, this, Error);
}

void TCustomWSocket::FireSessionClosed(std::uint16_t Error) {
  FireEvent(OnSessionClosed, this, Error);
}

void TCustomWSocket::FireDataSent(std::uint16_t Error) {
  FireEvent(OnDataSent, this, Error);
}

void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState) {
  FireEvent(OnChangeState, this, OldState, NewState);
}

void TCustomWSocket::FireDnsLookupDone(std::uint16_t Error) {
  FireEvent(OnDnsLookupDone, this, Error);
}

void TCustomWSocket::FireError() {
  FireEvent(OnError, this);
}

void TCustomWSocket::ProcessBgException(const std::exception& E) {
  bool CanClose = true;
  if (OnBgException) {
    try {
      TBgExceptionEvent Handler = OnBgException;
      Handler(this, E, CanClose);
    } catch (...) {
    }
  }
  if (CanClose) {
    try {
      AbortSession();
    } catch (...) {
    }
  }
}

void TCustomWSocket::ResetToDefaults() {
  SockAddr_ = SOCKADDR_IN{};
  SockAddr_.sin_family = AF_INET;
  AddressFamily_ = AF_INET;
  PortAssigned_ = false;
  AddrAssigned_ = false;
  AddrResolved_ = false;
  PortResolved_ = false;
  ProtoResolved_ = false;
  LocalPortResolved_ = false;
  ProtoAssigned_ = true;
  ProtoNumber_ = IPPROTO_TCP;
  ProtoText_ = "tcp";
  SocketType_ = SOCK_STREAM;
  LocalPort_ = "0";
  LingerOnOff_ = wsLingerOn;
  LingerTimeout_ = 0;
  SocketHandle_ = INVALID_SOCKET;
  State_ = wsClosed;
  AllSent_ = true;
  Paused_ = false;
  ReadCount_ = 0;
  CloseNotified_ = false;
  FlushTimeout_ = 60;
}

void TCustomWSocket::RunPendingMessages() {
  Pump_.RunPending();
}

}  // namespace vantrel
