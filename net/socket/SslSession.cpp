// OpenSSL contexts and sessions on memory buffers, and the texts of their failures.
#include "SslSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>

namespace vantrel {
namespace {

// A dotted IPv4 address is checked against the certificate's IP names and sent without SNI.
bool IsIpAddress(const std::string& Text) {
  return !Text.empty() && std::all_of(Text.begin(), Text.end(), [](unsigned char C) {
    return std::isdigit(C) != 0 || C == '.';
  });
}

// The names a certificate is made out for: its DNS and IP alternative names, else its common
// name.
std::string CertificateNames(X509* Cert) {
  std::string Names;
  auto Append = [&Names](const std::string& Name) {
    if (!Names.empty()) Names += ", ";
    Names += Name;
  };
  auto* AltNames =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(Cert, NID_subject_alt_name, nullptr, nullptr));
  for (int I = 0; AltNames != nullptr && I < sk_GENERAL_NAME_num(AltNames); ++I) {
    const GENERAL_NAME* Name = sk_GENERAL_NAME_value(AltNames, I);
    if (Name->type == GEN_DNS) {
      const ASN1_STRING* Dns = Name->d.dNSName;
      Append(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(Dns)),
                         static_cast<std::size_t>(ASN1_STRING_length(Dns))));
    } else if (Name->type == GEN_IPADD && ASN1_STRING_length(Name->d.iPAddress) == 4) {
      const unsigned char* Ip = ASN1_STRING_get0_data(Name->d.iPAddress);
      Append(std::to_string(Ip[0]) + "." + std::to_string(Ip[1]) + "." + std::to_string(Ip[2]) +
             "." + std::to_string(Ip[3]));
    }
  }
  GENERAL_NAMES_free(AltNames);
  if (Names.empty()) {
    char Common[256] = {};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(Cert), NID_commonName, Common,
                                  sizeof Common) > 0) {
      Names = Common;
    }
  }
  return Names.empty() ? "no name" : Names;
}

// Keeps the names of a leaf that fails the host check, for the error text.
int VerifyCallback(int Ok, X509_STORE_CTX* Store) {
  const int Error = X509_STORE_CTX_get_error(Store);
  if (Ok == 0 &&
      (Error == X509_V_ERR_HOSTNAME_MISMATCH || Error == X509_V_ERR_IP_ADDRESS_MISMATCH)) {
    auto* Ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(Store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* Session = Ssl != nullptr ? static_cast<TSslSession*>(SSL_get_app_data(Ssl)) : nullptr;
    X509* Leaf = X509_STORE_CTX_get_current_cert(Store);
    if (Session != nullptr && Leaf != nullptr) Session->NoteHostMismatch(CertificateNames(Leaf));
  }
  return Ok;
}

// A client's new session (a TLS 1.3 ticket comes after the handshake): kept for resumption.
int NewSessionCallback(SSL* Ssl, SSL_SESSION* Session) {
  auto* Owner = static_cast<TSslSession*>(SSL_get_app_data(Ssl));
  if (Owner == nullptr) return 0;
  Owner->KeepSession(Session);
  return 1;  // the reference is ours now
}

[[noreturn]] void FailSetup(const std::string& What) {
  const std::string Reason = TakeSslErrorReason();
  throw ESslException("TLS setup failed: " + What + (Reason.empty() ? "" : ": " + Reason));
}

}  // namespace

std::string TakeSslErrorReason() {
  const unsigned long Code = ERR_get_error();
  ERR_clear_error();
  if (Code == 0) return {};
  const char* Reason = ERR_reason_error_string(Code);
  return Reason != nullptr ? Reason : "error " + std::to_string(ERR_GET_REASON(Code));
}

void TSslCtxDeleter::operator()(ssl_ctx_st* Ctx) const {
  SSL_CTX_free(Ctx);
}

void TSslDeleter::operator()(ssl_st* Ssl) const {
  SSL_free(Ssl);
}

void TSslSessionDeleter::operator()(ssl_session_st* Session) const {
  SSL_SESSION_free(Session);
}

ssl_session_st* TSslContext::SessionFor(const std::string& Key) const {
  const auto It = Sessions_.find(Key);
  return It == Sessions_.end() ? nullptr : It->second.get();
}

