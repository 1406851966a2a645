// The SOCKS messages and replies, byte by byte.
#include "SocksProtocol.h"

#include <cstring>
#include <iterator>
#include <utility>

namespace vantrel::socks {
namespace {

struct TFailureEntry {
  std::uint16_t Code;
  const char* Text;
};

// In the order of TFailure.
constexpr TFailureEntry Failures[] = {
    {20001, "TWSocket logic error"},
    {20001, "too much data availaible"},
    {20002, "socks version error"},
    {20003, "authentification method not acceptable"},
    {20004, "general SOCKS server failure"},
    {20005, "connection not allowed by ruleset"},
    {20006, "network unreachable"},
    {20007, "host unreachable"},
    {20008, "connection refused"},
    {20009, "time to live expired"},
    {20010, "command not supported"},
    {20011, "address type not supported"},
    {20012, "unassigned error #"},
    {20013, "internal error"},
    {20015, "socks authentication failed"},
    {20015, "authentification failed"},
    {20016, "request rejected or failed"},
    {20017, ""},
    {ErrorValueTooLong, ""},
    {ErrorReplyTooLong, "socks reply too long"},
};
static_assert(std::size(Failures) == static_cast<std::size_t>(TFailure::ReplyTooLong) + 1);

// Builds one message; writes nothing past MessageBufferSize and remembers whether anything did
// not fit.
class TWriter {
 public:
  TWriter() { Bytes_.reserve(MessageBufferSize); }

  void Byte(std::uint8_t Value) { Append(&Value, 1); }
  void Text(const std::string& Value) { Append(Value.data(), Value.size()); }
  // A length byte followed by the text.
  void CountedText(const std::string& Value) {
    if (Value.size() > 255) {
      Overflow_ = true;
      return;
    }
    Byte(static_cast<std::uint8_t>(Value.size()));
    Text(Value);
  }
  void Port(std::uint16_t Value) {
    Byte(static_cast<std::uint8_t>(Value >> 8));
    Byte(static_cast<std::uint8_t>(Value & 0xFF));
  }
  void Append(const void* Data, std::size_t Count) {
    if (Overflow_ || Count > MessageBufferSize - Bytes_.size()) {
      Overflow_ = true;
      return;
    }
    const auto* From = static_cast<const std::uint8_t*>(Data);
    Bytes_.insert(Bytes_.end(), From, From + Count);
  }
  std::vector<std::uint8_t> Take() {
    if (Overflow_) return {};
    return std::move(Bytes_);
  }

