// The SOCKS layer against scripted servers on 127.0.0.1: the exact bytes of every message, replies
// cut anywhere, every failure reply, and the settings' rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "ScriptedPeer.h"
#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

constexpr int kWaitMs = 5000;

// Bytes from numbers, so that zero bytes and hex escapes followed by letters cannot go wrong.
std::string B(std::initializer_list<int> Bytes) {
  std::string Out;
  for (int Byte : Bytes) Out += static_cast<char>(Byte);
  return Out;
}

// Shows the layer's reply fields and phase.
class SocksSocket : public TProbeSocket {
 public:
  using TCustomSocksWSocket::NegotiationPhase;
  using TCustomSocksWSocket::SocksReplyAddr;
  using TCustomSocksWSocket::SocksReplyPort;
  using TProbeSocket::TProbeSocket;
};

// Records the events that matter here, in order, and reads whatever the application receives.
// Only the first OnDataAvailable is logged (with the bytes waiting then), so orders stay short.
struct SocksLog : SocksEventLog {
  explicit SocksLog(SocksSocket& S) : SocksEventLog(S) {
    S.OnDataAvailable = [this, &S](TObject*, std::uint16_t) {
      if (++DataCalls == 1) {
        Events.push_back("Data");
        FirstWaiting = S.State() == wsConnected ? S.RcvdCount() : -1;
      }
      ReadAll();
    };
  }

  int DataCalls = 0;
  std::int32_t FirstWaiting = -2;
};

void ExpectSettingsCleared(const TWSocket& S) {
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(S.SocksServer(), "");
  EXPECT_EQ(S.SocksPort(), "");
  EXPECT_EQ(S.SocksLevel(), "5");
}

using SocksNegotiationTest = SocketTest;

TEST_F(SocksNegotiationTest, Socks5ExactBytesThenReplyAndDataInOneRead) {
  const std::string Reply = B({5, 0, 0, 3, 5}) + "bound" + B({0x1F, 0x90});
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly(B({5, 1, 0})), step::Send(B({5, 0})),
                     step::ExpectExactly(B({5, 1, 0, 3, 7}) + "example" + B({0, 0x50})),
                     step::Send(Reply + "abc"), step::ExpectExactly("ping"), step::Send("def"),
                     step::WaitForPeerClose()});
  SocksSocket S(nullptr);
  SocksLog Log(S);
  S.SetSocksUsercode("kept");
  S.SetSocksPassword("secret");
  AimThroughSocks(S, Peer.Port(), "5", "example", "80");
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Data.size() >= 3 || Log.Closed; }, kWaitMs))
      << Peer.Error();

  EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) Data ");
  EXPECT_EQ(Log.FirstWaiting, 3) << "RcvdCount shows the bytes behind the reply";
  EXPECT_EQ(Log.Data, "abc");
  EXPECT_EQ(S.SocksReplyAddr(), "bound");
  EXPECT_EQ(S.SocksReplyPort(), "8080");
  EXPECT_EQ(S.NegotiationPhase(), npNone);

  // The tunnel carries the application's bytes both ways, the held ones first.
  S.SendText("ping");
  EXPECT_TRUE(PumpUntil([&] { return Log.Data == "abcdef"; }, kWaitMs)) << Log.Data;
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();

  // A close clears the server, port and level, not the credentials.
  ExpectSettingsCleared(S);
  EXPECT_EQ(S.SocksUsercode(), "kept");
  EXPECT_EQ(S.SocksPassword(), "secret");
  EXPECT_EQ(Log.Connected, 1);
}

