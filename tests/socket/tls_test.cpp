// TLS on the socket: against nginx (directly and through microsocks), between two TWSockets, in
// line mode and with the synchronous waits, and every way a handshake or a stream can fail.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ScriptedPeer.h"
#include "SocketTestUtil.h"
#include "TestServers.h"
#include "TlsCertificates.h"

namespace vantrel::test {
namespace {

constexpr int kWaitMs = 10000;

// A TLS client that sends one HTTP/1.0 request once connected and collects the answer.
struct TlsClient {
  explicit TlsClient(const TlsCertificates& Certs) {
    S.SetSslEnable(true);
    S.SetSslCAFile(Certs.Crt("ca"));
    S.OnSslHandshakeDone = [this](TObject*, std::uint16_t E) { Handshake = E; };
    S.OnSessionConnected = [this](TObject*, std::uint16_t E) {
      Connected = E;
      if (E == 0) S.SendText("GET " + Path + " HTTP/1.0\r\nHost: a.test\r\n\r\n");
    };
    S.OnDataAvailable = [this](TObject*, std::uint16_t) { Answer += S.ReadText(); };
    S.OnSessionClosed = [this](TObject*, std::uint16_t E) { Closed = E; };
  }
  bool Get(std::uint16_t Port, const std::string& Target = "/") {
    Path = Target;
    Aim(S, Port);
    S.Connect();
    return PumpUntil([&] { return Closed >= 0; }, kWaitMs);
  }
  std::string Path;
  std::string Answer;
  int Handshake = -1;
  int Connected = -1;
  int Closed = -1;
  TWSocket S{nullptr};
};

NginxTls ServedWith(const TlsCertificates& Certs, const std::string& Name) {
  return NginxTls{Certs.Crt(Name), Certs.Key(Name), {}, false};
}

using TlsTest = SocketTest;

TEST_F(TlsTest, GetFromNginxWithVersionCipherAndCloseNotify) {
  TlsCertificates Certs;
  ASSERT_TRUE(Certs.Ready()) << Certs.Error();
  NginxServer Nginx({}, ServedWith(Certs, "good"));
  VANTREL_REQUIRE_SERVER(Nginx);
  ASSERT_TRUE(Nginx.AddFile("a.txt", std::string(100000, 'x')));

  TlsClient Client(Certs);
  Client.S.SetSslServerName("a.test");
  ASSERT_TRUE(Client.Get(Nginx.Port(), "/a.txt"));
  EXPECT_EQ(Client.Handshake, 0) << Client.S.SslErrorText();
  EXPECT_EQ(Client.Connected, 0);
  EXPECT_EQ(Client.Closed, 0) << "nginx ends with close_notify";
  EXPECT_TRUE(Client.S.SslCloseNotified());
  EXPECT_EQ(Client.S.SslVersion(), "TLSv1.3");
  EXPECT_FALSE(Client.S.SslCipher().empty());
  EXPECT_EQ(Client.Answer.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(Client.Answer.substr(Client.Answer.size() - 100000), std::string(100000, 'x'));

  // Off by default: the same port then hears plain bytes, which it answers in plain text.
  TlsClient Plain(Certs);
  Plain.S.SetSslEnable(false);
  ASSERT_TRUE(Plain.Get(Nginx.Port()));
  EXPECT_EQ(Plain.Handshake, -1);
  EXPECT_NE(Plain.Answer.find("400"), std::string::npos) << Plain.Answer;
}

TEST_F(TlsTest, EachBadCertificateFailsWithItsOwnTextAndPassesWithVerificationOff) {
  TlsCertificates Certs;
  ASSERT_TRUE(Certs.Ready()) << Certs.Error();
  struct Case {
    const char* Cert;
    bool TrustOurCa;
    std::uint16_t Code;
    std::string Text;
  };
  const Case Cases[] = {
      {"wronghost", true, SslErrorHostName,
       "TLS: host name mismatch: expected 127.0.0.1, certificate is for b.test"},
      {"expired", true, SslErrorVerify,
       "TLS handshake failed: certificate verify failed: certificate has expired"},
      {"selfsigned", true, SslErrorVerify,
       "TLS handshake failed: certificate verify failed: self-signed certificate"},
      // The system's trust store does not know the private authority.
      {"good", false, SslErrorVerify,
       "TLS handshake failed: certificate verify failed: unable to get local issuer certificate"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Cert);
    NginxServer Nginx({}, ServedWith(Certs, C.Cert));
    VANTREL_REQUIRE_SERVER(Nginx);
    TlsClient Refused(Certs);
    if (!C.TrustOurCa) Refused.S.SetSslCAFile("");
    ASSERT_TRUE(Refused.Get(Nginx.Port()));
    EXPECT_EQ(Refused.Handshake, C.Code);
    EXPECT_EQ(Refused.Connected, C.Code);
    EXPECT_EQ(Refused.Closed, C.Code);
    EXPECT_EQ(Refused.S.SslErrorText(), C.Text);
    EXPECT_EQ(Refused.Answer, "");
    EXPECT_NE(SocketErrorText(C.Code), "Not a WinSock error");

    TlsClient Trusting(Certs);
    Trusting.S.SetSslVerifyPeer(false);
    ASSERT_TRUE(Trusting.Get(Nginx.Port()));
    EXPECT_EQ(Trusting.Connected, 0) << Trusting.S.SslErrorText();
    EXPECT_EQ(Trusting.Answer.substr(0, 15), "HTTP/1.1 200 OK");
  }

  // A peer that does not speak TLS, and one that closes during the handshake.
  ScriptedPeer Plain(
      {step::Accept(), step::Send("HTTP/1.0 400 Bad\r\n\r\n"), step::WaitForPeerClose()});
  TlsClient ToPlain(Certs);
  ASSERT_TRUE(ToPlain.Get(Plain.Port()));
  EXPECT_EQ(ToPlain.Connected, SslErrorHandshake);
  EXPECT_EQ(ToPlain.S.SslErrorText(), "TLS handshake failed: wrong version number");
  ScriptedPeer Closer({step::Accept(), step::ReadUntil("\x16\x03"), step::Close()});
  TlsClient ToCloser(Certs);
  ASSERT_TRUE(ToCloser.Get(Closer.Port()));
  EXPECT_EQ(ToCloser.Connected, SslErrorClosed);
  EXPECT_EQ(ToCloser.Closed, SslErrorClosed);

  // Settings that cannot be used are refused at Connect, with OpenSSL's reason.
  TlsClient NoCa(Certs);
  NoCa.S.SetSslCAFile(Certs.Crt("missing"));
  Aim(NoCa.S, Plain.Port());
  EXPECT_EQ(RaisedText([&] { NoCa.S.Connect(); }).rfind("TLS setup failed: cannot load CA file", 0),
            0u);
  EXPECT_EQ(NoCa.S.State(), wsClosed);
}

TEST_F(TlsTest, ClientCertificateIsPresentedWhenAsked) {
  TlsCertificates Certs;
  ASSERT_TRUE(Certs.Ready()) << Certs.Error();
  NginxTls Tls = ServedWith(Certs, "good");
  Tls.clientCA = Certs.Crt("ca");
  NginxServer Nginx(R"(location /who { return 200 "$ssl_client_s_dn"; })", Tls);
  VANTREL_REQUIRE_SERVER(Nginx);

  TlsClient Anonymous(Certs);
  ASSERT_TRUE(Anonymous.Get(Nginx.Port(), "/who"));
  EXPECT_NE(Anonymous.Answer.find("400"), std::string::npos) << Anonymous.Answer;

  TlsClient Known(Certs);
  Known.S.SetSslCertFile(Certs.Crt("client"));
  Known.S.SetSslKeyFile(Certs.Key("client"));
  ASSERT_TRUE(Known.Get(Nginx.Port(), "/who"));
  EXPECT_EQ(Known.Answer.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_NE(Known.Answer.find("CN=client"), std::string::npos) << Known.Answer;
}

TEST_F(TlsTest, ThroughSocks5ToTheNameTheServerResolves) {
  TlsCertificates Certs;
  ASSERT_TRUE(Certs.Ready()) << Certs.Error();
  NginxServer Nginx({}, ServedWith(Certs, "good"));
  VANTREL_REQUIRE_SERVER(Nginx);
  MicrosocksServer Socks;
  VANTREL_REQUIRE_SERVER(Socks);

  TlsClient Client(Certs);
  bool SocksUp = false;
  Client.S.OnSocksConnected = [&](TObject*, std::uint16_t E) { SocksUp = E == 0; };
  Client.Path = "/";
  // "localhost" is resolved by the SOCKS server; the certificate is checked for SslServerName.
  AimThroughSocks(Client.S, Socks.Port(), "5", "localhost", Nginx.Port());
  Client.S.SetSslServerName("a.test");
  Client.S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return Client.Closed >= 0; }, kWaitMs));
  EXPECT_TRUE(SocksUp);
  EXPECT_EQ(Client.Connected, 0) << Client.S.SslErrorText();
  EXPECT_EQ(Client.Answer.substr(0, 15), "HTTP/1.1 200 OK");
}

// A listening socket hands each connection to a TLS server socket that echoes lines.
struct TlsEchoServer {
  explicit TlsEchoServer(const TlsCertificates& Certs) {
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.OnSessionAvailable = [this, &Certs](TObject*, std::uint16_t) {
      Peer = std::make_unique<TWSocket>(nullptr);
      Peer->SetSslEnable(true);
      Peer->SetSslCertFile(Certs.Crt("good"));
      Peer->SetSslKeyFile(Certs.Key("good"));
      Peer->SetLineMode(true);
      Peer->OnSslHandshakeDone = [this](TObject*, std::uint16_t E) { Handshake = E; };
      Peer->OnDataAvailable = [this](TObject*, std::uint16_t) {
        const std::string Line = Peer->ReadText();
        if (Line == "bye\r\n") {
          Peer->ShutdownSession(1);  // the end of the stream, without close_notify
        } else if (!Line.empty()) {
          Peer->SendText("echo " + Line);
        }
      };
      Peer->Dup(Listener.Accept());
      // Sent before the handshake is over: held, then encrypted.
      Peer->SendText("hello\r\n");
    };
    Listener.Listen();
  }
  std::uint16_t Port() { return static_cast<std::uint16_t>(std::stoi(Listener.GetBoundPort())); }

