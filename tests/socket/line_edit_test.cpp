// Line editing and echo for terminal-style peers: the lines delivered after backspaces and tabs,
// and the exact bytes a scripted peer gets back.
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

// Connects S in line mode and collects the lines it delivers.
void StartLineClient(TWSocket& S, std::uint16_t Port, Lines& Got) {
  S.SetLineMode(true);
  S.OnDataAvailable = [&S, &Got](TObject*, std::uint16_t) { Got.push_back(S.ReadText()); };
  Aim(S, Port);
  S.Connect();
}

using LineEditTest = SocketTest;

TEST_F(LineEditTest, BackspacesEditTheLineAndEchoAsATerminalExpects) {
  ScriptedPeer Peer({step::Accept(),
                     // Typed one key at a time.
                     step::SendSlowly("xy\bz\r\n", 20), step::ExpectExactly("xy\b \bz\r\n"),
                     // A backspace at the start of a line erases and echoes nothing.
                     step::Pause(100), step::Send("\b"), step::Pause(100), step::Send("q\r\n"),
                     step::ExpectExactly("q\r\n"),
                     // Backspaces that reach into bytes held from an earlier receive.
                     step::Send("abc"), step::Pause(100), step::Send("\b\bd\r\n"),
                     step::ExpectExactly("abc\b \b\b \bd\r\n"), step::WaitForPeerClose()});
  Lines Got;
  TWSocket S(nullptr);
  S.SetLineEdit(true);
  S.SetLineEcho(true);
  StartLineClient(S, Peer.Port(), Got);
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 3; }, kWaitMs));
  EXPECT_EQ(Got, (Lines{"xz\r\n", "q\r\n", "ad\r\n"}));
  ASSERT_TRUE(PumpUntil([&] { return Peer.CurrentStep() >= 12; }, kWaitMs)) << Peer.Error();
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(LineEditTest, TabsBecomeSpacesUpToTheNextMultipleOfEight) {
  const std::string Five(5, ' ');
  const std::string Eight(8, ' ');
  ScriptedPeer Peer(
      {step::Accept(), step::Send("abc\t"), step::Pause(100), step::Send("x\r\n"), step::Pause(100),
       step::Send("12345678\ty\r\n"), step::Pause(100), step::Send("\tz\r\n"),
       step::ExpectExactly("abc" + Five + "x\r\n12345678" + Eight + "y\r\n" + Eight + "z\r\n"),
       step::WaitForPeerClose()});
  Lines Got;
  TWSocket S(nullptr);
  S.SetLineEdit(true);
  S.SetLineEcho(true);
  StartLineClient(S, Peer.Port(), Got);
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 3; }, kWaitMs));
  EXPECT_EQ(Got, (Lines{"abc" + Five + "x\r\n", "12345678" + Eight + "y\r\n", Eight + "z\r\n"}));
  ASSERT_TRUE(PumpUntil([&] { return Peer.CurrentStep() >= 9; }, kWaitMs)) << Peer.Error();
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(LineEditTest, EchoWithoutEditingReturnsTheBytesAsReceived) {
  ScriptedPeer Peer({step::Accept(), step::Send("a\bb\tc\r\nd"),
                     step::ExpectExactly("a\bb\tc\r\nd"), step::WaitForPeerClose()});
  Lines Got;
  TWSocket S(nullptr);
  S.SetLineEcho(true);
  StartLineClient(S, Peer.Port(), Got);
  ASSERT_TRUE(PumpUntil([&] { return Peer.CurrentStep() >= 3; }, kWaitMs)) << Peer.Error();
  EXPECT_EQ(Got, (Lines{"a\bb\tc\r\n"}));
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

}  // namespace
}  // namespace vantrel::test