TEST_F(SocksNegotiationTest, Socks5UserAndPasswordWithIpv4Reply) {
  ScriptedPeer Peer(
      {step::Accept(), step::ExpectExactly(B({5, 1, 2})), step::Send(B({5, 2})),
       step::ExpectExactly(B({1, 4}) + "user" + B({6}) + "secret"), step::Send(B({1, 0})),
       step::ExpectExactly(B({5, 1, 0, 3, 9}) + "127.0.0.1" + B({0x1F, 0x90})),
       step::Send(B({5, 0, 0, 1, 10, 0, 0, 1, 0x04, 0x38})), step::WaitForPeerClose()});
  SocksSocket S(nullptr);
  SocksLog Log(S);
  S.SetSocksAuthentication(socksAuthenticateUsercode);
  S.SetSocksUsercode("user");
  S.SetSocksPassword("secret");
  AimThroughSocks(S, Peer.Port(), "5", "127.0.0.1", "8080");
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Connected > 0; }, kWaitMs)) << Peer.Error();

  EXPECT_EQ(Log.Joined(), "SocksConnected(0) Auth(Begun) Auth(Granted) SessionConnected(0) Data ");
  EXPECT_EQ(Log.FirstWaiting, 0);
  EXPECT_EQ(S.SocksReplyAddr(), "10.0.0.1");
  EXPECT_EQ(S.SocksReplyPort(), "1080");
  EXPECT_EQ(S.SocksAuthentication(), socksAuthenticateUsercode);
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  EXPECT_EQ(S.SocksAuthentication(), socksAuthenticateUsercode) << "kept across a close";
}

TEST_F(SocksNegotiationTest, RepliesCutIntoSingleBytesCompleteOnlyWhenWhole) {
  const std::string Reply = B({5, 0, 0, 3, 5}) + "bound" + B({0x00, 0x50});
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly(B({5, 1, 0})),
                     step::SendSlowly(B({5, 0}), 20),
                     step::ExpectExactly(B({5, 1, 0, 3, 4}) + "host" + B({0x01, 0xBB})),
                     step::SendSlowly(Reply.substr(0, Reply.size() - 1), 10),
                     step::Pause(300),  // index 5: all but the last byte are there
                     step::Send(Reply.substr(Reply.size() - 1) + "z"), step::WaitForPeerClose()});
  SocksSocket S(nullptr);
  SocksLog Log(S);
  AimThroughSocks(S, Peer.Port(), "5", "host", "443");
  S.Connect();

  ASSERT_TRUE(PumpUntil([&] { return Peer.CurrentStep() >= 5 || Peer.Done(); }, kWaitMs))
      << Peer.Error();
  PumpFor(100);
  EXPECT_EQ(Log.Connected, 0) << "a reply without its last byte must not complete";
  EXPECT_EQ(S.NegotiationPhase(), npConnectRequest);

  ASSERT_TRUE(PumpUntil([&] { return !Log.Data.empty() || Log.Closed; }, kWaitMs)) << Peer.Error();
  EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) Data ");
  EXPECT_EQ(S.SocksReplyAddr(), "bound");
  EXPECT_EQ(S.SocksReplyPort(), "80");
  EXPECT_EQ(Log.Data, "z");
  int SingleByteReads = 0;
  for (std::int32_t Got : S.RecvGot) SingleByteReads += Got == 1 ? 1 : 0;
  EXPECT_GE(SingleByteReads, 6) << "the replies did arrive in pieces";
  S.CloseSession();
  EXPECT_TRUE(Peer.Join(kWaitMs));
}

