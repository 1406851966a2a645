// Line mode against scripted peers: lines cut wherever the end marker falls, a handler that reads
// a line in pieces, no handler, an empty marker, the last line at the close, and the line limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ScriptedPeer.h"
#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

constexpr int kWaitMs = 5000;

// A client in line mode that records what each OnDataAvailable reads with ReadText, and the close.
struct LineClient {
  explicit LineClient(std::uint16_t Port, bool WithCloseHandler = true) {
    S.SetLineMode(true);
    S.OnSessionConnected = [this](TObject*, std::uint16_t Error) { ConnectError = Error; };
    S.OnDataAvailable = [this](TObject*, std::uint16_t) {
      Lines.push_back(S.ReadText());
      Events.push_back("data:" + Lines.back());
    };
    if (WithCloseHandler) {
      S.OnSessionClosed = [this](TObject*, std::uint16_t) { Events.push_back("closed"); };
    }
    Aim(S, Port);
    S.Connect();
  }
  bool Closed() const { return S.State() == wsClosed; }

  std::vector<std::string> Lines;
  std::vector<std::string> Events;
  int ConnectError = -1;
  TWSocket S{nullptr};  // last: destroyed first, while the records still exist
};

using Lines = std::vector<std::string>;
using LineReceptionTest = SocketTest;

TEST_F(LineReceptionTest, LinesAreCutWhereverTheMarkerFalls) {
  ScriptedPeer Peer({step::Accept(), step::Send("abc\r\ndef\r\ngh"), step::Pause(150),
                     step::Send("i\r"), step::Pause(150), step::Send("\nj\r\n"),
                     step::ExpectExactly("go"), step::Send("one<E"), step::Pause(150),
                     step::Send("O"), step::Pause(150), step::Send("L>two<EOL><EOL>"),
                     step::WaitForPeerClose()});
  LineClient C(Peer.Port());
  ASSERT_TRUE(PumpUntil([&] { return C.Lines.size() >= 2; }, kWaitMs));
  EXPECT_EQ(C.Lines, (Lines{"abc\r\n", "def\r\n"}));
  EXPECT_EQ(C.S.RcvdCount(), 0) << "gh is held until its line is complete";

  // "ghi\r" is in, its LF is not: no line yet.
  ASSERT_TRUE(PumpUntil([&] { return Peer.CurrentStep() >= 4; }, kWaitMs));
  PumpFor(60);
  EXPECT_EQ(C.Lines.size(), 2u);
  ASSERT_TRUE(PumpUntil([&] { return C.Lines.size() >= 4; }, kWaitMs));
  EXPECT_EQ(C.Lines, (Lines{"abc\r\n", "def\r\n", "ghi\r\n", "j\r\n"}));

  // Any marker, split over three receives.
  C.S.SetLineEnd("<EOL>");
  C.S.SendText("go");
  ASSERT_TRUE(PumpUntil([&] { return C.Lines.size() >= 7; }, kWaitMs));
  EXPECT_EQ(C.Lines,
            (Lines{"abc\r\n", "def\r\n", "ghi\r\n", "j\r\n", "one<EOL>", "two<EOL>", "<EOL>"}));
  C.S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(LineReceptionTest, AHandlerReadingInPiecesIsCalledUntilTheLineIsRead) {
  ScriptedPeer Peer({step::Accept(), step::Send("hello\r\nxy\r\nrest"), step::WaitForPeerClose()});
  TWSocket S(nullptr);
  std::vector<std::int32_t> Counts;  // RcvdCount at each call
  std::string Pieces;
  S.SetLineMode(true);
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    Counts.push_back(S.RcvdCount());
    char Two[2];
    const std::int32_t Got = S.ReadData(Two, sizeof Two);
    if (Got > 0) Pieces.append(Two, static_cast<std::size_t>(Got));
    Pieces += '|';
  };
  Aim(S, Peer.Port());
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Counts.size() >= 6; }, kWaitMs));
  PumpFor(50);
  EXPECT_EQ(Counts, (std::vector<std::int32_t>{7, 5, 3, 1, 4, 2}));
  EXPECT_EQ(Pieces, "he|ll|o\r|\n|xy|\r\n|");
  EXPECT_EQ(S.RcvdCount(), 0);
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
}

