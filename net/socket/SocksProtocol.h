// The SOCKS 4, 4A and 5 wire protocol as plain functions: the messages a client sends, the
// replies it reads, and the failure codes with their texts. No socket, window or event is
// involved, so the dialogue's bytes can be checked one by one; the SOCKS layer of the socket
// (SocksWSocket.h) keeps only the order of the dialogue and its events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::socks {

// Protocol bytes.
constexpr std::uint8_t Version4 = 0x04;
constexpr std::uint8_t Version5 = 0x05;
constexpr std::uint8_t Socks4ReplyVersion = 0x00;
constexpr std::uint8_t AuthVersion = 0x01;  // user name and password sub-negotiation
constexpr std::uint8_t CommandConnect = 0x01;
constexpr std::uint8_t MethodNone = 0x00;
constexpr std::uint8_t MethodUsercode = 0x02;
constexpr std::uint8_t AddressIPv4 = 0x01;
constexpr std::uint8_t AddressName = 0x03;
constexpr std::uint8_t Socks4Granted = 90;
constexpr std::uint8_t Socks4Rejected = 91;
constexpr std::uint8_t Socks4Refused = 92;
constexpr std::uint8_t Socks4AuthFailed = 93;

// Every message is built in, and every reply read into, a buffer of this size; replies may fill
// all of it but one byte.
constexpr std::int32_t MessageBufferSize = 128;
constexpr std::int32_t ReplyLimit = MessageBufferSize - 1;
constexpr std::int32_t Socks4ReplyLength = 8;

// Longest values that leave room in one message for everything else it carries.
constexpr std::size_t Socks5MaxAddr = 121;             // 7 + host
constexpr std::size_t Socks5MaxUserAndPassword = 125;  // 3 + user + password
constexpr std::size_t Socks4MaxUsercode = 119;         // 9 + user id
constexpr std::size_t Socks4AMaxUserAndHost = 118;     // 10 + user id + host

// Every way a negotiation can fail, each with one code and one text (FailureCode, FailureText).
// 20014 is not used; a receive error reports the notification's own code instead.
enum class TFailure : std::uint8_t {
  Logic,               // 20001: a method reply while the level is 4 or 4A
  TooMuchData,         // 20001: more than 2 bytes in answer to user name and password
  Version,             // 20002: wrong version byte in any reply
  Method,              // 20003: the server chose a method that was not offered
  ServerFailure,       // 20004: version 5 reply 1
  NotAllowed,          // 20005: reply 2
  NetUnreachable,      // 20006: reply 3
  HostUnreachable,     // 20007: reply 4
  Refused,             // 20008: reply 5; version 4 reply 92
  TtlExpired,          // 20009: reply 6
  CommandUnsupported,  // 20010: reply 7
  AddressType,         // 20011: reply 8; a success reply of another address type
  Unassigned,          // 20012: any other reply code (the text gets the code appended)
  Internal,            // 20013: bytes in an unexpected phase
  Authentication,      // 20015: the server refused user name and password
  IdentFailed,         // 20015: version 4 reply 93
  Rejected,            // 20016: version 4 reply 91
  Resolve,             // 20017: version 4 destination cannot be resolved (text from the caller)
  ValueTooLong,        // 20018: a value does not fit its message (text from ValueTooLongText)
  ReplyTooLong,        // 20019: a version 5 reply that the buffer cannot hold
};

std::uint16_t FailureCode(TFailure Failure);
const char* FailureText(TFailure Failure);

// Codes beyond the negotiation's own, named for the layer's callers.
constexpr std::uint16_t ErrorValueTooLong = 20018;
constexpr std::uint16_t ErrorReplyTooLong = 20019;

// Whether a code is one of the SOCKS layer's own (20001-20019) rather than a socket error.
constexpr bool IsFailureCode(int Code) {
  return Code >= 20001 && Code <= ErrorReplyTooLong;
}

// The 20018 text for the first value that does not fit its message, or "" when all fit. Level
// is "4", "4A" or "5"; UserAndPassword says whether version 5 will offer user name and password.
std::string ValueTooLongText(const std::string& Level, const std::string& Addr,
                             const std::string& Usercode, const std::string& Password,
                             bool UserAndPassword);

// Message writers. Each returns the whole message, or nothing when it would not fit in
// MessageBufferSize bytes. Ports are in host order and written in network order.
std::vector<std::uint8_t> Greeting(std::uint8_t Method);
std::vector<std::uint8_t> UsercodeAuth(const std::string& User, const std::string& Password);
std::vector<std::uint8_t> Socks5Connect(const std::string& Host, std::uint16_t Port);
// Address: the destination's IPv4 address in network order.
std::vector<std::uint8_t> Socks4Connect(std::uint16_t Port, const std::uint8_t (&Address)[4],
                                        const std::string& Usercode);
// The server resolves Host; the address sent is 0.0.0.1.
std::vector<std::uint8_t> Socks4AConnect(std::uint16_t Port, const std::string& Usercode,
                                         const std::string& Host);

enum class TReplyStatus : std::uint8_t { NeedMore, Failed, Done };

// What a reply parser found in the bytes held so far.
struct TReply {
  TReplyStatus Status = TReplyStatus::NeedMore;
  TFailure Failure = TFailure::Internal;  // when Failed
  std::uint16_t Error = 0;                // when Failed: FailureCode(Failure)
  std::string Msg;                        // when Failed: the text for Error
  std::uint8_t Method = 0;                // method reply: the method chosen
  std::string BoundAddr;                  // version 5 final reply: dotted IPv4 or a host name
  std::string BoundPort;                  // in decimal
  std::size_t Length = 0;                 // when Done: the reply's bytes; the rest are left over
};

// Each takes all the bytes held since the reply began.
TReply ParseMethodReply(const std::uint8_t* Data, std::size_t Count);
TReply ParseAuthReply(const std::uint8_t* Data, std::size_t Count);
TReply ParseSocks4Reply(const std::uint8_t* Data, std::size_t Count);
TReply ParseSocks5Reply(const std::uint8_t* Data, std::size_t Count);

}  // namespace vantrel::socks