TEST_F(SocksNegotiationTest, Socks4RequestsAndReplyReadExactly) {
  {
    // Empty user id: 9 bytes. The bytes behind the 8-byte reply stay in the socket.
    ScriptedPeer Peer({step::Accept(), step::ExpectExactly(B({4, 1, 0, 80, 127, 0, 0, 1, 0})),
                       step::Send(B({0, 90, 0, 0, 0, 0, 0, 0}) + "xyz"), step::WaitForPeerClose()});
    SocksSocket S(nullptr);
    SocksLog Log(S);
    AimThroughSocks(S, Peer.Port(), "4", "127.0.0.1", "80");
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Log.Data.size() >= 3 || Log.Closed; }, kWaitMs))
        << Peer.Error();
    EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) Data ");
    EXPECT_EQ(Log.Data, "xyz");
    EXPECT_EQ(S.RecvAsked.at(0), 8) << "the reply is read exactly";
    S.CloseSession();
    ASSERT_TRUE(Peer.Join(kWaitMs));
    EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  }
  {
    // A user id, and a host name resolved by the client.
    ScriptedPeer Peer({step::Accept(),
                       step::ExpectExactly(B({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "bob" + B({0})),
                       step::Send(B({0, 90, 1, 2, 3, 4, 5, 6})), step::WaitForPeerClose()});
    SocksSocket S(nullptr);
    SocksLog Log(S);
    S.SetSocksUsercode("bob");
    AimThroughSocks(S, Peer.Port(), "4", "localhost", "8080");
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Log.Connected > 0; }, kWaitMs)) << Peer.Error();
    EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) Data ");
    S.CloseSession();
    ASSERT_TRUE(Peer.Join(kWaitMs));
    EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  }
}

TEST_F(SocksNegotiationTest, Socks4ARequestNamesTheHost) {
  ScriptedPeer Peer({step::Accept(),
                     step::ExpectExactly(B({4, 1, 0, 80, 0, 0, 0, 1, 'u', 0, 'h', 0})),
                     step::Send(B({0, 90, 0, 0, 0, 0, 0, 0})), step::WaitForPeerClose()});
  SocksSocket S(nullptr);
  SocksLog Log(S);
  S.SetSocksUsercode("u");
  AimThroughSocks(S, Peer.Port(), "4a", "h", "80");
  EXPECT_EQ(S.SocksLevel(), "4A");
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Connected > 0; }, kWaitMs)) << Peer.Error();
  EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) Data ");
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SocksNegotiationTest, UserAndPasswordWaivedByTheServer) {
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly(B({5, 1, 2})), step::Send(B({5, 0})),
                     step::ExpectExactly(B({5, 1, 0, 3, 1, 'h', 0, 80})),
                     step::Send(B({5, 0, 0, 1, 127, 0, 0, 1, 0, 80})), step::WaitForPeerClose()});
  SocksSocket S(nullptr);
  SocksLog Log(S);
  S.SetSocksAuthentication(socksAuthenticateUsercode);
  S.SetSocksUsercode("user");
  S.SetSocksPassword("pw");
  AimThroughSocks(S, Peer.Port(), "5", "h", "80");
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Connected > 0; }, kWaitMs)) << Peer.Error();
  EXPECT_EQ(Log.Joined(), "SocksConnected(0) Auth(Waived) SessionConnected(0) Data ");
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

// One failing exchange: the steps that lead to it, the failing reply, and the events expected.
struct FailureCase {
  const char* Name;
  std::string Level;
  bool UserAndPassword;
  std::vector<ScriptStep> Lead;
  std::string Reply;
  std::string Expected;
};

std::vector<ScriptStep> Socks5Lead() {
  return {step::ExpectExactly(B({5, 1, 0})), step::Send(B({5, 0})),
          step::ExpectExactly(B({5, 1, 0, 3, 1, 'h', 0, 80}))};
}

std::vector<ScriptStep> AuthLead() {
  return {step::ExpectExactly(B({5, 1, 2})), step::Send(B({5, 2})),
          step::ExpectExactly(B({1, 1, 'u', 1, 'p'}))};
}

std::string Failed(int Code, const std::string& Msg) {
  const std::string C = std::to_string(Code);
  return "SocksError(" + C + "," + Msg + ") SessionConnected(" + C + ") SessionClosed(" + C + ") ";
}

