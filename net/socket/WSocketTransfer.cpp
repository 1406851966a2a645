// Moving bytes: the send queue and its drain, the send and receive operations.
#include <algorithm>

#include "CustomWSocket.h"
#include "WSocketInternal.h"
#include "WinMessages.h"
#include "WinSock.h"

namespace vantrel {

void TCustomWSocket::SetSendBlockSize(std::int32_t Value) {
  if (State_ != wsClosed) {
    RaiseSocketException("Cannot change SendBlockSize if not closed");
    return;
  }
  SendBlockSize_ = Value <= 0 ? TBuffer::DefaultCapacity : std::min(Value, MaxSendBlockSize);
}

void TCustomWSocket::AppendToSendQueue(const void* Data, std::int32_t Len) {
  if (Len <= 0) return;
  SendQueueUsed_ = true;
  if (SocketType_ == SOCK_DGRAM) {
    // Each Send is one datagram: a block of its own, never split and never shared.
    SendQueue_.push_back(std::make_unique<TBuffer>(Len));
    SendQueue_.back()->Append(Data, Len);
    return;
  }
  if (SendQueue_.empty()) SendQueue_.push_back(std::make_unique<TBuffer>(SendBlockSize_));
  const char* Bytes = static_cast<const char*>(Data);
  for (;;) {
    const std::int32_t Taken = SendQueue_.back()->Append(Bytes, Len);
    if (Taken >= Len) return;
    Len -= Taken;
    Bytes += Taken;
    SendQueue_.push_back(std::make_unique<TBuffer>(SendBlockSize_));
  }
}

std::string TCustomWSocket::UnsentBytes() const {
  std::string Bytes;
  for (const auto& Block : SendQueue_) {
    std::int32_t Len = 0;
    const char* Data = Block->UnreadSpan(Len);
    if (Len > 0) Bytes.append(Data, static_cast<std::size_t>(Len));
  }
  return Bytes;
}

void TCustomWSocket::ClearSendQueue() {
  SendQueue_.clear();
  SendQueueUsed_ = false;
}

void TCustomWSocket::TryToSend() {
  SendBlocked_ = false;
  if (SocketHandle_ == INVALID_SOCKET) return;
  if (SendQueue_.empty()) {
    // Drained since something was queued (an empty Send then announces); never used, nothing.
    if (SendQueueUsed_) AllSent_ = true;
    return;
  }
  for (;;) {
    TBuffer& Block = *SendQueue_.front();
    std::int32_t Len = 0;
    const char* Data = Block.UnreadSpan(Len);
    if (Len <= 0) {
      // A drained block is freed, the last one too: an idle connection keeps no send buffer.
      SendQueue_.pop_front();
      if (!SendQueue_.empty()) continue;
      AllSent_ = true;
      return;
    }
    const std::int32_t Sent = SendRaw(Data, Len);
    if (Sent == 0) return;
    if (Sent < 0) {
      SendFailed(SocketApi_WSAGetLastError());
      return;
    }
    // After a short send the rest of the block is offered again at once: the system announces
    // writability only after a send that would block, so stopping here could stall the queue.
    Block.Consume(Sent);
  }
}

void TCustomWSocket::SendFailed(int Code) {
  switch (Code) {
    case WSAEINVAL:
    case WSAENOTSOCK:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAENOTCONN:
      // The connection is gone: close quietly, then report the loss once, with its code.
      CloseNotified_ = true;
      CloseSession();
      FireSessionClosed(static_cast<std::uint16_t>(Code));
      return;
    case WSAEWOULDBLOCK:
      SendBlocked_ = true;  // the next write notice resumes the drain
      return;
    case WSAEMSGSIZE:
      // A datagram the system will never take would hold up every one queued behind it.
      if (SocketType_ == SOCK_DGRAM) SendQueue_.pop_front();
      ReportSocketError("TryToSend failed");
      return;
    default:
      ReportSocketError("TryToSend failed");
      return;
  }
}

std::int32_t TCustomWSocket::SendStraight(const char* Data, std::int32_t Len, int& Failure) {
  Failure = 0;
  SendBlocked_ = false;
  // Drained blocks are freed as they empty, so an empty queue is the only drained one.
  if (SocketType_ == SOCK_DGRAM || SocketHandle_ == INVALID_SOCKET || !SendQueue_.empty()) return 0;
  std::int32_t Taken = 0;
  while (Taken < Len) {
    const std::int32_t Piece = std::min(Len - Taken, SendBlockSize_);
    const std::int32_t Sent = SendRaw(Data + Taken, Piece);
    if (Sent < 0) Failure = SocketApi_WSAGetLastError();
    if (Sent <= 0) break;
    Taken += Sent;
    if (Sent < Piece) break;
  }
  return Taken;
}

std::int32_t TCustomWSocket::Send(const void* Data, std::int32_t Len) {
  if (State_ != wsConnected) {
    SocketApi_WSASetLastError(WSAENOTCONN);
    ReportSocketError("Send");
    return -1;
  }
  AllSent_ = false;
  std::int32_t Result = 0;
  int Failure = 0;
  if (Len > 0) {
    Result = Len;
    // Bytes the system takes at once need no copy; the rest is queued as if nothing had gone.
    const char* Bytes = static_cast<const char*>(Data);
    const std::int32_t Taken = SendStraight(Bytes, Len, Failure);
    if (Taken > 0) SendQueueUsed_ = true;  // sent straight: a later empty Send announces too
    AppendToSendQueue(Bytes + Taken, Len - Taken);
  }
  if (Failure != 0)
    SendFailed(Failure);
  else
    TryToSend();
  // OnDataSent must not run inside Send: announce the drained queue through the loop.
  if (AllSent_) {
    PostMessage(NotifyWindow(), MsgSocketEvent, SocketHandle_, WSAMakeSelectReply(FD_WRITE, 0));
  }
  return Result;
}

std::int32_t TCustomWSocket::SendText(const std::string& Str) {
  return Send(Str.data(), static_cast<std::int32_t>(Str.size()));
}

std::int32_t TCustomWSocket::SendDatagram(const SOCKADDR_IN& Dest, int DestLen, const void* Data,
                                          std::int32_t Len) {
  const SOCKADDR_IN Target = Dest;
  return SocketApi_sendto(SocketHandle_, static_cast<const char*>(Data), Len, SendFlagsValue_,
                          reinterpret_cast<const SOCKADDR*>(&Target), DestLen);
}

std::int32_t TCustomWSocket::SendRaw(const void* Data, std::int32_t Len) {
  const char* Bytes = static_cast<const char*>(Data);
  if (SocketType_ == SOCK_DGRAM) {
    return SocketApi_sendto(SocketHandle_, Bytes, Len, SendFlagsValue_,
                            reinterpret_cast<const SOCKADDR*>(&SockAddr_), sizeof SockAddr_);
  }
  return SocketApi_send(SocketHandle_, Bytes, Len, SendFlagsValue_);
}

std::int32_t TCustomWSocket::ReadData(void* Buffer, std::int32_t BufferSize) {
  const std::int32_t Result = RecvRaw(Buffer, BufferSize, 0);
  if (Result < 0) {
    LastError_ = SocketApi_WSAGetLastError();
  } else {
    ReadCount_ += Result;
  }
  return Result;
}

std::string TCustomWSocket::ReadText() {
  const std::int32_t Waiting = RcvdCount();
  if (Waiting <= 0) return {};
  std::string Text(static_cast<std::size_t>(Waiting), '\0');
  const std::int32_t Got = RecvRaw(Text.data(), Waiting, 0);
  if (Got <= 0) return {};
  Text.resize(static_cast<std::size_t>(Got));
  return Text;
}

std::int32_t TCustomWSocket::ReadDatagram(void* Buffer, std::int32_t BufferSize, SOCKADDR_IN& From,
                                          int& FromLen) {
  const std::int32_t Result = RecvFromRaw(SocketHandle_, Buffer, BufferSize, 0, From, FromLen);
  if (Result < 0) {
    LastError_ = SocketApi_WSAGetLastError();
  } else {
    ReadCount_ += Result;
  }
  return Result;
}

std::int32_t TCustomWSocket::RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags) {
  const std::int32_t Result = SocketApi_recv(SocketHandle_, static_cast<char*>(Buffer), Len, Flags);
  if (Result >= 0 && Len > 0) PassRead_ = Result == Len ? prFull : prShort;
  return Result;
}

