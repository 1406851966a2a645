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
    LineSearched_ = 0;
    if (LineCutting() && LineBufferCount_ > 0) {
      const std::string_view Held(LineBuffer_.data() + LineHead_,
                                  static_cast<std::size_t>(LineBufferCount_));
      const std::size_t Pos = Held.find(LineEnd_);
      if (Pos != std::string_view::npos) {
        const auto Length = static_cast<std::int32_t>(Pos + LineEnd_.size());
        if (LineLimit_ <= 0 || Length <= LineLimit_) LineLength_ = Length;
      }
    }
  } else if (LineSkipping_) {
    // Everything held belongs to a line that is being dropped.
    DropFront(LineBufferCount_);
    LineSkipping_ = false;
  }
  if (LineBufferCount_ > 0 || LineLength_ > 0) PostDrain();
}

void TCustomLineWSocket::SetLineEnd(const std::string& Value) {
  if (Value == LineEnd_) return;
  LineEnd_ = Value;
  if (LineLength_ == 0) LineSearched_ = 0;
  // Held bytes may hold lines for the new marker, or must be handed out raw when it is empty.
  if (LineMode_ && LineBufferCount_ > 0) PostDrain();
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
  while (LineBufferCount_ > 0) {
    if (LineCutting()) {
      // What is left after the complete lines waits for the rest of its line.
      if (DeliverLines() || LineCutting()) return;
      continue;  // line mode was switched off by the handler: the rest goes out raw
    }
    if (!FireApplicationDataAvailable()) {
      DropFront(LineBufferCount_);
      LineLength_ = 0;
      return;
    }
  }
}

std::int32_t TCustomLineWSocket::RcvdCount() {
  DropStaleLineBytes();
  if (LineMode_ && (LineLength_ > 0 || !LineEnd_.empty())) return LineLength_;
  if (LineBufferCount_ > 0) return LineBufferCount_;
  return TCustomSslWSocket::RcvdCount();
}

std::int32_t TCustomLineWSocket::RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags) {
  if (Len <= 0 || Buffer == nullptr || LineFetching_) {
    return TCustomSslWSocket::RecvRaw(Buffer, Len, Flags);
  }
  DropStaleLineBytes();
  if (LineMode_ && LineLength_ > 0) {
    const std::int32_t Count = TakeFront(Buffer, std::min(Len, LineLength_));
    LineLength_ -= Count;
    return Count;
  }
  if (!LineCutting() && LineBufferCount_ > 0) {
    const std::int32_t Count = TakeFront(Buffer, Len);
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
  PrepareForAppend(Waiting);
  std::int32_t Got = 0;
  {
    TFlagScope Fetching(LineFetching_);
    Got = ReadData(LineBuffer_.data() + LineBufferCount_, Waiting);
  }
  if (Got <= 0) return;
  LineSocket_ = SocketHandle_;

  std::string Echo;
  if (LineEdit_) {
    EditReceivedBytes(Got, Echo);
  } else if (LineEcho_) {
    Echo.assign(LineBuffer_.data() + LineBufferCount_, static_cast<std::size_t>(Got));
  }
  LineBufferCount_ += Got;
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
      const std::size_t EndSize = LineEnd_.size();
      const std::string_view Held(LineBuffer_.data() + LineHead_,
                                  static_cast<std::size_t>(LineBufferCount_));
      // A marker may begin in the last searched bytes and end in new ones.
      const auto Searched = static_cast<std::size_t>(LineSearched_);
      const std::size_t From = Searched >= EndSize ? Searched - EndSize + 1 : 0;
      const std::size_t Pos = Held.find(LineEnd_, From);
      if (Pos == std::string_view::npos) {
        LineSearched_ = LineBufferCount_;
        EnforceLineLimit();
        return LineCutting() && LineLength_ == 0;
      }
      const auto Length = static_cast<std::int32_t>(Pos + EndSize);
      if (LineSkipping_ || (LineLimit_ > 0 && Length > LineLimit_)) {
        const bool Report = !LineSkipping_;
        LineSkipping_ = false;
        DropFront(Length);
        LineSearched_ = 0;
        if (Report) FireLineTooLong();
        continue;
      }
      LineLength_ = Length;
    }
    DeliverCurrentLine();
    if (LineLength_ > 0) return false;  // line mode was switched off in the middle of the line
    LineSearched_ = 0;
  }
  return false;
}

void TCustomLineWSocket::DeliverCurrentLine() {
  // The notice's own error is not passed on: a line is complete.
  while (LineMode_ && LineLength_ > 0) {
    if (!FireApplicationDataAvailable()) {
      DropFront(LineLength_);
      LineLength_ = 0;
    }
  }
}

