// The SOCKS 4, 4A and 5 client layer: the settings, the requests it builds, and the dialogue it
// runs on the connection to the SOCKS server before the application sees that connection.
#include "SocksWSocket.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

#include "FireEvent.h"
#include "TextUtils.h"
#include "WinSock.h"

namespace vantrel {
namespace {

// Bytes the replies may fill: one byte of the 128 is kept free, as the dialogue always has.
constexpr std::int32_t ReplyLimit = SocksMessageBufferSize - 1;
constexpr std::int32_t Socks4ReplyLength = 8;

constexpr std::uint16_t SocksErrorLogic = 20001;
constexpr std::uint16_t SocksErrorVersion = 20002;
constexpr std::uint16_t SocksErrorMethod = 20003;
constexpr std::uint16_t SocksErrorRefused = 20008;
constexpr std::uint16_t SocksErrorAddressType = 20011;
constexpr std::uint16_t SocksErrorUnassigned = 20012;
constexpr std::uint16_t SocksErrorInternal = 20013;
constexpr std::uint16_t SocksErrorAuthentication = 20015;
constexpr std::uint16_t SocksErrorRejected = 20016;
constexpr std::uint16_t SocksErrorResolve = 20017;

// Longest values that leave room in one 128-byte message for everything else it carries.
constexpr std::size_t Socks5MaxAddr = 121;             // 7 + host
constexpr std::size_t Socks5MaxUserAndPassword = 125;  // 3 + user + password
constexpr std::size_t Socks4MaxUsercode = 119;         // 9 + user id
constexpr std::size_t Socks4AMaxUserAndHost = 118;     // 10 + user id + host

bool IsSocks4(const std::string& Level) {
  return !Level.empty() && Level[0] == '4';
}

// The unqualified class name of an exception ("ESocketException"), for the 20017 text.
std::string ExceptionClassName(const std::exception& E) {
  const char* Mangled = typeid(E).name();
  int Status = 0;
  std::unique_ptr<char, decltype(&std::free)> Demangled(
      abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status), &std::free);
  std::string Name = Status == 0 && Demangled ? Demangled.get() : Mangled;
  const std::size_t Scope = Name.rfind("::");
  return Scope == std::string::npos ? Name : Name.substr(Scope + 2);
}

// Builds one message in a fixed buffer; writes nothing past its end and remembers whether
// anything did not fit.
class TMessageWriter {
 public:
  explicit TMessageWriter(unsigned char (&Buffer)[SocksMessageBufferSize]) : Buffer_(Buffer) {}

  void Byte(std::uint8_t Value) {
    if (Len_ >= SocksMessageBufferSize) {
      Overflow_ = true;
      return;
    }
    Buffer_[Len_++] = Value;
  }
  void Bytes(const void* Data, std::size_t Count) {
    if (Count > static_cast<std::size_t>(SocksMessageBufferSize - Len_)) {
      Overflow_ = true;
      return;
    }
    if (Count > 0) std::memcpy(Buffer_ + Len_, Data, Count);
    Len_ += static_cast<std::int32_t>(Count);
  }
  void Text(const std::string& Value) { Bytes(Value.data(), Value.size()); }
  // A length byte followed by the text; a text longer than 255 bytes does not fit.
  void CountedText(const std::string& Value) {
    if (Value.size() > 255) {
      Overflow_ = true;
      return;
    }
    Byte(static_cast<std::uint8_t>(Value.size()));
    Text(Value);
  }
  // Network byte order.
  void Port(std::uint32_t Value) {
    Byte(static_cast<std::uint8_t>((Value >> 8) & 0xFF));
    Byte(static_cast<std::uint8_t>(Value & 0xFF));
  }

  bool Overflow() const { return Overflow_; }
  const unsigned char* Data() const { return Buffer_; }
  std::int32_t Length() const { return Len_; }

 private:
  unsigned char* Buffer_;
  std::int32_t Len_ = 0;
  bool Overflow_ = false;
};

struct TReplyCode {
  std::uint16_t Error;
  const char* Msg;
};

// Version 5 reply codes 1 to 8.
constexpr TReplyCode Socks5ReplyCodes[] = {
    {20004, "general SOCKS server failure"}, {20005, "connection not allowed by ruleset"},
    {20006, "network unreachable"},          {20007, "host unreachable"},
    {20008, "connection refused"},           {20009, "time to live expired"},
    {20010, "command not supported"},        {20011, "address type not supported"},
};

}  // namespace

