// Line mode: received bytes held until a line is complete, cut at LineEnd, edited and echoed for
// terminal-style peers, and handed out line by line through the ordinary receive operations.
#include "LineWSocket.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <string_view>

#include "FireEvent.h"
#include "WinMessages.h"
#include "WinSock.h"

namespace vantrel {
namespace {

// Sets a flag for the lifetime of the scope, then restores its earlier value.
class TFlagScope {
 public:
  explicit TFlagScope(bool& Flag) : Flag_(Flag), Old_(Flag) { Flag = true; }
  ~TFlagScope() { Flag_ = Old_; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& Flag_;
  bool Old_;
};

}  // namespace

TCustomLineWSocket::TCustomLineWSocket(TComponent* Owner)
    : TCustomSslWSocket(Owner), LineEnd_("\r\n") {}

void TCustomLineWSocket::SetLineMode(bool Value) {
  if (Value == LineMode_) return;
  LineMode_ = Value;
  if (Value) {
    // The held bytes are searched again from their start: the current line is the first one
    // complete among them (a line too long is left to the drain, which drops it).
    LineLength_ = 0;
    Held_.RestartSearch();
    if (LineCutting() && Held_.Count() > 0) {
      const std::size_t Pos = Held_.Held().find(LineEnd_);
      if (Pos != std::string_view::npos) {
        const auto Length = static_cast<std::int32_t>(Pos + LineEnd_.size());
        if (!LineTooLong(Length, LineLimit_)) LineLength_ = Length;
      }
    }
  } else if (LineSkipping_) {
    // Everything held belongs to a line that is being dropped.
    Held_.DropFront(Held_.Count());
    LineSkipping_ = false;
  }
  if (Held_.Count() > 0 || LineLength_ > 0) PostDrain();
}

void TCustomLineWSocket::SetLineEnd(const std::string& Value) {
  if (Value == LineEnd_) return;
  LineEnd_ = Value;
  if (LineLength_ == 0) Held_.RestartSearch();
  // Held bytes may hold lines for the new marker, or must be handed out raw when it is empty.
  if (LineMode_ && Held_.Count() > 0) PostDrain();
}

void TCustomLineWSocket::PostDrain() {
  PostMessage(NotifyWindow(), MsgDrainLineBuffer, 0, 0);
}

void TCustomLineWSocket::HandleWindowMessage(TMessage& Msg) {
  if (Msg.Msg != MsgDrainLineBuffer) {
    TCustomSslWSocket::HandleWindowMessage(Msg);
    return;
  }
  try {
    DrainLineBuffer();
  } catch (const std::exception& E) {
    ProcessBgException(E);
  }
}

void TCustomLineWSocket::DrainLineBuffer() {
  DropStaleLineBytes();
  while (Held_.Count() > 0) {
    if (LineCutting()) {
      // What is left after the complete lines waits for the rest of its line.
      if (DeliverLines() || LineCutting()) return;
      continue;  // line mode was switched off by the handler: the rest goes out raw
    }
    if (!FireApplicationDataAvailable()) {
      Held_.DropFront(Held_.Count());
      LineLength_ = 0;
      return;
    }
  }
}

std::int32_t TCustomLineWSocket::RcvdCount() {
  DropStaleLineBytes();
  if (LineMode_ && (LineLength_ > 0 || !LineEnd_.empty())) return LineLength_;
  if (Held_.Count() > 0) return Held_.Count();
  return TCustomSslWSocket::RcvdCount();
}

std::int32_t TCustomLineWSocket::RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags) {
  if (Len <= 0 || Buffer == nullptr || LineFetching_) {
    return TCustomSslWSocket::RecvRaw(Buffer, Len, Flags);
  }
  DropStaleLineBytes();
  if (LineMode_ && LineLength_ > 0) {
    const std::int32_t Count = Held_.TakeFront(Buffer, std::min(Len, LineLength_));
    LineLength_ -= Count;
    return Count;
  }
  if (!LineCutting() && Held_.Count() > 0) {
    const std::int32_t Count = Held_.TakeFront(Buffer, Len);
    // Only counts when line mode comes back on, and is recomputed then.
    LineLength_ = std::max(0, LineLength_ - Count);
    return Count;
  }
  return TCustomSslWSocket::RecvRaw(Buffer, Len, Flags);
}

bool TCustomLineWSocket::FireDataAvailable(std::uint16_t Error) {
  if (Negotiating()) {
    // The SOCKS dialogue and the TLS handshake read their own bytes; once they have ended, the
    // bytes that the server sent behind its last reply are the first of the connection's lines.
    const bool Taken = TCustomSslWSocket::FireDataAvailable(Error);
    if (Negotiating() || !LineCutting() || State_ != wsConnected) return Taken;
    LastError_ = 0;
    ReceiveLines();
    return true;
  }
  if (!LineCutting()) return TCustomSslWSocket::FireDataAvailable(Error);
  ReceiveLines();
  return true;
}

void TCustomLineWSocket::ReceiveLines() {
  DropStaleLineBytes();
  // Lines already held (line mode just switched on, a new marker) go before any new byte. Inside
  // a delivery (a handler that runs the message loop) the bytes are only added: the delivery
  // that is running finds the new lines.
  if (!LineDelivering_ && !DeliverLines()) return;

  const std::int32_t Waiting = TCustomSslWSocket::RcvdCount();
  if (Waiting <= 0) return;
  char* Fresh = Held_.PrepareForAppend(Waiting);
  std::int32_t Got = 0;
  {
    TFlagScope Fetching(LineFetching_);
    Got = ReadData(Fresh, Waiting);
  }
  if (Got <= 0) return;
  LineSocket_ = SocketHandle_;

  std::string Echo;
  if (LineEdit_) {
    EditReceivedBytes(Got, Echo);
  } else if (LineEcho_) {
    Echo.assign(Fresh, static_cast<std::size_t>(Got));
  }
  Held_.Commit(Got);
  if (!Echo.empty()) {
    const std::uint32_t Generation = LineGeneration_;
    Send(Echo.data(), static_cast<std::int32_t>(Echo.size()));
    if (Generation != LineGeneration_) return;  // the send found the connection gone
  }
  if (!LineDelivering_) DeliverLines();
}

bool TCustomLineWSocket::DeliverLines(bool AtClose) {
  if (LineDelivering_ && !AtClose) return false;
  TFlagScope Delivering(LineDelivering_);
  while (LineCutting()) {
    if (LineLength_ == 0) {
      const std::size_t Pos = Held_.FindMarker(LineEnd_);
      if (Pos == std::string_view::npos) {
        EnforceLineLimit();
        return LineCutting() && LineLength_ == 0;
      }
      const auto Length = static_cast<std::int32_t>(Pos + LineEnd_.size());
      if (LineSkipping_ || LineTooLong(Length, LineLimit_)) {
        const bool Report = !LineSkipping_;
        LineSkipping_ = false;
        Held_.DropFront(Length);
        Held_.RestartSearch();
        if (Report) FireLineTooLong();
        continue;
      }
      LineLength_ = Length;
    }
    DeliverCurrentLine();
    if (LineLength_ > 0) return false;  // line mode was switched off in the middle of the line
    Held_.RestartSearch();
  }
  return false;
}

void TCustomLineWSocket::DeliverCurrentLine() {
  // The notice's own error is not passed on: a line is complete.
  while (LineMode_ && LineLength_ > 0) {
    if (!FireApplicationDataAvailable()) {
      Held_.DropFront(LineLength_);
      LineLength_ = 0;
    }
  }
}

void TCustomLineWSocket::EnforceLineLimit() {
  // Of a line that is being dropped only the last bytes are kept, which may begin its marker.
  const std::int32_t Keep = std::min(Held_.Count(), static_cast<std::int32_t>(LineEnd_.size()) - 1);
  if (LineSkipping_) {
    Held_.DropFront(Held_.Count() - Keep);
    Held_.MarkSearched();
    return;
  }
  if (!LineTooLong(Held_.Count(), LineLimit_)) return;
  LineSkipping_ = true;
  Held_.DropFront(Held_.Count() - Keep);
  Held_.MarkSearched();
  FireLineTooLong();
}

void TCustomLineWSocket::DeliverLastLine() {
  if (!LineMode_ || Held_.Count() == 0 || LineSkipping_) return;
  // Complete lines still held (a handler closed the connection) go first, one by one.
  DeliverLines(true);
  if (!LineMode_ || LineSkipping_ || Held_.Count() == 0) return;
  if (LineLength_ == 0) LineLength_ = Held_.Count();
  DeliverCurrentLine();
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t Error) {
  DropStaleLineBytes();
  // The close is reported even when the handler fails on the last line.
  std::exception_ptr Failure;
  try {
    DeliverLastLine();
  } catch (...) {
    Failure = std::current_exception();
  }
  ReleaseLineBuffer();
  TCustomSslWSocket::FireSessionClosed(Error);
  if (Failure) std::rethrow_exception(Failure);
}

void TCustomLineWSocket::ResetToDefaults() {
  // After a send found the connection gone the close notice follows the close: it delivers the
  // last line and releases the buffer itself.
  const bool NoticeToCome = CloseNotified_ && Held_.Count() > 0;
  TCustomSslWSocket::ResetToDefaults();
  if (!NoticeToCome) ReleaseLineBuffer();
}

void TCustomLineWSocket::EditReceivedBytes(std::int32_t& Count, std::string& Echo) {
  // A line already cut is not edited.
  TLineEdit Edit = EditLineBytes(Held_.View(Count), Held_.Count(), LineLength_, LineEcho_);
  Echo = std::move(Edit.Echo);
  if (!Edit.Changed) return;
  Held_.RewriteFrom(Edit.Low, Edit.Kept);
  Count = static_cast<std::int32_t>(Edit.Kept.size());
}

void TCustomLineWSocket::FireLineTooLong() {
  FireEvent(OnLineTooLong, this);
}

void TCustomLineWSocket::DropStaleLineBytes() {
  if (Held_.Count() > 0 && SocketHandle_ != INVALID_SOCKET && LineSocket_ != SocketHandle_) {
    ReleaseLineBuffer();
  }
}

void TCustomLineWSocket::ReleaseLineBuffer() {
  Held_.Release();
  LineLength_ = 0;
  LineSkipping_ = false;
  LineSocket_ = INVALID_SOCKET;
  ++LineGeneration_;
}

}  // namespace vantrel
