// The SOCKS messages and replies fed byte by byte, without a socket.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "SocksProtocol.h"

namespace vantrel::socks {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Parser = TReply (*)(const std::uint8_t*, std::size_t);

std::string Str(std::size_t N) {
  return std::string(N, 'a');
}

// Every prefix short of Length needs more; the whole reply (with Extra bytes behind) is done.
TReply ParseInPieces(Parser Parse, const Bytes& Reply, std::size_t Length) {
  for (std::size_t Held = 0; Held < Length; ++Held) {
    EXPECT_EQ(Parse(Reply.data(), Held).Status, TReplyStatus::NeedMore) << "held " << Held;
  }
  const TReply Whole = Parse(Reply.data(), Reply.size());
  EXPECT_EQ(Whole.Status, TReplyStatus::Done);
  EXPECT_EQ(Whole.Length, Length);
  return Whole;
}

TEST(SocksProtocolTest, MessagesCarryTheValuesUpToTheBufferAndNotOneBytePast) {
  EXPECT_EQ(Greeting(MethodUsercode), (Bytes{5, 1, 2}));
  EXPECT_EQ(UsercodeAuth("ab", "xyz"), (Bytes{1, 2, 'a', 'b', 3, 'x', 'y', 'z'}));
  EXPECT_EQ(Socks5Connect("h.io", 0x1F90), (Bytes{5, 1, 0, 3, 4, 'h', '.', 'i', 'o', 0x1F, 0x90}));
  const std::uint8_t Addr[4] = {10, 0, 0, 7};
  EXPECT_EQ(Socks4Connect(80, Addr, "u"), (Bytes{4, 1, 0, 80, 10, 0, 0, 7, 'u', 0}));
  EXPECT_EQ(Socks4AConnect(443, "", "h"), (Bytes{4, 1, 1, 187, 0, 0, 0, 1, 0, 'h', 0}));

  // Each limit: the longest value fills all 128 bytes and is accepted by the length check; one
  // byte more is refused by both, so the check never lets through what the writer cannot build.
  struct Limit {
    std::vector<std::uint8_t> (*Build)(std::size_t);
    std::string (*Check)(std::size_t);
    std::size_t Max;
  };
  const Limit Limits[] = {
      {[](std::size_t N) { return Socks5Connect(Str(N), 1); },
       [](std::size_t N) { return ValueTooLongText("5", Str(N), "", "", true); }, Socks5MaxAddr},
      {[](std::size_t N) { return UsercodeAuth(Str(N - N / 2), Str(N / 2)); },
       [](std::size_t N) { return ValueTooLongText("5", "h", Str(N - N / 2), Str(N / 2), true); },
       Socks5MaxUserAndPassword},
      {[](std::size_t N) {
         const std::uint8_t A[4] = {};
         return Socks4Connect(1, A, Str(N));
       },
       [](std::size_t N) { return ValueTooLongText("4", "h", Str(N), "", false); },
       Socks4MaxUsercode},
      {[](std::size_t N) { return Socks4AConnect(1, Str(N / 2), Str(N - N / 2)); },
       [](std::size_t N) { return ValueTooLongText("4A", Str(N - N / 2), Str(N / 2), "", false); },
       Socks4AMaxUserAndHost},
  };
  for (const Limit& L : Limits) {
    EXPECT_EQ(L.Build(L.Max).size(), std::size_t{MessageBufferSize}) << L.Max;
    EXPECT_EQ(L.Check(L.Max), "") << L.Max;
    EXPECT_TRUE(L.Build(L.Max + 1).empty()) << L.Max;
    EXPECT_NE(L.Check(L.Max + 1), "") << L.Max;
  }
  // Without user name authentication the password does not count.
  EXPECT_EQ(ValueTooLongText("5", "h", Str(200), Str(200), false), "");
}

TEST(SocksProtocolTest, RepliesSplitAtEveryByteNeedMoreUntilWhole) {
  EXPECT_EQ(ParseInPieces(ParseMethodReply, {5, 2, 0xEE}, 2).Method, MethodUsercode);
  ParseInPieces(ParseAuthReply, {1, 0}, 2);
  ParseInPieces(ParseSocks4Reply, {0, 90, 1, 2, 3, 4, 5, 6, 'x'}, 8);

  TReply V4 =
      ParseInPieces(ParseSocks5Reply, {5, 0, 0, 1, 192, 168, 1, 9, 0x04, 0x38, 'x', 'y'}, 10);
  EXPECT_EQ(V4.BoundAddr, "192.168.1.9");
  EXPECT_EQ(V4.BoundPort, "1080");

  Bytes Named = {5, 0, 0, 3, 3, 'a', '.', 'b', 0, 21};
  TReply Name = ParseInPieces(ParseSocks5Reply, Named, 10);
  EXPECT_EQ(Name.BoundAddr, "a.b");
  EXPECT_EQ(Name.BoundPort, "21");

  // The longest bound name whose reply fits the buffer, and one byte longer.
  Bytes Longest = {5, 0, 0, 3, 120};
  Longest.resize(5 + 120 + 2, 'n');
  EXPECT_EQ(ParseInPieces(ParseSocks5Reply, Longest, std::size_t{ReplyLimit}).BoundAddr,
            std::string(120, 'n'));
  const Bytes TooLong = {5, 0, 0, 3, 121};
  const TReply Refused = ParseSocks5Reply(TooLong.data(), TooLong.size());
  EXPECT_EQ(Refused.Status, TReplyStatus::Failed);
  EXPECT_EQ(Refused.Error, ErrorReplyTooLong);
}

TEST(SocksProtocolTest, FailuresCarryTheirCodeAndText) {
  struct Case {
    Parser Parse;
    Bytes Reply;
    std::uint16_t Error;
    std::string Msg;
  };
  const Case Cases[] = {
      {ParseMethodReply, {4, 0}, 20002, "socks version error"},
      {ParseMethodReply, {5, 0xFF}, 20003, "authentification method not acceptable"},
      {ParseAuthReply, {5}, 20002, "socks version error"},
      {ParseAuthReply, {1, 1}, 20015, "socks authentication failed"},
      {ParseAuthReply, {1, 0, 0}, 20001, "too much data availaible"},
      {ParseSocks4Reply, {4, 90, 0, 0, 0, 0, 0, 0}, 20002, "socks version error"},
      {ParseSocks4Reply, {0, 91, 0, 0, 0, 0, 0, 0}, 20016, "request rejected or failed"},
      {ParseSocks4Reply, {0, 92, 0, 0, 0, 0, 0, 0}, 20008, "connection refused"},
      {ParseSocks4Reply, {0, 93, 0, 0, 0, 0, 0, 0}, 20015, "authentification failed"},
      {ParseSocks4Reply, {0, 94, 0, 0, 0, 0, 0, 0}, 20012, "unassigned error #94"},
      // Version and reply code are judged as soon as they arrive.
      {ParseSocks5Reply, {4}, 20002, "socks version error"},
      {ParseSocks5Reply, {5, 1}, 20004, "general SOCKS server failure"},
      {ParseSocks5Reply, {5, 5}, 20008, "connection refused"},
      {ParseSocks5Reply, {5, 8}, 20011, "address type not supported"},
      {ParseSocks5Reply, {5, 9}, 20012, "unassigned error #9"},
      {ParseSocks5Reply, {5, 0, 0, 4, 0}, 20011, "address type not supported"},
  };
  for (const Case& C : Cases) {
    const TReply Reply = C.Parse(C.Reply.data(), C.Reply.size());
    EXPECT_EQ(Reply.Status, TReplyStatus::Failed) << C.Msg;
    EXPECT_EQ(Reply.Error, C.Error) << C.Msg;
    EXPECT_EQ(Reply.Msg, C.Msg);
  }
}

}  // namespace
}  // namespace vantrel::socks
