// https end to end: nginx with TLS directly, through tinyproxy's CONNECT and through microsocks,
// relocations between http and https, certificates, and a stream cut without close_notify.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "HttpProt.h"
#include "HttpTestUtil.h"
#include "TempDir.h"
#include "TestServers.h"
#include "TlsCertificates.h"
#include "WSocket.h"

namespace vantrel {
namespace {

using test::HttpRecorder;

const char kLocations[] =
    "    location = /to-tls { return 302 https://127.0.0.1:{TLS}/tls-back; }\n"
    "    location = /tls-back { if ($scheme = https) { return 302 "
    "http://127.0.0.1:{PLAIN}/doc.txt; } return 404; }\n"
    "    location = /relative { return 302 /doc.txt; }\n"
    "    location = /who { return 200 \"$ssl_client_s_dn\"; }\n";

class Https : public test::HttpTest {
 protected:
  static void SetUpTestSuite() {
    certs_ = new test::TlsCertificates;
    if (!certs_->Ready()) return;
    nginx_ = new test::NginxServer(
        kLocations, {certs_->Crt("good"), certs_->Key("good"), {}, /*plainToo=*/true});
    nginx_->AddFile("doc.txt", std::string(70000, 'd'));
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
    delete certs_;
    certs_ = nullptr;
  }
  void SetUp() override {
    test::HttpTest::SetUp();
    ASSERT_TRUE(certs_->Ready()) << certs_->Error();
    VANTREL_REQUIRE_SERVER(*nginx_);
    cli_.SetTimeLimit(20000);
    cli_.SetSslCAFile(certs_->Crt("ca"));
  }
  // The request's failure text, or "" when it went through.
  std::string Get(const std::string& url) {
    cli_.SetURL(url);
    try {
      cli_.GetDocument();
    } catch (const EHttpException& e) {
      return e.Message();
    }
    return {};
  }
  std::string TlsUrl(const std::string& path) const { return nginx_->Url(path); }

