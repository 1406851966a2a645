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

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* Owner) : TCustomWSocket(Owner) {
  // The core's constructor reset only its own part.
  TCustomSocksWSocket::ResetToDefaults();
}

void TCustomSocksWSocket::ResetToDefaults() {
  TCustomWSocket::ResetToDefaults();
  NegotiationPhase_ = npNone;
  if (TSocksData* Data = Socks_.IfAny()) {
    Data->Server.clear();
    Data->Port.clear();
    Data->Level = "5";
  }
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
    Socks().Level = Value;
  } else if (Value == "4a") {
    Socks().Level = "4A";
  } else {
    RaiseSocketException("Invalid socks level. Must be 4, 4A or 5.");
  }
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
  if (State_ != wsClosed) {
    RaiseSocketException("Can't change socks server if not closed");
    return;
  }
  Socks().Server = Trim(Value);
  SocksServerSet_ = !Socks().Server.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
  if (State_ != wsClosed) {
    RaiseSocketException("Can't change socks port if not closed");
    return;
  }
  Socks().Port = Trim(Value);
  SocksPortSet_ = !Socks().Port.empty();
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
      SockAddr_.sin_port = SocketApi_htons(WSocketResolvePort(Socks().Port, ProtoText_));
      PortResolved_ = true;
    }
    if (!AddrResolved_) {
      SockAddr_.sin_addr.S_addr = WSocketResolveHost(Socks().Server);
      AddrResolved_ = true;
    }
    PortNumber_ = WSocketResolvePort(PortText_, ProtoText_);
  } catch (const std::exception& E) {
    RaiseSocketException(std::string("connect: ") + E.what());
    return;
  }

  NegotiationPhase_ = npGreeting;
  NegotiationCount_ = 0;
  if (TSocksData* Data = Socks_.IfAny()) Data->ErrorMessage.clear();
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
      !IsSocks4(Socks().Level) && SocksAuthentication_ == socksAuthenticateUsercode;
  const std::string TooLong = socks::ValueTooLongText(Socks().Level, AddrText_, Socks().Usercode,
                                                      Socks().Password, UserAndPassword);
  if (!TooLong.empty()) {
    FailNegotiation(socks::ErrorValueTooLong, TooLong);
    return;
  }

  if (IsSocks4(Socks().Level)) {
    SendConnectRequest();
    return;
  }
  OfferedMethod_ = UserAndPassword ? socks::MethodUsercode : socks::MethodNone;
  SendNegotiationMessage(socks::Greeting(OfferedMethod_));
}

void TCustomSocksWSocket::SendNegotiationMessage(const std::vector<std::uint8_t>& Message) {
  try {
    Send(Message.data(), static_cast<std::int32_t>(Message.size()));
  } catch (const std::exception&) {
  }
}

void TCustomSocksWSocket::SendUsercodeAuth() {
  NegotiationPhase_ = npAuthenticating;
  FireSocksAuthState(socksAuthBegun);
  if (NegotiationPhase_ != npAuthenticating) return;  // closed by the handler

  const auto Message = socks::UsercodeAuth(Socks().Usercode, Socks().Password);
  if (Message.empty()) {
    // Only reachable when a handler changed the values during the dialogue.
    FailNegotiation(socks::ErrorValueTooLong,
                    "socks: user name and password too long (at most 125 bytes together)");
    return;
  }
  SendNegotiationMessage(Message);
}

void TCustomSocksWSocket::SendConnectRequest() {
  NegotiationPhase_ = npConnectRequest;
  // The port travels in 16 bits.
  const auto Port = static_cast<std::uint16_t>(PortNumber_);
  std::vector<std::uint8_t> Message;
  if (Socks().Level == "4") {
    std::uint8_t Address[4];
    try {
      const std::uint32_t Resolved = WSocketResolveHost(AddrText_);  // network order
      std::memcpy(Address, &Resolved, sizeof Address);
    } catch (const std::exception& E) {
      Socks().ErrorMessage = ExceptionClassName(E) + " " + E.what();
      FireSocksError(socks::FailureCode(socks::TFailure::Resolve), Socks().ErrorMessage);
      Disconnect(true, socks::FailureCode(socks::TFailure::Resolve));
      return;
    }
    Message = socks::Socks4Connect(Port, Address, Socks().Usercode);
  } else if (Socks().Level == "4A") {
    Message = socks::Socks4AConnect(Port, Socks().Usercode, AddrText_);
  } else {
    Message = socks::Socks5Connect(AddrText_, Port);
  }
  if (Message.empty()) {
    // Only reachable when a handler changed the values during the dialogue.
    FailNegotiation(socks::ErrorValueTooLong,
                    socks::ValueTooLongText(Socks().Level, AddrText_, Socks().Usercode,
                                            Socks().Password, false));
    return;
  }
  SendNegotiationMessage(Message);
}