std::int32_t TCustomWSocket::RecvFromRaw(SOCKET Socket, void* Buffer, std::int32_t Len,
                                         std::int32_t Flags, SOCKADDR_IN& From, int& FromLen) {
  return SocketApi_recvfrom(Socket, static_cast<char*>(Buffer), Len, Flags,
                            reinterpret_cast<SOCKADDR*>(&From), &FromLen);
}

std::int32_t TCustomWSocket::RcvdCount() {
  u_long Waiting = 0;
  if (SocketApi_ioctlsocket(SocketHandle_, FIONREAD, &Waiting) == SOCKET_ERROR) {
    ReportSocketError("ioctlSocket");
    return -1;
  }
  return static_cast<std::int32_t>(Waiting);
}

void TCustomWSocket::FlushSendQueue() {
  // An empty queue holds nothing to wait for, even before its first block exists.
  while (SocketHandle_ != INVALID_SOCKET && !AllSent_ && !SendQueue_.empty()) {
    TryToSend();
    RunPendingMessages();
    // Sleep in the loop until the system takes bytes again, rather than spinning; only a send
    // that would block is sure to be followed by a write notice.
    if (SocketHandle_ != INVALID_SOCKET && !AllSent_ && SendBlocked_ && !Paused_) {
      Pump_.Wait();
    }
  }
}

}  // namespace vantrel