 private:
  std::vector<std::uint8_t> Bytes_;
  bool Overflow_ = false;
};

TReply Fail(TFailure Failure, const std::string& Extra = {}) {
  TReply Reply;
  Reply.Status = TReplyStatus::Failed;
  Reply.Failure = Failure;
  Reply.Error = FailureCode(Failure);
  Reply.Msg = FailureText(Failure) + Extra;
  return Reply;
}

TReply Done(std::size_t Length) {
  TReply Reply;
  Reply.Status = TReplyStatus::Done;
  Reply.Length = Length;
  return Reply;
}

}  // namespace

std::uint16_t FailureCode(TFailure Failure) {
  return Failures[static_cast<std::size_t>(Failure)].Code;
}

const char* FailureText(TFailure Failure) {
  return Failures[static_cast<std::size_t>(Failure)].Text;
}

std::string ValueTooLongText(const std::string& Level, const std::string& Addr,
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

std::vector<std::uint8_t> Greeting(std::uint8_t Method) {
  return {Version5, 0x01, Method};  // one method offered
}

std::vector<std::uint8_t> UsercodeAuth(const std::string& User, const std::string& Password) {
  TWriter Message;
  Message.Byte(AuthVersion);
  Message.CountedText(User);
  Message.CountedText(Password);
  return Message.Take();
}

std::vector<std::uint8_t> Socks5Connect(const std::string& Host, std::uint16_t Port) {
  TWriter Message;
  Message.Byte(Version5);
  Message.Byte(CommandConnect);
  Message.Byte(0x00);
  Message.Byte(AddressName);  // always a name, even for a dotted address
  Message.CountedText(Host);
  Message.Port(Port);
  return Message.Take();
}

std::vector<std::uint8_t> Socks4Connect(std::uint16_t Port, const std::uint8_t (&Address)[4],
                                        const std::string& Usercode) {
  TWriter Message;
  Message.Byte(Version4);
  Message.Byte(CommandConnect);
  Message.Port(Port);
  Message.Append(Address, sizeof Address);
  Message.Text(Usercode);
  Message.Byte(0x00);
  return Message.Take();
}

std::vector<std::uint8_t> Socks4AConnect(std::uint16_t Port, const std::string& Usercode,
                                         const std::string& Host) {
  static const std::uint8_t Unresolved[4] = {0, 0, 0, 1};
  TWriter Message;
  Message.Byte(Version4);
  Message.Byte(CommandConnect);
  Message.Port(Port);
  Message.Append(Unresolved, sizeof Unresolved);
  Message.Text(Usercode);
  Message.Byte(0x00);
  Message.Text(Host);
  Message.Byte(0x00);
  return Message.Take();
}

TReply ParseMethodReply(const std::uint8_t* Data, std::size_t Count) {
  if (Count < 2) return {};
  if (Data[0] != Version5) return Fail(TFailure::Version);
  if (Data[1] != MethodNone && Data[1] != MethodUsercode) return Fail(TFailure::Method);
  TReply Reply = Done(2);
  Reply.Method = Data[1];
  return Reply;
}

TReply ParseAuthReply(const std::uint8_t* Data, std::size_t Count) {
  if (Count >= 1 && Data[0] != AuthVersion) return Fail(TFailure::Version);
  if (Count == 2) return Data[1] == 0x00 ? Done(2) : Fail(TFailure::Authentication);
  if (Count > 2) return Fail(TFailure::TooMuchData);
  return {};
}

TReply ParseSocks4Reply(const std::uint8_t* Data, std::size_t Count) {
  if (Count < static_cast<std::size_t>(Socks4ReplyLength)) return {};
  if (Data[0] != Socks4ReplyVersion) return Fail(TFailure::Version);
  switch (Data[1]) {
    case Socks4Granted:
      return Done(Socks4ReplyLength);
    case Socks4Rejected:
      return Fail(TFailure::Rejected);
    case Socks4Refused:
      return Fail(TFailure::Refused);
    case Socks4AuthFailed:
      return Fail(TFailure::IdentFailed);
    default:
      return Fail(TFailure::Unassigned, std::to_string(Data[1]));
  }
}

TReply ParseSocks5Reply(const std::uint8_t* Data, std::size_t Count) {
  if (Count >= 1 && Data[0] != Version5) return Fail(TFailure::Version);
  if (Count >= 2 && Data[1] != 0x00) {
    const std::uint8_t Code = Data[1];
    if (Code <= 8)
      return Fail(static_cast<TFailure>(static_cast<int>(TFailure::ServerFailure) + Code - 1));
    return Fail(TFailure::Unassigned, std::to_string(Code));
  }
  if (Count < 5) return {};

  const std::uint8_t AddressType = Data[3];
  std::size_t Length = 5;
  if (AddressType == AddressIPv4) {
    Length = 10;
  } else if (AddressType == AddressName) {
    Length = 7 + std::size_t{Data[4]};
  }
  // A bound host name beyond the buffer would never complete: end instead of waiting for ever.
  if (Length > static_cast<std::size_t>(ReplyLimit)) return Fail(TFailure::ReplyTooLong);
  if (Count < Length) return {};

  TReply Reply = Done(Length);
  std::size_t PortOffset = 0;
  if (AddressType == AddressIPv4) {
    Reply.BoundAddr = std::to_string(Data[4]) + "." + std::to_string(Data[5]) + "." +
                      std::to_string(Data[6]) + "." + std::to_string(Data[7]);
    PortOffset = 8;
  } else if (AddressType == AddressName) {
    Reply.BoundAddr.assign(reinterpret_cast<const char*>(Data + 5), Data[4]);
    PortOffset = 5 + std::size_t{Data[4]};
  } else {
    return Fail(TFailure::AddressType);
  }
  Reply.BoundPort = std::to_string((Data[PortOffset] << 8) | Data[PortOffset + 1]);
  return Reply;
}

}  // namespace vantrel::socks
