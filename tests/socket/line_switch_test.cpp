// Switching line mode while bytes are held: off after a header (the body follows in order, before
// any later byte), off in the middle of a line, and on again over held bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ScriptedPeer.h"
#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

constexpr int kWaitMs = 5000;
using Lines = std::vector<std::string>;
using LineSwitchTest = SocketTest;

TEST_F(LineSwitchTest, OffAfterTheHeaderHandsOutTheBodyInOrder) {
  ScriptedPeer Peer({step::Accept(), step::Send("Head: 1\r\n\r\nbody1-"), step::Pause(200),
                     step::Send("body2"), step::WaitForPeerClose()});
  TWSocket S(nullptr);
  Lines Header;
  std::string Body;
  std::int32_t HeldAtSwitch = -1;
  S.SetLineMode(true);
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (!S.LineMode()) {
      Body += S.ReadText();
      return;
    }
    const std::string Line = S.ReadText();
    if (Line == "\r\n") {
      S.SetLineMode(false);
      HeldAtSwitch = S.RcvdCount();
    } else {
      Header.push_back(Line);
    }
  };
  Aim(S, Peer.Port());
  S.Connect();
  // The held part of the body comes from the drain, without waiting for more bytes.
  ASSERT_TRUE(PumpUntil([&] { return !Body.empty(); }, kWaitMs));
  EXPECT_EQ(Peer.CurrentStep(), 2u) << "delivered before the peer sent more";
  EXPECT_EQ(Header, (Lines{"Head: 1\r\n"}));
  EXPECT_EQ(HeldAtSwitch, 6);
  EXPECT_EQ(Body, "body1-");
  ASSERT_TRUE(PumpUntil([&] { return Body.size() >= 11; }, kWaitMs));
  EXPECT_EQ(Body, "body1-body2");
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(LineSwitchTest, OffInTheMiddleOfALineLeavesItsRestInFront) {
  ScriptedPeer Peer({step::Accept(), step::Send("HEAD\r\nrest"), step::WaitForPeerClose()});
  TWSocket S(nullptr);
  Lines Reads;
  S.SetLineMode(true);
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (S.LineMode()) {
      char Three[3];
      const std::int32_t N = S.ReadData(Three, sizeof Three);
      Reads.emplace_back(Three, static_cast<std::size_t>(N > 0 ? N : 0));
      S.SetLineMode(false);
    } else {
      Reads.push_back(S.ReadText());
    }
  };
  Aim(S, Peer.Port());
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Reads.size() >= 2; }, kWaitMs));
  PumpFor(50);
  EXPECT_EQ(Reads, (Lines{"HEA", "D\r\nrest"}));
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
}

TEST_F(LineSwitchTest, OnAgainSearchesTheHeldBytesForLines) {
  ScriptedPeer Peer({step::Accept(), step::Send("RAW\r\nabc\r\ndef\r\ngh"), step::Pause(200),
                     step::Send("i\r\n"), step::WaitForPeerClose()});
  TWSocket S(nullptr);
  Lines Got;
  std::string Raw;
  std::int32_t CountWhenOn = -1;
  S.SetLineMode(true);
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (!S.LineMode()) {
      // Two raw bytes, then lines again.
      char Two[2];
      const std::int32_t N = S.ReadData(Two, sizeof Two);
      if (N > 0) Raw.append(Two, static_cast<std::size_t>(N));
      S.SetLineMode(true);
      CountWhenOn = S.RcvdCount();
      return;
    }
    Got.push_back(S.ReadText());
    if (Got.back() == "RAW\r\n") S.SetLineMode(false);
  };
  Aim(S, Peer.Port());
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 3; }, kWaitMs));
  EXPECT_EQ(Raw, "ab");
  EXPECT_EQ(CountWhenOn, 3) << "the line is found at once among the held bytes";
  EXPECT_EQ(Got, (Lines{"RAW\r\n", "c\r\n", "def\r\n"}));
  EXPECT_EQ(S.RcvdCount(), 0);
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 4; }, kWaitMs));
  EXPECT_EQ(Got.back(), "ghi\r\n");
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

}  // namespace
}  // namespace vantrel::test
