// Conversions of host, port and protocol texts, and the guards of the properties behind them.
#include <gtest/gtest.h>

#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

using ResolveTest = SocketTest;

TEST(DecimalPrefixValueTest, LeadingSpacesThenDigits) {
  EXPECT_EQ(DecimalPrefixValue("8080"), 8080);
  EXPECT_EQ(DecimalPrefixValue("  8080x"), 8080);
  EXPECT_EQ(DecimalPrefixValue("\t80"), 0) << "only spaces are skipped";
  EXPECT_EQ(DecimalPrefixValue(""), 0);
  EXPECT_EQ(DecimalPrefixValue("http"), 0);
  EXPECT_EQ(DecimalPrefixValue("-5"), 0);
}

TEST_F(ResolveTest, HostTextsAndTheirLimits) {
  TWSocket Holder(nullptr);  // keeps the library loaded between the calls
  EXPECT_EQ(WSocketResolveHost("127.0.0.1"), SocketApi_inet_addr("127.0.0.1"));
  EXPECT_EQ(WSocketResolveHost("  10.1.2.3 "), SocketApi_inet_addr("10.1.2.3"));
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(WSocketResolveHost("localhost"), SocketApi_inet_addr("127.0.0.1"));

  EXPECT_EQ(RaisedText([] { WSocketResolveHost("256.1.1.1"); }),
            "WSocketResolveHost: '256.1.1.1' Invalid IP address.");
  EXPECT_EQ(RaisedText([] { WSocketResolveHost("1host"); }),
            "WSocketResolveHost: '1host' Invalid IP address.")
      << "a leading digit means a dotted address, never a name";
  EXPECT_EQ(RaisedText([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
  EXPECT_EQ(RaisedText([] { WSocketResolveHost("no-such-host.invalid"); }),
            "WSocketResolveHost: Cannot convert host address 'no-such-host.invalid'");

  // 256 characters are converted (and fail as a name); 257 are refused before any lookup.
  const std::string Long256(256, 'a');
  EXPECT_EQ(RaisedText([&] { WSocketResolveHost(Long256); }),
            "WSocketResolveHost: Cannot convert host address '" + Long256 + "'");
  const std::string Long257(257, 'a');
  EXPECT_EQ(RaisedText([&] { WSocketResolveHost(Long257); }),
            "WSocketResolveHost: '" + Long257 + "' Invalid Hostname.");
  // The length is measured before trimming, and the message quotes the text as given.
  const std::string Padded = "  " + std::string(255, '1');
  EXPECT_EQ(RaisedText([&] { WSocketResolveHost(Padded); }),
            "WSocketResolveHost: '" + Padded + "' Invalid Hostname.");
}

TEST_F(ResolveTest, PortAndProtocolTexts) {
  TWSocket Holder(nullptr);
  EXPECT_EQ(WSocketResolvePort("80", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort("8080x", "tcp"), 8080);
  EXPECT_EQ(WSocketResolvePort("70000", "tcp"), 4464) << "kept to 16 bits";
  EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort(" smtp ", " tcp "), 25);
  EXPECT_EQ(WSocketResolvePort("domain", "udp"), 53);
  EXPECT_EQ(WSocketResolvePort("ssh", ""), 22) << "an empty protocol matches any";
  EXPECT_EQ(RaisedText([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(RaisedText([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
            "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(WSocketResolvePort(std::string(31, '1'), "tcp"),
            static_cast<std::uint16_t>(DecimalPrefixValue(std::string(31, '1'))));
  EXPECT_EQ(RaisedText([] { WSocketResolvePort(" nosuchservice", "tcp"); }),
            "WSocketResolvePort: Cannot convert port ' nosuchservice'");

  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  EXPECT_EQ(WSocketResolveProto(" 17 "), 17);
  EXPECT_EQ(WSocketResolveProto("6x"), 6);
  EXPECT_EQ(RaisedText([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(RaisedText([] { WSocketResolveProto(std::string(32, 't')); }),
            "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(RaisedText([] { WSocketResolveProto(" nosuchproto "); }),
            "WSocketResolveProto: Cannot convert protocol 'nosuchproto'")
      << "the protocol message quotes the trimmed text";
}

TEST_F(ResolveTest, PropertiesAreStoredTrimmedAndGuardedWhileOpen) {
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  Socket.SetAddr("  127.0.0.1 ");
  EXPECT_EQ(Socket.Addr(), "127.0.0.1");
  Socket.SetPort(" 0 ");
  EXPECT_EQ(Socket.Port(), "0");
  Socket.SetProto(" tcp");
  EXPECT_EQ(Socket.Proto(), "tcp");
  Socket.SetLocalPort(" 0 ");
  EXPECT_EQ(Socket.LocalPort(), " 0 ") << "the local port is stored as given";
  Socket.Listen();
  ASSERT_EQ(Socket.State(), wsListening);
  EXPECT_NE(Socket.GetBoundPort(), "error");
  EXPECT_NE(Socket.GetBoundPort(), "0");

  EXPECT_EQ(RaisedText([&] { Socket.SetPort("80"); }), "Cannot change Port if not closed");
  EXPECT_EQ(RaisedText([&] { Socket.SetAddr("10.0.0.1"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(RaisedText([&] { Socket.SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(RaisedText([&] { Socket.SetLocalPort("0"); }), "Cannot change LocalPort if not closed")
      << "no equality shortcut for the local port";
  // The same text again is accepted; the comparison is with the value exactly as given.
  EXPECT_NO_THROW(Socket.SetPort("0"));
  EXPECT_NO_THROW(Socket.SetAddr("127.0.0.1"));
  EXPECT_NO_THROW(Socket.SetProto("tcp"));
  EXPECT_EQ(RaisedText([&] { Socket.SetPort(" 0"); }), "Cannot change Port if not closed");
  EXPECT_EQ(Socket.PeerAddr(), "error") << "only a connected socket has a peer";
  EXPECT_EQ(Socket.PeerPort(), "error");

  Socket.CloseSession();
  EXPECT_EQ(Socket.GetBoundPort(), "error");
  // The texts survive the close but must be assigned again.
  EXPECT_EQ(Socket.Addr(), "127.0.0.1");
  EXPECT_EQ(Socket.Port(), "0");
  EXPECT_EQ(Socket.LocalPort(), "0") << "the close resets the local port";
  EXPECT_EQ(RaisedText([&] { Socket.Connect(); }), "Connect: No Port Specified");
  Socket.SetPort("0");
  EXPECT_EQ(RaisedText([&] { Socket.Connect(); }), "Connect: No IP Address Specified");
  Socket.SetAddr("127.0.0.1");
  Socket.SetProto("");
  EXPECT_EQ(RaisedText([&] { Socket.Connect(); }), "Connect: No Protocol Specified");
  Socket.SetProto("nosuchproto");
  EXPECT_EQ(RaisedText([&] { Socket.Connect(); }),
            "connect: WSocketResolveProto: Cannot convert protocol 'nosuchproto'");
  EXPECT_EQ(Socket.State(), wsClosed);
  Socket.SetProto("tcp");
  Socket.SetAddr("1host");
  EXPECT_EQ(RaisedText([&] { Socket.Listen(); }),
            "listen: WSocketResolveHost: '1host' Invalid IP address.");
  EXPECT_EQ(Socket.State(), wsClosed);
}

}  // namespace
}  // namespace vantrel::test