  static test::TlsCertificates* certs_;
  static test::NginxServer* nginx_;
  THttpCli cli_{nullptr};
  HttpRecorder rec_{cli_};
};

test::TlsCertificates* Https::certs_ = nullptr;
test::NginxServer* Https::nginx_ = nullptr;

TEST_F(Https, GetWithVerificationAndRelocationsBothWays) {
  EXPECT_EQ(Get(TlsUrl("/doc.txt")), "");
  EXPECT_EQ(cli_.ResponseCode(), 200);
  EXPECT_EQ(rec_.document, std::string(70000, 'd'));
  EXPECT_EQ(cli_.CtrlSocket()->SslVersion(), "TLSv1.3");
  EXPECT_EQ(cli_.CtrlSocket()->SslServerName(), "127.0.0.1");
  EXPECT_EQ(rec_.commands.front(), "GET /doc.txt HTTP/1.0");
  // The next connection to the same server resumes the session.
  EXPECT_FALSE(cli_.CtrlSocket()->SslSessionReused());
  EXPECT_EQ(Get(TlsUrl("/doc.txt")), "");
  EXPECT_TRUE(cli_.CtrlSocket()->SslSessionReused());

  // http -> https -> http; a relative location keeps https.
  rec_.events.clear();
  rec_.document.clear();
  EXPECT_EQ(Get("http://127.0.0.1:" + std::to_string(nginx_->PlainPort()) + "/to-tls"), "");
  EXPECT_EQ(cli_.ResponseCode(), 200);
  EXPECT_EQ(rec_.document.size(), 70000u);
  EXPECT_TRUE(rec_.Has("LocationChange " + TlsUrl("/tls-back"))) << rec_.Joined();
  EXPECT_EQ(Get(TlsUrl("/relative")), "");
  EXPECT_EQ(cli_.CtrlSocket()->SslVersion(), "TLSv1.3");
  EXPECT_EQ(cli_.ResponseCode(), 200);
  const std::string log = nginx_->AccessLog();
  // /tls-back answers 302 only over TLS.
  EXPECT_NE(log.find("GET " + TlsUrl("/tls-back") + " HTTP/1.0\" 302"), std::string::npos) << log;
}

TEST_F(Https, CertificatesChecksAndClientCertificate) {
  cli_.SetSslCAFile("");  // the system's trust store does not know the private authority
  const std::string text = Get(TlsUrl("/doc.txt"));
  EXPECT_EQ(cli_.ResponseCode(), 404);
  EXPECT_EQ(text,
            "TLS handshake failed: certificate verify failed: unable to get local issuer "
            "certificate (Error #21003)");
  EXPECT_EQ(rec_.doneError, SslErrorVerify);

  cli_.SetSslVerifyPeer(false);
  EXPECT_EQ(Get(TlsUrl("/doc.txt")), "");
  EXPECT_EQ(cli_.ResponseCode(), 200);

  // A server that requires a client certificate gets the one the client is given.
  test::NginxServer asking(kLocations, {certs_->Crt("good"), certs_->Key("good"), certs_->Crt("ca"),
                                        /*plainToo=*/false});
  VANTREL_REQUIRE_SERVER(asking);
  EXPECT_NE(Get(asking.Url("/who")), "");
  EXPECT_EQ(cli_.ResponseCode(), 400);
  cli_.SetSslCertFile(certs_->Crt("client"));
  cli_.SetSslKeyFile(certs_->Key("client"));
  rec_.document.clear();
  EXPECT_EQ(Get(asking.Url("/who")), "");
  EXPECT_EQ(cli_.ResponseCode(), 200);
  EXPECT_EQ(rec_.document, "CN=client");
}

TEST_F(Https, ThroughTinyproxyConnectAndThroughMicrosocks) {
  test::TinyproxyServer proxy("u:p", nginx_->Port());
  VANTREL_REQUIRE_SERVER(proxy);
  cli_.SetProxy("127.0.0.1");
  cli_.SetProxyPort(std::to_string(proxy.Port()));
  cli_.SetProxyUsername("u");
  cli_.SetProxyPassword("p");
  EXPECT_EQ(Get(TlsUrl("/doc.txt")), "");
  EXPECT_EQ(cli_.ResponseCode(), 200);
  EXPECT_EQ(rec_.document.size(), 70000u);
  // Inside the tunnel the origin hears an origin-form target and no proxy credentials.
  EXPECT_EQ(rec_.commands.front(), "GET /doc.txt HTTP/1.0");
  for (const auto& line : rec_.commands)
    EXPECT_EQ(line.find("Proxy-Authorization"), std::string::npos);
  EXPECT_NE(proxy.Log().find("CONNECT"), std::string::npos);

  // A port the proxy does not tunnel to: its refusal is the answer.
  EXPECT_NE(Get("https://127.0.0.1:" + std::to_string(nginx_->PlainPort()) + "/doc.txt"), "");
  EXPECT_EQ(cli_.ResponseCode(), 403);

  cli_.SetProxy("");
  test::MicrosocksServer socks;
  VANTREL_REQUIRE_SERVER(socks);
  cli_.SetSocksServer("127.0.0.1");
  cli_.SetSocksPort(std::to_string(socks.Port()));
  rec_.document.clear();
  EXPECT_EQ(Get(TlsUrl("/doc.txt")), "");
  EXPECT_EQ(cli_.ResponseCode(), 200);
  EXPECT_EQ(rec_.document.size(), 70000u);
}

// A TLS server on a TWSocket that answers every request with a header and part of a
// close-delimited document, then ends the stream with or without close_notify.
struct CuttingServer {
  CuttingServer(const test::TlsCertificates& certs, bool closeNotify) {
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.OnSessionAvailable = [this, &certs, closeNotify](TObject*, std::uint16_t) {
      peer = std::make_unique<TWSocket>(nullptr);
      peer->SetSslEnable(true);
      peer->SetSslCertFile(certs.Crt("good"));
      peer->SetSslKeyFile(certs.Key("good"));
      peer->OnDataAvailable = [this, closeNotify](TObject*, std::uint16_t) {
        if (peer->ReadText().find("\r\n\r\n") == std::string::npos) return;
        peer->SendText("HTTP/1.0 200 OK\r\n\r\npart of a document");
        if (closeNotify) {
          peer->CloseSession();
        } else {
          peer->ShutdownSession(1);
        }
      };
      peer->Dup(listener.Accept());
    };
    listener.Listen();
  }
  std::string Url() { return "https://127.0.0.1:" + listener.GetBoundPort() + "/"; }
  TWSocket listener{nullptr};
  std::unique_ptr<TWSocket> peer;
};

TEST_F(Https, ADocumentCutWithoutCloseNotifyIsShort) {
  CuttingServer cut(*certs_, false);
  EXPECT_EQ(Get(cut.Url()),
            "HTTP response ended short: connection broken during the document: TLS stream ended "
            "without close_notify (Error #21006)");
  EXPECT_EQ(rec_.document, "part of a document");
  EXPECT_EQ(cli_.FailureCode(), httpErrShortResponse);

  CuttingServer whole(*certs_, true);
  rec_.document.clear();
  EXPECT_EQ(Get(whole.Url()), "");
  EXPECT_EQ(rec_.document, "part of a document");
}

#ifdef HTTPGET_PATH
TEST_F(Https, HttpgetTakesACaFileOrInsecureAndShowsTheCipher) {
  test::TempDir dir;
  const auto run = [&](const std::string& options) {
    const std::string command = std::string("'") + HTTPGET_PATH + "' -t 20 " + options + " '" +
                                TlsUrl("/doc.txt") + "' >'" + dir.File("out") + "' 2>'" +
                                dir.File("err") + "' </dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(run("-v --cacert '" + certs_->Crt("ca") + "'"), 0);
  EXPECT_EQ(test::ReadFile(dir.File("out")), std::string(70000, 'd'));
  const std::string verbose = test::ReadFile(dir.File("err"));
  EXPECT_NE(verbose.find("TLS: TLSv1.3, TLS_"), std::string::npos) << verbose;

  EXPECT_EQ(run("-q"), 2);
  EXPECT_NE(test::ReadFile(dir.File("err")).find("certificate verify failed"), std::string::npos);

  EXPECT_EQ(run("-q -k"), 0);
  EXPECT_EQ(test::ReadFile(dir.File("err")),
            "httpget: warning: --insecure: the server's certificate is not checked\n");
}
#endif

}  // namespace
}  // namespace vantrel