std::string SocksValueTooLongText(const std::string& Level, const std::string& Addr,
                                  const std::string& Usercode, const std::string& Password,
                                  bool UserAndPassword) {
  if (Level == "4") {
    if (Usercode.size() > Socks4MaxUsercode) {
      return "socks: user id too long (at most 119 bytes for SOCKS 4)";
    }
  } else if (Level == "4A") {
    if (Usercode.size() + Addr.size() > Socks4AMaxUserAndHost) {
      return "socks: user id and host name too long (at most 118 bytes together for SOCKS 4A)";
    }
  } else {
    if (Addr.size() > Socks5MaxAddr) {
      return "socks: destination host name too long (at most 121 bytes for SOCKS 5)";
    }
    if (UserAndPassword && Usercode.size() + Password.size() > Socks5MaxUserAndPassword) {
      return "socks: user name and password too long (at most 125 bytes together)";
    }
  }
  return {};
}

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* Owner) : TCustomWSocket(Owner) {
  // The core's constructor reset only its own part.
  TCustomSocksWSocket::ResetToDefaults();
}

void TCustomSocksWSocket::ResetToDefaults() {
  TCustomWSocket::ResetToDefaults();
  NegotiationPhase_ = npNone;
  SocksServer_.clear();
  SocksPort_.clear();
  SocksLevel_ = "5";
  LeftoverCount_ = 0;
  SocksPortSet_ = false;
  SocksServerSet_ = false;
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
  if (State_ != wsClosed) {
    RaiseSocketException("Can't change socks level if not closed");
    return;
  }
  if (Value == "4" || Value == "5" || Value == "4A") {
    SocksLevel_ = Value;
  } else if (Value == "4a") {
    SocksLevel_ = "4A";
  } else {
    RaiseSocketException("Invalid socks level. Must be 4, 4A or 5.");
  }
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
  if (State_ != wsClosed) {
    RaiseSocketException("Can't change socks server if not closed");
    return;
  }
  SocksServer_ = Trim(Value);
  SocksServerSet_ = !SocksServer_.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
  if (State_ != wsClosed) {
    RaiseSocketException("Can't change socks port if not closed");
    return;
  }
  SocksPort_ = Trim(Value);
  SocksPortSet_ = !SocksPort_.empty();
}