TEST_F(SocksNegotiationTest, EveryFailureReplyEndsTheConnectionWithItsCode) {
  const std::string Ok = "SocksConnected(0) ";
  const std::vector<FailureCase> Cases = {
      {"method reply version",
       "5",
       false,
       {step::ExpectExactly(B({5, 1, 0}))},
       B({4, 0}),
       Ok + Failed(20002, "socks version error")},
      {"no acceptable method",
       "5",
       false,
       {step::ExpectExactly(B({5, 1, 0}))},
       B({5, 0xFF}),
       Ok + Failed(20003, "authentification method not acceptable")},
      {"method not offered",
       "5",
       false,
       {step::ExpectExactly(B({5, 1, 0}))},
       B({5, 1}),
       Ok + Failed(20003, "authentification method not acceptable")},
      {"rep 1", "5", false, Socks5Lead(), B({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}),
       Ok + Failed(20004, "general SOCKS server failure")},
      {"rep 2", "5", false, Socks5Lead(), B({5, 2}),
       Ok + Failed(20005, "connection not allowed by ruleset")},
      {"rep 3", "5", false, Socks5Lead(), B({5, 3}), Ok + Failed(20006, "network unreachable")},
      {"rep 4", "5", false, Socks5Lead(), B({5, 4}), Ok + Failed(20007, "host unreachable")},
      {"rep 5", "5", false, Socks5Lead(), B({5, 5}), Ok + Failed(20008, "connection refused")},
      {"rep 6", "5", false, Socks5Lead(), B({5, 6}), Ok + Failed(20009, "time to live expired")},
      {"rep 7", "5", false, Socks5Lead(), B({5, 7}), Ok + Failed(20010, "command not supported")},
      {"rep 8", "5", false, Socks5Lead(), B({5, 8}),
       Ok + Failed(20011, "address type not supported")},
      {"rep 9", "5", false, Socks5Lead(), B({5, 9}), Ok + Failed(20012, "unassigned error #9")},
      {"rep 255", "5", false, Socks5Lead(), B({5, 255}),
       Ok + Failed(20012, "unassigned error #255")},
      {"final reply version", "5", false, Socks5Lead(), B({6}),
       Ok + Failed(20002, "socks version error")},
      {"address type 4", "5", false, Socks5Lead(), B({5, 0, 0, 4, 0}),
       Ok + Failed(20011, "address type not supported")},
      {"bound name beyond the buffer", "5", false, Socks5Lead(), B({5, 0, 0, 3, 121}),
       Ok + Failed(20019, "socks reply too long")},
      {"socks 4 rejected",
       "4",
       false,
       {step::Expect(9)},
       B({0, 91, 0, 0, 0, 0, 0, 0}),
       Ok + Failed(20016, "request rejected or failed")},
      {"socks 4 refused",
       "4",
       false,
       {step::Expect(9)},
       B({0, 92, 0, 0, 0, 0, 0, 0}),
       Ok + Failed(20008, "connection refused")},
      {"socks 4 user id",
       "4",
       false,
       {step::Expect(9)},
       B({0, 93, 0, 0, 0, 0, 0, 0}),
       Ok + Failed(20015, "authentification failed")},
      {"socks 4 other",
       "4",
       false,
       {step::Expect(9)},
       B({0, 94, 0, 0, 0, 0, 0, 0}),
       Ok + Failed(20012, "unassigned error #94")},
      {"socks 4 version",
       "4A",
       false,
       {step::Expect(12)},
       B({4, 90, 0, 0, 0, 0, 0, 0}),
       Ok + Failed(20002, "socks version error")},
      // The phase is still "authenticating" at the close, so Denied comes twice.
      {"password refused", "5", true, AuthLead(), B({1, 1}),
       "SocksConnected(0) Auth(Begun) Auth(Denied) SocksError(20015,socks authentication "
       "failed) SessionConnected(20015) Auth(Denied) SessionClosed(20015) "},
      {"auth version", "5", true, AuthLead(), B({5}),
       "SocksConnected(0) Auth(Begun) Auth(Denied) SocksError(20002,socks version error) "
       "SessionConnected(20002) Auth(Denied) SessionClosed(20002) "},
      {"auth too long", "5", true, AuthLead(), B({1, 0, 0}),
       "SocksConnected(0) Auth(Begun) Auth(Denied) SocksError(20001,too much data availaible) "
       "SessionConnected(20001) Auth(Denied) SessionClosed(20001) "},
  };
  for (const FailureCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    std::vector<ScriptStep> Script{step::Accept()};
    Script.insert(Script.end(), Case.Lead.begin(), Case.Lead.end());
    Script.push_back(step::Send(Case.Reply));
    Script.push_back(step::WaitForPeerClose());
    ScriptedPeer Peer(Script);
    SocksSocket S(nullptr);
    SocksLog Log(S);
    if (Case.UserAndPassword) S.SetSocksAuthentication(socksAuthenticateUsercode);
    S.SetSocksUsercode("u");
    S.SetSocksPassword("p");
    AimThroughSocks(S, Peer.Port(), Case.Level, Case.Level == "4" ? "127.0.0.1" : "h", "80");
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Log.Closed > 0; }, kWaitMs)) << Peer.Error();
    EXPECT_EQ(Log.Joined(), Case.Expected);
    EXPECT_EQ(S.Handle(), INVALID_SOCKET);
    ExpectSettingsCleared(S);
    ASSERT_TRUE(Peer.Join(kWaitMs));
    EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  }
}