void TCustomLineWSocket::EnforceLineLimit() {
  // Of a line that is being dropped only the last bytes are kept, which may begin its marker.
  const std::int32_t Keep =
      std::min(LineBufferCount_, static_cast<std::int32_t>(LineEnd_.size()) - 1);
  if (LineSkipping_) {
    DropFront(LineBufferCount_ - Keep);
    LineSearched_ = LineBufferCount_;
    return;
  }
  if (LineLimit_ <= 0 || LineBufferCount_ <= LineLimit_) return;
  LineSkipping_ = true;
  DropFront(LineBufferCount_ - Keep);
  LineSearched_ = LineBufferCount_;
  FireLineTooLong();
}

void TCustomLineWSocket::DeliverLastLine() {
  if (!LineMode_ || LineBufferCount_ == 0 || LineSkipping_) return;
  // Complete lines still held (a handler closed the connection) go first, one by one.
  DeliverLines(true);
  if (!LineMode_ || LineSkipping_ || LineBufferCount_ == 0) return;
  if (LineLength_ == 0) LineLength_ = LineBufferCount_;
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
  const bool NoticeToCome = CloseNotified_ && LineBufferCount_ > 0;
  TCustomSslWSocket::ResetToDefaults();
  if (!NoticeToCome) ReleaseLineBuffer();
}

void TCustomLineWSocket::EditReceivedBytes(std::int32_t& Count, std::string& Echo) {
  const char* Bytes = LineBuffer_.data() + LineHead_;
  const std::int32_t Start = LineBufferCount_;
  const std::int32_t Floor = LineLength_;  // a line already cut is not edited
  std::int32_t Low = Start;
  std::int32_t J = Start;  // where the next kept byte goes
  // Made at the first backspace or tab; from then on it holds exactly the J bytes kept.
  std::string Copy;
  bool Copied = false;
  auto MakeCopy = [&](std::int32_t I) {
    if (Copied) return;
    Copy.assign(Bytes, static_cast<std::size_t>(I));
    Copied = true;
  };
  for (std::int32_t I = Start; I < Start + Count; ++I) {
    const char C = Bytes[I];
    if (C == '\b') {
      MakeCopy(I);
      if (J > Floor) {
        if (LineEcho_) Echo += "\b \b";
        --J;
        Copy.pop_back();
        Low = std::min(Low, J);
      }
    } else if (C == '\t') {
      MakeCopy(I);
      do {
        Copy.push_back(' ');
        ++J;
        if (LineEcho_) Echo += ' ';
      } while (J % 8 != 0);
    } else {
      if (LineEcho_) Echo += C;
      if (Copied) Copy.push_back(C);
      ++J;
    }
  }
  if (!Copied) return;
  const auto Needed = static_cast<std::size_t>(LineHead_) + static_cast<std::size_t>(J) + 1;
  if (LineBuffer_.size() < Needed) LineBuffer_.resize(Needed);
  std::memcpy(LineBuffer_.data() + LineHead_ + Low, Copy.data() + Low,
              static_cast<std::size_t>(J - Low));
  LineBufferCount_ = Low;
  Count = J - Low;
  LineSearched_ = std::min(LineSearched_, Low);
}

void TCustomLineWSocket::FireLineTooLong() {
  FireEvent(OnLineTooLong, this);
}

void TCustomLineWSocket::DropStaleLineBytes() {
  if (LineBufferCount_ > 0 && SocketHandle_ != INVALID_SOCKET && LineSocket_ != SocketHandle_) {
    ReleaseLineBuffer();
  }
}

void TCustomLineWSocket::DropFront(std::int32_t Count) {
  Count = std::clamp(Count, 0, LineBufferCount_);
  LineHead_ += Count;
  LineBufferCount_ -= Count;
  LineSearched_ = std::max(0, LineSearched_ - Count);
  if (LineBufferCount_ == 0) LineHead_ = 0;
}

std::int32_t TCustomLineWSocket::TakeFront(void* Buffer, std::int32_t Len) {
  const std::int32_t Count = std::min(Len, LineBufferCount_);
  std::memcpy(Buffer, LineBuffer_.data() + LineHead_, static_cast<std::size_t>(Count));
  DropFront(Count);
  return Count;
}

void TCustomLineWSocket::PrepareForAppend(std::int32_t Extra) {
  if (LineHead_ > 0) {
    std::memmove(LineBuffer_.data(), LineBuffer_.data() + LineHead_,
                 static_cast<std::size_t>(LineBufferCount_));
    LineHead_ = 0;
  }
  const std::size_t Needed =
      static_cast<std::size_t>(LineBufferCount_) + static_cast<std::size_t>(Extra) + 1;
  if (LineBuffer_.size() < Needed) LineBuffer_.resize(Needed);
}

void TCustomLineWSocket::ReleaseLineBuffer() {
  std::vector<char>().swap(LineBuffer_);
  LineHead_ = 0;
  LineBufferCount_ = 0;
  LineLength_ = 0;
  LineSearched_ = 0;
  LineSkipping_ = false;
  LineSocket_ = INVALID_SOCKET;
  ++LineGeneration_;
}

}  // namespace vantrel