void TSslContext::KeepSession(const std::string& Key, ssl_session_st* Session) {
  // A bounded memory: a client that talks to many servers starts over now and then.
  if (Sessions_.size() >= 64 && Sessions_.find(Key) == Sessions_.end()) Sessions_.clear();
  Sessions_[Key].reset(Session);
}

TSslContext::TSslContext(const TSslSettings& Settings) : Settings_(Settings) {
  ERR_clear_error();
  Ctx_.reset(SSL_CTX_new(Settings.Server ? TLS_server_method() : TLS_client_method()));
  SSL_CTX* Ctx = Ctx_.get();
  if (Ctx == nullptr) FailSetup("no context");
  SSL_CTX_set_min_proto_version(Ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(Ctx, TLS1_3_VERSION);
  SSL_CTX_set_options(Ctx, SSL_OP_NO_RENEGOTIATION);
  // No resumption: a server sends no tickets, which a client that closes without reading them
  // would answer with a reset.
  if (Settings.Server) SSL_CTX_set_num_tickets(Ctx, 0);

  if (!Settings.Server) {
    SSL_CTX_set_session_cache_mode(Ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(Ctx, NewSessionCallback);
  }
  if (Settings.Server && Settings.CertFile.empty()) {
    throw ESslException("TLS setup failed: a server needs SslCertFile and SslKeyFile");
  }
  if (!Settings.CertFile.empty()) {
    const std::string& Key = Settings.KeyFile.empty() ? Settings.CertFile : Settings.KeyFile;
    if (SSL_CTX_use_certificate_chain_file(Ctx, Settings.CertFile.c_str()) != 1) {
      FailSetup("cannot use certificate " + Settings.CertFile);
    }
    if (SSL_CTX_use_PrivateKey_file(Ctx, Key.c_str(), SSL_FILETYPE_PEM) != 1) {
      FailSetup("cannot use key " + Key);
    }
    if (SSL_CTX_check_private_key(Ctx) != 1) FailSetup("key does not match certificate");
  }

  const bool Verify = Settings.VerifyPeer && (!Settings.Server || !Settings.CAFile.empty());
  if (Verify && !Settings.CAFile.empty()) {
    if (SSL_CTX_load_verify_locations(Ctx, Settings.CAFile.c_str(), nullptr) != 1) {
      FailSetup("cannot load CA file " + Settings.CAFile);
    }
  } else if (Verify && SSL_CTX_set_default_verify_paths(Ctx) != 1) {
    FailSetup("cannot load the system's trust store");
  }
  int Mode = SSL_VERIFY_NONE;
  if (Verify)
    Mode = Settings.Server ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_PEER;
  SSL_CTX_set_verify(Ctx, Mode, VerifyCallback);
  if (Settings.Server && Verify) {
    STACK_OF(X509_NAME)* Names = SSL_load_client_CA_file(Settings.CAFile.c_str());
    if (Names != nullptr) SSL_CTX_set_client_CA_list(Ctx, Names);
    static const unsigned char IdContext[] = "vantrel";
    SSL_CTX_set_session_id_context(Ctx, IdContext, sizeof IdContext - 1);
  }
}

TSslSession::TSslSession(TSslContext& Context, const std::string& ServerName,
                         const std::string& SessionKey)
    : Context_(Context), SessionKey_(SessionKey) {
  ERR_clear_error();
  Ssl_.reset(SSL_new(Context.Handle()));
  if (!Ssl_) FailSetup("no session");
  SSL* Ssl = Ssl_.get();
  In_ = BIO_new(BIO_s_mem());
  Out_ = BIO_new(BIO_s_mem());
  if (In_ == nullptr || Out_ == nullptr) {
    BIO_free(In_);
    BIO_free(Out_);
    FailSetup("no buffers");
  }
  SSL_set_bio(Ssl, In_, Out_);
  SSL_set_app_data(Ssl, this);
  if (Context.Settings().Server) {
    SSL_set_accept_state(Ssl);
    return;
  }
  SSL_set_connect_state(Ssl);
  if (SSL_SESSION* Earlier = Context.SessionFor(SessionKey); Earlier != nullptr) {
    SSL_set_session(Ssl, Earlier);
  }
  if (ServerName.empty()) return;
  ExpectedHost_ = ServerName;
  const bool Ip = IsIpAddress(ServerName);
  // The library's macro for this casts in the C way; the call it stands for is spelled out.
  if (!Ip) {
    SSL_ctrl(Ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>(ServerName.c_str()));
  }
  if (!Context.Settings().VerifyPeer) return;
  const int Set = Ip ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(Ssl), ServerName.c_str())
                     : SSL_set1_host(Ssl, ServerName.c_str());
  if (Set != 1) FailSetup("cannot check the name " + ServerName);
}

TSslSession::~TSslSession() = default;

void TSslSession::Feed(const char* Data, std::size_t Len) {
  if (Len > 0) BIO_write(In_, Data, static_cast<int>(Len));
}

std::size_t TSslSession::TakeOutput(char* Buffer, std::size_t Len) {
  const int Got = BIO_read(Out_, Buffer, static_cast<int>(Len));
  return Got > 0 ? static_cast<std::size_t>(Got) : 0;
}

std::size_t TSslSession::OutputPending() const {
  return BIO_ctrl_pending(Out_);
}

TSslSession::TStep TSslSession::Handshake() {
  ERR_clear_error();
  const int Result = SSL_do_handshake(Ssl_.get());
  if (Result == 1) return ssDone;
  const int Error = SSL_get_error(Ssl_.get(), Result);
  if (Error == SSL_ERROR_WANT_READ || Error == SSL_ERROR_WANT_WRITE) return ssWant;
  RecordFailure(Result, "TLS handshake failed", SslErrorHandshake);
  return ssFailed;
}

std::int32_t TSslSession::Read(char* Buffer, std::int32_t Len) {
  ERR_clear_error();
  const int Result = SSL_read(Ssl_.get(), Buffer, Len);
  if (Result > 0) return Result;
  switch (SSL_get_error(Ssl_.get(), Result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return 0;
    case SSL_ERROR_ZERO_RETURN:
      return -1;
    default:
      RecordFailure(Result, "TLS: bad record", SslErrorProtocol);
      return -2;
  }
}

bool TSslSession::Write(const char* Data, std::int32_t Len) {
  ERR_clear_error();
  while (Len > 0) {
    // The output is a growing memory buffer, so a write never waits for the network.
    const int Result = SSL_write(Ssl_.get(), Data, Len);
    if (Result <= 0) {
      RecordFailure(Result, "TLS: cannot send", SslErrorProtocol);
      return false;
    }
    Data += Result;
    Len -= Result;
  }
  return true;
}

void TSslSession::Shutdown() {
  ERR_clear_error();
  SSL_shutdown(Ssl_.get());
  ERR_clear_error();
}

std::string TSslSession::Version() const {
  return SSL_get_version(Ssl_.get());
}

bool TSslSession::Resumed() const {
  return SSL_session_reused(Ssl_.get()) == 1;
}

std::string TSslSession::Cipher() const {
  const char* Name = SSL_get_cipher_name(Ssl_.get());
  return Name != nullptr ? Name : "";
}

void TSslSession::RecordFailure(int Result, const char* Prefix, std::uint16_t Code) {
  const int Error = SSL_get_error(Ssl_.get(), Result);
  std::string Reason = TakeSslErrorReason();
  if (Reason.empty()) {
    Reason = Error == SSL_ERROR_SYSCALL || Error == SSL_ERROR_ZERO_RETURN
                 ? "unexpected end of stream"
                 : "internal error";
  }
  const long Verify = SSL_get_verify_result(Ssl_.get());
  if (Verify == X509_V_ERR_HOSTNAME_MISMATCH || Verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
    ErrorCode_ = SslErrorHostName;
    ErrorText_ = "TLS: host name mismatch: expected " + ExpectedHost_ + ", certificate is for " +
                 (CertificateNames_.empty() ? "another name" : CertificateNames_);
  } else if (Verify != X509_V_OK) {
    ErrorCode_ = SslErrorVerify;
    ErrorText_ = std::string(Prefix) + ": " + Reason + ": " + X509_verify_cert_error_string(Verify);
  } else {
    ErrorCode_ = Code;
    ErrorText_ = std::string(Prefix) + ": " + Reason;
  }
}

}  // namespace vantrel