TEST_F(SocksNegotiationTest, ServerThatGoesAwayMidDialogue) {
  {
    // An orderly end after half a reply: the close is all the application hears.
    ScriptedPeer Peer(
        {step::Accept(), step::ExpectExactly(B({5, 1, 0})), step::Send(B({5})), step::Close()});
    SocksSocket S(nullptr);
    SocksLog Log(S);
    AimThroughSocks(S, Peer.Port(), "5", "h", "80");
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Log.Closed > 0; }, kWaitMs)) << Peer.Error();
    EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionClosed(0) ");
    ExpectSettingsCleared(S);
  }
  {
    ScriptedPeer Peer({step::Accept(), step::ExpectExactly(B({5, 1, 0})), step::Reset()});
    SocksSocket S(nullptr);
    SocksLog Log(S);
    AimThroughSocks(S, Peer.Port(), "5", "h", "80");
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Log.Closed > 0; }, kWaitMs)) << Peer.Error();
    EXPECT_EQ(Log.Connected, 0);
    EXPECT_EQ(Log.Closed, 1);
    ExpectSettingsCleared(S);
  }
  {
    // Nobody listens on the SOCKS port: the failed connection reaches both events.
    std::uint16_t DeadPort = 0;
    { DeadPort = ScriptedPeer({}).Port(); }
    SocksSocket S(nullptr);
    SocksLog Log(S);
    AimThroughSocks(S, DeadPort, "5", "h", "80");
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsClosed; }, kWaitMs));
    EXPECT_EQ(Log.Joined(), "SocksConnected(10061) SessionConnected(10061) SessionClosed(0) ");
    ExpectSettingsCleared(S);
  }
}

