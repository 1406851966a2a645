// The SOCKS layer against real SOCKS servers started on 127.0.0.1 (microsocks and dante), each
// carrying a session to an echoing peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ScriptedPeer.h"
#include "SocketTestUtil.h"
#include "TestServers.h"

namespace vantrel::test {
namespace {

constexpr int kWaitMs = 10000;

// Records the SOCKS and session events in order and collects the received bytes.
struct SessionLog : SocksEventLog {
  explicit SessionLog(TWSocket& S) : SocksEventLog(S) {
    S.OnDataAvailable = [this](TObject*, std::uint16_t) { ReadAll(); };
  }
  void Clear() {
    Events.clear();
    Data.clear();
    Connected = Closed = 0;
  }
};

// A peer that answers each of Sessions connections with "echo: " and what it received.
std::vector<ScriptStep> EchoScript(int Sessions) {
  std::vector<ScriptStep> Script;
  for (int I = 0; I < Sessions; ++I) {
    Script.push_back(step::Accept());
    Script.push_back(step::ExpectExactly("hello through socks"));
    Script.push_back(step::Send("echo: hello through socks"));
    Script.push_back(step::WaitForPeerClose());
  }
  return Script;
}

// Connects, exchanges one message with the echo peer and closes; the events are left in Log.
void EchoSession(TWSocket& S, SessionLog& Log) {
  Log.Clear();
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Connected || Log.Closed; }, kWaitMs)) << Log.Joined();
  ASSERT_TRUE(Log.Connected) << Log.Joined();
  S.SendText("hello through socks");
  EXPECT_TRUE(PumpUntil([&] { return Log.Data.size() >= 25 || Log.Closed; }, kWaitMs));
  EXPECT_EQ(Log.Data, "echo: hello through socks");
  S.CloseSession();
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(S.SocksServer(), "");
}

// The reply address of the last negotiation.
class ReplySocket : public TWSocket {
 public:
  using TCustomSocksWSocket::SocksReplyAddr;
  using TWSocket::TWSocket;
};

using SocksServersTest = SocketTest;

TEST_F(SocksServersTest, MicrosocksWithoutAuthentication) {
  MicrosocksServer Server;
  VANTREL_REQUIRE_SERVER(Server);
  ScriptedPeer Peer(EchoScript(2));
  ReplySocket S(nullptr);
  SessionLog Log(S);

  AimThroughSocks(S, Server.Port(), "5", "127.0.0.1", Peer.Port());
  EchoSession(S, Log);
  EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) SessionClosed(0) ");
  // The bound address the server names (microsocks says 0.0.0.0), as dotted text.
  EXPECT_EQ(std::count(S.SocksReplyAddr().begin(), S.SocksReplyAddr().end(), '.'), 3)
      << S.SocksReplyAddr();

  // A host name is passed on for the server to resolve.
  AimThroughSocks(S, Server.Port(), "5", "localhost", Peer.Port());
  EchoSession(S, Log);
  EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) SessionClosed(0) ");
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SocksServersTest, MicrosocksWithUserNameAndPassword) {
  MicrosocksServer Server("alice", "wonderland");
  VANTREL_REQUIRE_SERVER(Server);
  ScriptedPeer Peer(EchoScript(1));
  TWSocket S(nullptr);
  SessionLog Log(S);
  S.SetSocksAuthentication(socksAuthenticateUsercode);
  S.SetSocksUsercode("alice");
  S.SetSocksPassword("wonderland");
  AimThroughSocks(S, Server.Port(), "5", "127.0.0.1", Peer.Port());
  EchoSession(S, Log);
  EXPECT_EQ(Log.Joined(),
            "SocksConnected(0) Auth(Begun) Auth(Granted) SessionConnected(0) SessionClosed(0) ");
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();

  // A wrong password is refused.
  Log.Clear();
  S.SetSocksPassword("looking-glass");
  AimThroughSocks(S, Server.Port(), "5", "127.0.0.1", Peer.Port());
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Closed; }, kWaitMs)) << Log.Joined();
  EXPECT_EQ(Log.Joined(),
            "SocksConnected(0) Auth(Begun) Auth(Denied) SocksError(20015,socks authentication "
            "failed) SessionConnected(20015) Auth(Denied) SessionClosed(20015) ");

  // Offering no authentication to a server that requires it.
  Log.Clear();
  S.SetSocksAuthentication(socksNoAuthentication);
  AimThroughSocks(S, Server.Port(), "5", "127.0.0.1", Peer.Port());
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Closed; }, kWaitMs)) << Log.Joined();
  EXPECT_EQ(Log.Joined(),
            "SocksConnected(0) SocksError(20003,authentification method not acceptable) "
            "SessionConnected(20003) SessionClosed(20003) ");
}

TEST_F(SocksServersTest, DanteSocks4And5) {
  DanteServer Server;
  VANTREL_REQUIRE_SERVER(Server);
  ScriptedPeer Peer(EchoScript(3));
  TWSocket S(nullptr);
  SessionLog Log(S);

  S.SetSocksUsercode("anyone");  // a version 4 user id
  AimThroughSocks(S, Server.Port(), "4", "127.0.0.1", Peer.Port());
  EchoSession(S, Log);
  EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) SessionClosed(0) ")
      << Server.Log();

  // Version 4 resolves the host itself.
  AimThroughSocks(S, Server.Port(), "4", "localhost", Peer.Port());
  EchoSession(S, Log);
  EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) SessionClosed(0) ")
      << Server.Log();

  AimThroughSocks(S, Server.Port(), "5", "127.0.0.1", Peer.Port());
  EchoSession(S, Log);
  EXPECT_EQ(Log.Joined(), "SocksConnected(0) SessionConnected(0) SessionClosed(0) ")
      << Server.Log();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

TEST_F(SocksServersTest, DanteRefusesADestinationItCannotReach) {
  DanteServer Server;
  VANTREL_REQUIRE_SERVER(Server);
  std::uint16_t DeadPort = 0;
  { DeadPort = ScriptedPeer({}).Port(); }
  TWSocket S(nullptr);
  SessionLog Log(S);
  AimThroughSocks(S, Server.Port(), "5", "127.0.0.1", DeadPort);
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Log.Closed; }, kWaitMs)) << Log.Joined();
  EXPECT_EQ(Log.Joined(),
            "SocksConnected(0) SocksError(20008,connection refused) SessionConnected(20008) "
            "SessionClosed(20008) ")
      << Server.Log();
}

TEST_F(SocksServersTest, DanteWithUserNameAndPassword) {
  DanteServer Server("vantrelsocks", "s3cret-pass");
  VANTREL_REQUIRE_SERVER(Server);
  ScriptedPeer Peer(EchoScript(1));
  TWSocket S(nullptr);
  SessionLog Log(S);
  S.SetSocksAuthentication(socksAuthenticateUsercode);
  S.SetSocksUsercode("vantrelsocks");
  S.SetSocksPassword("s3cret-pass");
  AimThroughSocks(S, Server.Port(), "5", "127.0.0.1", Peer.Port());
  EchoSession(S, Log);
  EXPECT_EQ(Log.Joined(),
            "SocksConnected(0) Auth(Begun) Auth(Granted) SessionConnected(0) SessionClosed(0) ")
      << Server.Log();
  ASSERT_TRUE(Peer.Join(kWaitMs));
  EXPECT_TRUE(Peer.Succeeded()) << Peer.Error();
}

}  // namespace
}  // namespace vantrel::test