void TCustomSocksWSocket::Listen() {
  if (SocksServerSet_) {
    RaiseSocketException("listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::Connect() {
  if (!SocksServerSet_) {
    TCustomWSocket::Connect();
    return;
  }
  // A second Connect during a dialogue is refused by the core; it must not restart the dialogue.
  if (SocketHandle_ != INVALID_SOCKET && State_ != wsClosed) {
    TCustomWSocket::Connect();
    return;
  }
  if (LowerCase(ProtoText_) != "tcp") {
    RaiseSocketException("tcp is the only protocol supported thru socks server");
    return;
  }
  try {
    // The core connects to whatever SockAddr_ holds once both marks are set: the SOCKS server.
    if (!PortResolved_) {
      SockAddr_.sin_port = SocketApi_htons(WSocketResolvePort(SocksPort_, ProtoText_));
      PortResolved_ = true;
    }
    if (!AddrResolved_) {
      SockAddr_.sin_addr.S_addr = WSocketResolveHost(SocksServer_);
      AddrResolved_ = true;
    }
    PortNumber_ = WSocketResolvePort(PortText_, ProtoText_);
  } catch (const std::exception& E) {
    RaiseSocketException(std::string("connect: ") + E.what());
    return;
  }

  NegotiationPhase_ = npGreeting;
  NegotiationCount_ = 0;
  SocksErrorMessage_.clear();
  try {
    TCustomWSocket::Connect();
  } catch (...) {
    // No connection was started: a later direct connection must not be taken for a dialogue.
    if (State_ == wsClosed) NegotiationPhase_ = npNone;
    throw;
  }
  if (State_ == wsClosed) NegotiationPhase_ = npNone;
}

void TCustomSocksWSocket::FireSessionConnected(std::uint16_t Error) {
  if (NegotiationPhase_ != npGreeting) {
    TCustomWSocket::FireSessionConnected(Error);
    return;
  }
  FireSocksConnected(Error);
  if (Error != 0) {
    TCustomWSocket::FireSessionConnected(Error);
    return;
  }
  // The handler may have closed the socket already.
  if (NegotiationPhase_ != npGreeting || State_ != wsConnected) return;

  // Refuse values that cannot be carried before sending anything at all.
  const bool UserAndPassword =
      !IsSocks4(SocksLevel_) && SocksAuthentication_ == socksAuthenticateUsercode;
  const std::string TooLong = SocksValueTooLongText(SocksLevel_, AddrText_, SocksUsercode_,
                                                    SocksPassword_, UserAndPassword);
  if (!TooLong.empty()) {
    FailNegotiation(SocksErrorValueTooLong, TooLong);
    return;
  }

  if (IsSocks4(SocksLevel_)) {
    SendConnectRequest();
    return;
  }
  OfferedMethod_ = UserAndPassword ? 2 : 0;
  const unsigned char Greeting[] = {0x05, 0x01, OfferedMethod_};
  SendNegotiationMessage(Greeting, sizeof Greeting);
}

void TCustomSocksWSocket::SendNegotiationMessage(const unsigned char* Data, std::int32_t Len) {
  try {
    Send(Data, Len);
  } catch (const std::exception&) {
  }
}

void TCustomSocksWSocket::SendUsercodeAuth() {
  NegotiationPhase_ = npAuthenticating;
  FireSocksAuthState(socksAuthBegun);
  if (NegotiationPhase_ != npAuthenticating) return;  // closed by the handler

  unsigned char Buffer[SocksMessageBufferSize];
  TMessageWriter Message(Buffer);
  Message.Byte(0x01);
  Message.CountedText(SocksUsercode_);
  Message.CountedText(SocksPassword_);
  if (Message.Overflow()) {
    // Only reachable when a handler changed the values during the dialogue.
    FailNegotiation(SocksErrorValueTooLong,
                    "socks: user name and password too long (at most 125 bytes together)");
    return;
  }
  SendNegotiationMessage(Message.Data(), Message.Length());
}

void TCustomSocksWSocket::SendConnectRequest() {
  NegotiationPhase_ = npConnectRequest;
  unsigned char Buffer[SocksMessageBufferSize];
  TMessageWriter Message(Buffer);
  if (IsSocks4(SocksLevel_)) {
    // 4A names the host after the user id and gives 0.0.0.1 as the address: the server resolves.
    unsigned char Address[4] = {0, 0, 0, 1};
    if (SocksLevel_ == "4") {
      try {
        const std::uint32_t Resolved = WSocketResolveHost(AddrText_);  // network order
        std::memcpy(Address, &Resolved, sizeof Address);
      } catch (const std::exception& E) {
        SocksErrorMessage_ = ExceptionClassName(E) + " " + E.what();
        FireSocksError(SocksErrorResolve, SocksErrorMessage_);
        Disconnect(true, SocksErrorResolve);
        return;
      }
    }
    Message.Byte(0x04);
    Message.Byte(0x01);
    Message.Port(PortNumber_);
    Message.Bytes(Address, sizeof Address);
    Message.Text(SocksUsercode_);
    Message.Byte(0x00);
    if (SocksLevel_ == "4A") {
      Message.Text(AddrText_);
      Message.Byte(0x00);
    }
  } else {
    Message.Byte(0x05);
    Message.Byte(0x01);
    Message.Byte(0x00);
    Message.Byte(0x03);  // always a name, even for a dotted address
    Message.CountedText(AddrText_);
    Message.Port(PortNumber_);
  }
  if (Message.Overflow()) {
    // Only reachable when a handler changed the values during the dialogue.
    FailNegotiation(
        SocksErrorValueTooLong,
        SocksValueTooLongText(SocksLevel_, AddrText_, SocksUsercode_, SocksPassword_, false));
    return;
  }
  SendNegotiationMessage(Message.Data(), Message.Length());
}

bool TCustomSocksWSocket::ReadNegotiationBytes(std::int32_t Limit) {
  const std::int32_t Room = Limit - NegotiationCount_;
  if (Room <= 0) return false;
  const std::int32_t Got = ReadData(NegotiationBuffer_ + NegotiationCount_, Room);
  if (Got < 0) return false;
  NegotiationCount_ += Got;
  return true;
}

bool TCustomSocksWSocket::FireDataAvailable(std::uint16_t Error) {
  if (NegotiationPhase_ == npNone) return TCustomWSocket::FireDataAvailable(Error);
  if (Error != 0) {
    FailNegotiation(Error, "data receive error");
    return false;
  }
  switch (NegotiationPhase_) {
    case npGreeting:
      if (ReadNegotiationBytes(ReplyLimit)) HandleMethodReply();
      return true;
    case npAuthenticating:
      if (ReadNegotiationBytes(ReplyLimit)) HandleAuthReply();
      return true;
    case npConnectRequest:
      if (IsSocks4(SocksLevel_)) {
        return ReadNegotiationBytes(Socks4ReplyLength) ? HandleSocks4Reply() : true;
      }
      return ReadNegotiationBytes(ReplyLimit) ? HandleSocks5Reply() : true;
    default:
      FailNegotiation(SocksErrorInternal, "internal error");
      return false;
  }
}

void TCustomSocksWSocket::HandleMethodReply() {
  if (IsSocks4(SocksLevel_)) {
    FailNegotiation(SocksErrorLogic, "TWSocket logic error");
    return;
  }
  if (NegotiationCount_ < 2) return;
  NegotiationCount_ = 0;  // anything behind the two bytes is dropped
  if (NegotiationBuffer_[0] != 0x05) {
    FailNegotiation(SocksErrorVersion, "socks version error");
    return;
  }
  switch (NegotiationBuffer_[1]) {
    case 0x00:
      if (OfferedMethod_ != 0) {
        FireSocksAuthState(socksAuthWaived);
        if (NegotiationPhase_ != npGreeting) return;  // closed by the handler
      }
      SendConnectRequest();
      break;
    case 0x02:
      SendUsercodeAuth();
      break;
    default:
      FailNegotiation(SocksErrorMethod, "authentification method not acceptable");
      break;
  }
}

void TCustomSocksWSocket::HandleAuthReply() {
  if (NegotiationCount_ >= 1 && NegotiationBuffer_[0] != 0x01) {
    FireSocksAuthState(socksAuthDenied);
    FailNegotiation(SocksErrorVersion, "socks version error");
  } else if (NegotiationCount_ == 2) {
    if (NegotiationBuffer_[1] == 0x00) {
      NegotiationCount_ = 0;
      FireSocksAuthState(socksAuthGranted);
      if (NegotiationPhase_ != npAuthenticating) return;  // closed by the handler
      SendConnectRequest();
    } else {
      FireSocksAuthState(socksAuthDenied);
      FailNegotiation(SocksErrorAuthentication, "socks authentication failed");
    }
  } else if (NegotiationCount_ > 2) {
    FireSocksAuthState(socksAuthDenied);
    FailNegotiation(SocksErrorLogic, "too much data availaible");
  }
}

bool TCustomSocksWSocket::HandleSocks4Reply() {
  if (NegotiationCount_ < Socks4ReplyLength) return true;
  NegotiationCount_ = 0;
  if (NegotiationBuffer_[0] != 0x00) {
    FailNegotiation(SocksErrorVersion, "socks version error");
    return true;
  }
  const std::uint8_t Code = NegotiationBuffer_[1];
  switch (Code) {
    case 90:
      LeftoverCount_ = 0;  // the reply is read exactly: what follows is still in the socket
      return NegotiationSucceeded();
    case 91:
      FailNegotiation(SocksErrorRejected, "request rejected or failed");
      break;
    case 92:
      FailNegotiation(SocksErrorRefused, "connection refused");
      break;
    case 93:
      FailNegotiation(SocksErrorAuthentication, "authentification failed");
      break;
    default:
      FailNegotiation(SocksErrorUnassigned, "unassigned error #" + std::to_string(Code));
      break;
  }
  return true;
}

bool TCustomSocksWSocket::HandleSocks5Reply() {
  const unsigned char* Reply = NegotiationBuffer_;
  if (NegotiationCount_ >= 1 && Reply[0] != 0x05) {
    FailNegotiation(SocksErrorVersion, "socks version error");
    return true;
  }
  if (NegotiationCount_ >= 2 && Reply[1] != 0x00) {
    const std::uint8_t Code = Reply[1];
    if (Code >= 1 && Code <= 8) {
      FailNegotiation(Socks5ReplyCodes[Code - 1].Error, Socks5ReplyCodes[Code - 1].Msg);
    } else {
      FailNegotiation(SocksErrorUnassigned, "unassigned error #" + std::to_string(Code));
    }
    return true;
  }
  if (NegotiationCount_ < 5) return true;

  const std::uint8_t AddressType = Reply[3];
  std::int32_t ReplyLength = 5;
  if (AddressType == 1) {
    ReplyLength = 10;
  } else if (AddressType == 3) {
    ReplyLength = 7 + Reply[4];
  }
  // A bound host name beyond the buffer would never complete: end instead of waiting for ever.
  if (ReplyLength > ReplyLimit) {
    FailNegotiation(SocksErrorReplyTooLong, "socks reply too long");
    return true;
  }
  if (NegotiationCount_ < ReplyLength) return true;

  std::int32_t PortOffset = 0;
  if (AddressType == 1) {
    SocksReplyAddr_ = std::to_string(Reply[4]) + "." + std::to_string(Reply[5]) + "." +
                      std::to_string(Reply[6]) + "." + std::to_string(Reply[7]);
    PortOffset = 8;
  } else if (AddressType == 3) {
    SocksReplyAddr_.assign(reinterpret_cast<const char*>(Reply + 5), Reply[4]);
    PortOffset = 5 + Reply[4];
  } else {
    FailNegotiation(SocksErrorAddressType, "address type not supported");
    return true;
  }
  SocksReplyPort_ = std::to_string((Reply[PortOffset] << 8) | Reply[PortOffset + 1]);

  LeftoverCount_ = NegotiationCount_ > ReplyLength ? NegotiationCount_ - ReplyLength : 0;
  LeftoverPos_ = ReplyLength;
  NegotiationCount_ = 0;
  return NegotiationSucceeded();
}

bool TCustomSocksWSocket::NegotiationSucceeded() {
  NegotiationPhase_ = npNone;
  return SessionEstablished();
}

bool TCustomSocksWSocket::SessionEstablished() {
  TCustomWSocket::FireSessionConnected(0);
  // The application hears of the data at once, whether or not bytes were left behind the reply.
  return TCustomWSocket::FireDataAvailable(0);
}

void TCustomSocksWSocket::FailNegotiation(std::uint16_t Error, const std::string& Msg) {
  SocksErrorMessage_ = Msg;
  FireSocksError(Error, Msg);
  TCustomWSocket::FireSessionConnected(Error);
  Disconnect(true, Error);
}

void TCustomSocksWSocket::FireSessionClosed(std::uint16_t Error) {
  if (NegotiationPhase_ == npAuthenticating) FireSocksAuthState(socksAuthDenied);
  TCustomWSocket::FireSessionClosed(Error);
}

std::int32_t TCustomSocksWSocket::RcvdCount() {
  if (LeftoverCount_ > 0) return LeftoverCount_;
  return TCustomWSocket::RcvdCount();
}

std::int32_t TCustomSocksWSocket::RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags) {
  // A negative length or no buffer is the system's to refuse.
  if (LeftoverCount_ <= 0 || Len < 0 || Buffer == nullptr) {
    return TCustomWSocket::RecvRaw(Buffer, Len, Flags);
  }
  const std::int32_t Count = Len < LeftoverCount_ ? Len : LeftoverCount_;
  std::memcpy(Buffer, NegotiationBuffer_ + LeftoverPos_, static_cast<std::size_t>(Count));
  LeftoverPos_ += Count;
  LeftoverCount_ -= Count;
  return Count;
}

void TCustomSocksWSocket::FireSocksConnected(std::uint16_t Error) {
  FireEvent(OnSocksConnected, this, Error);
}

void TCustomSocksWSocket::FireSocksError(std::int32_t Error, const std::string& Msg) {
  FireEvent(OnSocksError, this, Error, Msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState) {
  FireEvent(OnSocksAuthState, this, AuthState);
}

}  // namespace vantrel