TEST_F(SocksNegotiationTest, ValuesTooLongForTheirMessageAreRefusedBeforeSending) {
  struct Case {
    std::string Level;
    std::string Addr;
    std::string User;
    std::string Password;
    bool Fits;
  };
  const std::string Refused = "SocksConnected(0) SocksError(20018,";
  const std::vector<Case> Cases = {
      {"5", std::string(121, 'a'), "", "", true},
      {"5", std::string(122, 'a'), "", "", false},
      {"5", "h", std::string(100, 'u'), std::string(25, 'p'), true},
      {"5", "h", std::string(100, 'u'), std::string(26, 'p'), false},
      {"4", "127.0.0.1", std::string(119, 'u'), "", true},
      {"4", "127.0.0.1", std::string(120, 'u'), "", false},
      {"4A", std::string(18, 'h'), std::string(100, 'u'), "", true},
      {"4A", std::string(19, 'h'), std::string(100, 'u'), "", false},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Level + " host " + std::to_string(C.Addr.size()) + " user " +
                 std::to_string(C.User.size()) + " password " + std::to_string(C.Password.size()));
    // A value that fits makes a message of exactly the buffer's 128 bytes.
    const bool Auth = !C.Password.empty();
    std::vector<ScriptStep> Script{step::Accept()};
    if (!C.Fits) {
      Script.push_back(step::WaitForPeerClose());
    } else if (C.Level != "5") {
      Script.push_back(step::Expect(128));
    } else if (!Auth) {
      Script.push_back(step::ExpectExactly(B({5, 1, 0})));
      Script.push_back(step::Send(B({5, 0})));
      Script.push_back(step::ExpectExactly(B({5, 1, 0, 3, 121}) + C.Addr + B({0, 80})));
    } else {
      Script.push_back(step::ExpectExactly(B({5, 1, 2})));
      Script.push_back(step::Send(B({5, 2})));
      Script.push_back(step::ExpectExactly(B({1, 100}) + C.User + B({25}) + C.Password));
    }
    if (C.Fits) Script.push_back(step::Close());
    ScriptedPeer Peer(Script);
    SocksSocket S(nullptr);
    SocksLog Log(S);
    if (Auth) S.SetSocksAuthentication(socksAuthenticateUsercode);
    S.SetSocksUsercode(C.User);
    S.SetSocksPassword(C.Password);
    AimThroughSocks(S, Peer.Port(), C.Level, C.Addr, "80");
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Log.Closed > 0; }, kWaitMs)) << Peer.Error();
    ASSERT_TRUE(Peer.Join(kWaitMs));
    if (C.Fits) {
      EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
      EXPECT_EQ(Log.Joined().find("SocksError"), std::string::npos) << Log.Joined();
    } else {
      EXPECT_EQ(Peer.Received(), "") << "nothing is sent";
      EXPECT_EQ(Log.Joined().rfind(Refused, 0), 0u) << Log.Joined();
      EXPECT_NE(Log.Joined().find(") SessionConnected(20018) SessionClosed(20018) "),
                std::string::npos)
          << Log.Joined();
    }
  }
}

TEST_F(SocksNegotiationTest, Socks4DestinationThatCannotBeResolved) {
  ScriptedPeer Peer({step::Accept(), step::WaitForPeerClose()});
  SocksSocket S(nullptr);
  SocksLog Log(S);
  AimThroughSocks(S, Peer.Port(), "4", "no-such-host.invalid", "80");
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Closed > 0; }, kWaitMs)) << Peer.Error();
  EXPECT_EQ(Log.Joined(),
            "SocksConnected(0) SocksError(20017,ESocketException WSocketResolveHost: Cannot "
            "convert host address 'no-such-host.invalid') SessionClosed(20017) ");
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_EQ(Peer.Received(), "");
}

