// libFuzzer target: the SOCKS replies and messages in process, without a connection.
//
// Input: byte 0 chooses the parser (bits 0-1: method, authentication, version 4, version 5
// reply); the rest is the reply. Every prefix is parsed as the bytes would accumulate: once a
// prefix is decided, every longer one is decided too; a finished reply never claims more bytes
// than it was given or than the buffer holds; a failure always has a code of the family and a
// text. The same bytes, cut in three, are also the values of the messages: a value the length
// check accepts must fit its message, and one it refuses must not.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "SocksProtocol.h"

namespace {

using namespace vantrel::socks;

[[noreturn]] void Fail(const char* Why) {
  std::fprintf(stderr, "socks_protocol_fuzz: %s\n", Why);
  std::abort();
}

using ParserFn = TReply (*)(const std::uint8_t*, std::size_t);

void Replies(ParserFn Parse, const std::uint8_t* Data, std::size_t Size) {
  bool Decided = false;
  for (std::size_t Held = 0; Held <= Size; ++Held) {
    const TReply Reply = Parse(Data, Held);
    if (Reply.Status == TReplyStatus::NeedMore) {
      if (Decided) Fail("a decided reply needs more again");
      continue;
    }
    Decided = true;
    if (Reply.Status == TReplyStatus::Done) {
      if (Reply.Length > Held || Reply.Length > std::size_t{ReplyLimit}) Fail("reply too long");
    } else if (Reply.Error < 20001 || Reply.Error > 20019 || Reply.Error == 20014 ||
               Reply.Msg.empty()) {
      Fail("a failure without a code of the family or a text");
    }
  }
}

void Messages(const std::string& A, const std::string& B, const std::string& C) {
  const auto Fits = [](const std::vector<std::uint8_t>& M) {
    if (M.size() > std::size_t{MessageBufferSize}) Fail("a message past the buffer");
    return !M.empty();
  };
  const std::uint8_t Address[4] = {127, 0, 0, 1};
  if (A.size() <= 255 &&
      ValueTooLongText("5", A, B, C, false).empty() != Fits(Socks5Connect(A, 80)))
    Fail("version 5 length check and message disagree");
  if (B.size() <= 255 && C.size() <= 255 &&
      ValueTooLongText("5", "", B, C, true).empty() != Fits(UsercodeAuth(B, C)))
    Fail("user name length check and message disagree");
  if (ValueTooLongText("4", A, B, C, false).empty() != Fits(Socks4Connect(80, Address, B)))
    Fail("version 4 length check and message disagree");
  if (ValueTooLongText("4A", A, B, C, false).empty() != Fits(Socks4AConnect(80, B, A)))
    Fail("version 4A length check and message disagree");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  static const ParserFn Parsers[] = {ParseMethodReply, ParseAuthReply, ParseSocks4Reply,
                                     ParseSocks5Reply};
  Replies(Parsers[Data[0] & 3], Data + 1, Size - 1);
  const std::string Rest(reinterpret_cast<const char*>(Data + 1), Size - 1);
  const std::size_t Third = Rest.size() / 3;
  Messages(Rest.substr(0, Third), Rest.substr(Third, Third), Rest.substr(2 * Third));
  return 0;
}