TEST_F(LineReceptionTest, WithoutAHandlerLinesAreDroppedAndTheIncompleteOneKept) {
  ScriptedPeer Peer({step::Accept(), step::Send("one\r\ntwo\r\nthr"), step::ExpectExactly("go"),
                     step::Send("ee\r\nfour\r\n"), step::WaitForPeerClose()});
  TWSocket S(nullptr);
  S.SetLineMode(true);
  Aim(S, Peer.Port());
  S.Connect();
  // The bytes are taken in (ReadCount counts them) and the two complete lines dropped.
  ASSERT_TRUE(PumpUntil([&] { return S.ReadCount() >= 13; }, kWaitMs));
  Lines Got;
  S.OnDataAvailable = [&](TObject*, std::uint16_t) { Got.push_back(S.ReadText()); };
  S.SendText("go");
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 2; }, kWaitMs));
  EXPECT_EQ(Got, (Lines{"three\r\n", "four\r\n"}));
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(LineReceptionTest, AnEmptyMarkerHandsOutBytesAsTheyCome) {
  ScriptedPeer Peer({step::Accept(), step::Send("ab\r\ncd"), step::WaitForPeerClose()});
  LineClient C(Peer.Port());
  C.S.SetLineEnd("");
  ASSERT_TRUE(PumpUntil([&] { return !C.Lines.empty(); }, kWaitMs));
  EXPECT_EQ(C.Lines, (Lines{"ab\r\ncd"}));
  C.S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
}

TEST_F(LineReceptionTest, TheLastLineComesBeforeTheCloseAndNeverIntoTheNextConnection) {
  ScriptedPeer Peer({step::Accept(), step::Send("abc\r\nxyz"), step::Pause(100), step::Close(),
                     step::Accept(), step::Send("abc\r\nxyz"), step::Pause(100), step::Close(),
                     step::Accept(), step::Send("new\r\n"), step::WaitForPeerClose()});
  {
    LineClient C(Peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return C.Closed(); }, kWaitMs));
    EXPECT_EQ(C.Events, (Lines{"data:abc\r\n", "data:xyz", "closed"}));
  }
  // Without an OnSessionClosed handler the last bytes are not delivered, and the next connection
  // of the same socket starts clean.
  LineClient C(Peer.Port(), false);
  ASSERT_TRUE(PumpUntil([&] { return C.Closed(); }, kWaitMs));
  EXPECT_EQ(C.Lines, (Lines{"abc\r\n"}));
  EXPECT_EQ(C.S.RcvdCount(), 0);
  Aim(C.S, Peer.Port());
  C.S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return C.Lines.size() >= 2; }, kWaitMs));
  EXPECT_EQ(C.Lines, (Lines{"abc\r\n", "new\r\n"}));
  C.S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(LineReceptionTest, LinesLongerThanTheLimitAreDroppedWhole) {
  // An overlong line that is still incomplete ends in CR; its LF comes with the next receive.
  ScriptedPeer Peer({step::Accept(), step::Send("short\r\nwaytoolongline\r"), step::Pause(150),
                     step::Send("\nok\r\n0123456789\r\nfine\r\n"), step::Pause(150),
                     step::Send(std::string(100000, 'z')), step::Pause(150),
                     step::Send("zzz\r\nlast\r\n"), step::WaitForPeerClose()});
  LineClient C(Peer.Port());
  int TooLong = 0;
  C.S.SetLineLimit(8);
  C.S.OnLineTooLong = [&](TObject* Sender) {
    EXPECT_EQ(Sender, &C.S);
    ++TooLong;
  };
  ASSERT_TRUE(PumpUntil([&] { return TooLong >= 1; }, kWaitMs));
  EXPECT_EQ(C.Lines, (Lines{"short\r\n"}));
  ASSERT_TRUE(PumpUntil([&] { return C.Lines.size() >= 4; }, kWaitMs));
  EXPECT_EQ(C.Lines, (Lines{"short\r\n", "ok\r\n", "fine\r\n", "last\r\n"}));
  EXPECT_EQ(TooLong, 3) << "once per overlong line";
  C.S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(LineReceptionTest, TheLimitKeepsALineOfExactlyItsLengthAndDropsOneByteMore) {
  // Limit 8, end marker included: whole lines, a line completed by a later receive, and held
  // bytes without a marker yet (8 may still become a line, 9 cannot).
  ScriptedPeer Peer({step::Accept(), step::Send("123456\r\n1234567\r\n12345"), step::Pause(150),
                     step::Send("6\r\n1234567\r"), step::Pause(150), step::Send("\n123456789"),
                     step::Pause(150), step::Send("\r\nend\r\n"), step::WaitForPeerClose()});
  LineClient C(Peer.Port());
  int TooLong = 0;
  C.S.SetLineLimit(8);
  C.S.OnLineTooLong = [&](TObject*) { ++TooLong; };
  ASSERT_TRUE(PumpUntil([&] { return C.Lines.size() >= 3; }, kWaitMs));
  EXPECT_EQ(C.Lines, (Lines{"123456\r\n", "123456\r\n", "end\r\n"}));
  EXPECT_EQ(TooLong, 3);
  C.S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

}  // namespace
}  // namespace vantrel::test