bool TCustomSocksWSocket::ReadNegotiationBytes(std::int32_t Limit) {
  const std::int32_t Room = Limit - NegotiationCount_;
  if (Room <= 0) return false;
  const std::int32_t Got = ReadData(Socks().Buffer + NegotiationCount_, Room);
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
      if (ReadNegotiationBytes(socks::ReplyLimit)) HandleMethodReply();
      return true;
    case npAuthenticating:
      if (ReadNegotiationBytes(socks::ReplyLimit)) HandleAuthReply();
      return true;
    case npConnectRequest:
      if (IsSocks4(Socks().Level)) {
        return ReadNegotiationBytes(socks::Socks4ReplyLength) ? HandleSocks4Reply() : true;
      }
      return ReadNegotiationBytes(socks::ReplyLimit) ? HandleSocks5Reply() : true;
    default:
      FailNegotiation(socks::FailureCode(socks::TFailure::Internal),
                      socks::FailureText(socks::TFailure::Internal));
      return false;
  }
}

void TCustomSocksWSocket::FailWith(const socks::TReply& Reply) {
  FailNegotiation(Reply.Error, Reply.Msg);
}

void TCustomSocksWSocket::HandleMethodReply() {
  if (IsSocks4(Socks().Level)) {
    FailNegotiation(socks::FailureCode(socks::TFailure::Logic),
                    socks::FailureText(socks::TFailure::Logic));
    return;
  }
  const socks::TReply Reply =
      socks::ParseMethodReply(Socks().Buffer, static_cast<std::size_t>(NegotiationCount_));
  if (Reply.Status == socks::TReplyStatus::NeedMore) return;
  NegotiationCount_ = 0;  // anything behind the two bytes is dropped
  if (Reply.Status == socks::TReplyStatus::Failed) {
    FailWith(Reply);
  } else if (Reply.Method == socks::MethodNone) {
    if (OfferedMethod_ != socks::MethodNone) {
      FireSocksAuthState(socksAuthWaived);
      if (NegotiationPhase_ != npGreeting) return;  // closed by the handler
    }
    SendConnectRequest();
  } else {
    SendUsercodeAuth();
  }
}

void TCustomSocksWSocket::HandleAuthReply() {
  const socks::TReply Reply =
      socks::ParseAuthReply(Socks().Buffer, static_cast<std::size_t>(NegotiationCount_));
  if (Reply.Status == socks::TReplyStatus::Failed) {
    FireSocksAuthState(socksAuthDenied);
    FailWith(Reply);
  } else if (Reply.Status == socks::TReplyStatus::Done) {
    NegotiationCount_ = 0;
    FireSocksAuthState(socksAuthGranted);
    if (NegotiationPhase_ != npAuthenticating) return;  // closed by the handler
    SendConnectRequest();
  }
}

bool TCustomSocksWSocket::HandleSocks4Reply() {
  const socks::TReply Reply =
      socks::ParseSocks4Reply(Socks().Buffer, static_cast<std::size_t>(NegotiationCount_));
  if (Reply.Status == socks::TReplyStatus::NeedMore) return true;
  NegotiationCount_ = 0;
  if (Reply.Status == socks::TReplyStatus::Failed) {
    FailWith(Reply);
    return true;
  }
  LeftoverCount_ = 0;  // the reply is read exactly: what follows is still in the socket
  return NegotiationSucceeded();
}

bool TCustomSocksWSocket::HandleSocks5Reply() {
  const socks::TReply Reply =
      socks::ParseSocks5Reply(Socks().Buffer, static_cast<std::size_t>(NegotiationCount_));
  if (Reply.Status == socks::TReplyStatus::NeedMore) return true;
  if (Reply.Status == socks::TReplyStatus::Failed) {
    FailWith(Reply);
    return true;
  }
  Socks().ReplyAddr = Reply.BoundAddr;
  Socks().ReplyPort = Reply.BoundPort;
  const auto Length = static_cast<std::int32_t>(Reply.Length);
  LeftoverCount_ = NegotiationCount_ > Length ? NegotiationCount_ - Length : 0;
  LeftoverPos_ = Length;
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
  Socks().ErrorMessage = Msg;
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
  std::memcpy(Buffer, Socks().Buffer + LeftoverPos_, static_cast<std::size_t>(Count));
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
