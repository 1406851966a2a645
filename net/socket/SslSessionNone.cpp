// The TLS layer in a build without TLS (VANTREL_TLS off): no context can be built, so a socket with
// SslEnable, an https URL and a server given a certificate all fail at their start with code
// 21001 and this text, and never send a byte in the clear.
#include "SslSession.h"

namespace vantrel {
namespace {

constexpr char NoTlsText[] = "TLS is not available: this build has no TLS library";

}  // namespace

std::string TakeSslErrorReason() {
  return {};
}

// Nothing of OpenSSL is ever created, so there is nothing to free.
void TSslCtxDeleter::operator()(ssl_ctx_st*) const {}
void TSslDeleter::operator()(ssl_st*) const {}
void TSslSessionDeleter::operator()(ssl_session_st*) const {}

TSslContext::TSslContext(const TSslSettings& Settings) : Settings_(Settings) {
  throw ESslException(NoTlsText);
}

ssl_session_st* TSslContext::SessionFor(const std::string&) const {
  return nullptr;
}

void TSslContext::KeepSession(const std::string&, ssl_session_st*) {}

// Sessions need a context, which cannot exist; the members answer as a failed session would.
TSslSession::TSslSession(TSslContext& Context, const std::string&, const std::string&)
    : Context_(Context), ErrorCode_(SslErrorSetup), ErrorText_(NoTlsText) {
  throw ESslException(NoTlsText);
}

TSslSession::~TSslSession() = default;

void TSslSession::Feed(const char*, std::size_t) {}

std::size_t TSslSession::TakeOutput(char*, std::size_t) {
  return 0;
}

std::size_t TSslSession::OutputPending() const {
  return 0;
}

TSslSession::TStep TSslSession::Handshake() {
  return ssFailed;
}

std::int32_t TSslSession::Read(char*, std::int32_t) {
  return -2;
}

bool TSslSession::Write(const char*, std::int32_t) {
  return false;
}

void TSslSession::Shutdown() {}

std::string TSslSession::Version() const {
  return {};
}

std::string TSslSession::Cipher() const {
  return {};
}

bool TSslSession::Resumed() const {
  return false;
}

void TSslSession::RecordFailure(int, const char*, std::uint16_t Code) {
  ErrorCode_ = Code;
  ErrorText_ = NoTlsText;
}

}  // namespace vantrel