  TWSocket Listener{nullptr};
  std::unique_ptr<TWSocket> Peer;
  int Handshake = -1;
};

TEST_F(TlsTest, TwoSocketsTalkTlsInLineModeAndACutStreamIsAnError) {
  TlsCertificates Certs;
  ASSERT_TRUE(Certs.Ready()) << Certs.Error();
  TlsEchoServer Server(Certs);

  TWSocket Client(nullptr);
  std::vector<std::string> Lines;
  int Closed = -1;
  bool Connected = false;
  Client.SetSslEnable(true);
  Client.SetSslCAFile(Certs.Crt("ca"));
  Client.SetSslServerName("a.test");
  Client.SetLineMode(true);
  Client.OnSessionConnected = [&](TObject*, std::uint16_t E) { Connected = E == 0; };
  Client.OnDataAvailable = [&](TObject*, std::uint16_t) { Lines.push_back(Client.ReadText()); };
  Client.OnSessionClosed = [&](TObject*, std::uint16_t E) { Closed = E; };
  Aim(Client, Server.Port());
  // The synchronous wait works over TLS: it ends once the handshake is done.
  ASSERT_EQ(Client.RunAndWait([&] { Client.Connect(); }, Connected), SyncWaitDone);
  EXPECT_EQ(Client.SslVersion(), "TLSv1.3");

  // Many lines in one send come out one by one, each echoed.
  std::string Many;
  for (int I = 0; I < 200; ++I) Many += "line " + std::to_string(I) + "\r\n";
  Client.SendText(Many);
  ASSERT_TRUE(PumpUntil([&] { return Lines.size() == 201; }, kWaitMs)) << Lines.size();
  EXPECT_EQ(Server.Handshake, 0);
  EXPECT_EQ(Lines.front(), "hello\r\n");
  EXPECT_EQ(Lines[1], "echo line 0\r\n");
  EXPECT_EQ(Lines.back(), "echo line 199\r\n");

  Client.SendText("bye\r\n");
  ASSERT_TRUE(PumpUntil([&] { return Closed >= 0; }, kWaitMs));
  EXPECT_EQ(Closed, SslErrorTruncated);
  EXPECT_FALSE(Client.SslCloseNotified());
  Server.Peer.reset();
}

TEST_F(TlsTest, AGracefulCloseSendsCloseNotify) {
  TlsCertificates Certs;
  ASSERT_TRUE(Certs.Ready()) << Certs.Error();
  TlsEchoServer Server(Certs);
  TWSocket Client(nullptr);
  bool Connected = false;
  std::string Received;
  Client.SetSslEnable(true);
  Client.SetSslVerifyPeer(false);
  Client.OnSessionConnected = [&](TObject*, std::uint16_t E) { Connected = E == 0; };
  Client.OnDataAvailable = [&](TObject*, std::uint16_t) { Received += Client.ReadText(); };
  Aim(Client, Server.Port());
  ASSERT_EQ(Client.RunAndWait([&] { Client.Connect(); }, Connected), SyncWaitDone);
  ASSERT_TRUE(PumpUntil([&] { return Received == "hello\r\n"; }, kWaitMs)) << Received;
  int ServerClosed = -1;
  Server.Peer->OnSessionClosed = [&](TObject*, std::uint16_t E) { ServerClosed = E; };
  Client.CloseSession();
  ASSERT_TRUE(PumpUntil([&] { return ServerClosed >= 0; }, kWaitMs));
  EXPECT_EQ(ServerClosed, 0);
  EXPECT_TRUE(Server.Peer->SslCloseNotified());
  Server.Peer.reset();
}

}  // namespace
}  // namespace vantrel::test