TEST_F(SocksNegotiationTest, CallerErrorsAreRefusedAndChangeNothing) {
  TWSocket S(nullptr);
  S.SetSocksServer("127.0.0.1");
  S.SetSocksPort("1080");
  S.SetAddr("127.0.0.1");
  S.SetPort("80");
  EXPECT_EQ(RaisedText([&] { S.Listen(); }), "listening is not supported thru socks server");
  S.SetProto("udp");
  EXPECT_EQ(RaisedText([&] { S.Connect(); }),
            "tcp is the only protocol supported thru socks server");
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(S.SocksServer(), "127.0.0.1") << "a refused call changes nothing";

  // With OnError set the same refusals report there and raise nothing.
  int Errors = 0;
  S.OnError = [&](TObject*) { ++Errors; };
  S.Listen();
  S.Connect();
  EXPECT_EQ(Errors, 2);
  S.OnError = nullptr;

  S.SetProto("tcp");
  S.SetSocksPort("");
  EXPECT_EQ(RaisedText([&] { S.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");
  S.SetSocksPort("1080");
  S.SetSocksServer("no-such-host.invalid");
  EXPECT_EQ(RaisedText([&] { S.Connect(); }),
            "connect: WSocketResolveHost: Cannot convert host address 'no-such-host.invalid'");
  EXPECT_EQ(S.State(), wsClosed);

  EXPECT_EQ(RaisedText([&] { S.SetSocksLevel(" 4"); }), "Invalid socks level. Must be 4, 4A or 5.");
  EXPECT_EQ(RaisedText([&] { S.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
  EXPECT_EQ(RaisedText([&] { S.SetSocksLevel("4A "); }),
            "Invalid socks level. Must be 4, 4A or 5.");
  EXPECT_EQ(S.SocksLevel(), "5");
  S.SetSocksLevel("4");
  EXPECT_EQ(S.SocksLevel(), "4");
  S.SetSocksLevel("4A");
  EXPECT_EQ(S.SocksLevel(), "4A");
  S.SetSocksServer(" \t 10.0.0.9 \r\n");
  EXPECT_EQ(S.SocksServer(), "10.0.0.9");
  S.SetSocksPort("  socks ");
  EXPECT_EQ(S.SocksPort(), "socks");
}

TEST_F(SocksNegotiationTest, SettingsAreLockedWhileASessionRuns) {
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly(B({5, 1, 0})), step::Pause(200),
                     step::Send(B({5, 0})), step::ExpectExactly(B({5, 1, 0, 3, 1, 'h', 0, 80})),
                     step::Send(B({5, 0, 0, 1, 127, 0, 0, 1, 0, 80})), step::WaitForPeerClose()});
  SocksSocket S(nullptr);
  SocksLog Log(S);
  AimThroughSocks(S, Peer.Port(), "5", "h", "80");
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return S.State() == wsConnected; }, kWaitMs));
  EXPECT_EQ(RaisedText([&] { S.SetSocksServer("10.0.0.1"); }),
            "Can't change socks server if not closed");
  EXPECT_EQ(RaisedText([&] { S.SetSocksPort("1"); }), "Can't change socks port if not closed");
  EXPECT_EQ(RaisedText([&] { S.SetSocksLevel("4"); }), "Can't change socks level if not closed");
  EXPECT_EQ(RaisedText([&] { S.Connect(); }), "Connect: Socket already in use");
  EXPECT_EQ(S.SocksServer(), "127.0.0.1");
  EXPECT_EQ(S.SocksLevel(), "5");

  // The refused second Connect did not disturb the dialogue.
  ASSERT_TRUE(PumpUntil([&] { return Log.Connected > 0; }, kWaitMs)) << Peer.Error();
  EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) Data ");
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SocksNegotiationTest, WithoutAServerTheLayerIsTransparent) {
  ScriptedPeer Peer({step::Accept(), step::ExpectExactly("hello"), step::Send("12345"),
                     step::WaitForPeerClose()});
  SocksSocket S(nullptr);
  SocksLog Log(S);
  S.SetSocksServer("   ");  // blanks only: off
  S.SetSocksPort("1080");
  EXPECT_EQ(S.SocksServer(), "");
  Aim(S, Peer.Port());
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Connected > 0; }, kWaitMs));
  EXPECT_EQ(Log.Joined(), "SessionConnected(0) ") << "no SOCKS event without a server";
  S.SendText("hello");
  ASSERT_TRUE(PumpUntil([&] { return Log.Data.size() >= 5 || Log.Closed; }, kWaitMs))
      << Peer.Error();
  EXPECT_EQ(Log.Data, "12345");
  EXPECT_EQ(Log.FirstWaiting, 5) << "RcvdCount is the socket's own count";
  S.CloseSession();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
  EXPECT_EQ(S.SocksPort(), "") << "cleared by the close even when unused";
}

}  // namespace
}  // namespace vantrel::test
