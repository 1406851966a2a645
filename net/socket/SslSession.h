// This is an internal header file of the socket component: the TLS layer (SslWSocket.h) uses it.
//
// TSslContext and TSslSession: OpenSSL driven entirely through memory buffers. The session never
// sees a descriptor: the caller feeds it the bytes that came from the network (Feed), takes the
// bytes to send (TakeOutput), and steps the handshake, the reads and the writes. A step that
// needs more bytes from the peer simply returns; nothing ever blocks. Any thread, one thread per
// object at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "Exceptions.h"

struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;
struct bio_st;

namespace vantrel {

// Error codes of the TLS layer, given to OnSessionConnected, OnSslHandshakeDone and
// OnSessionClosed; SocketErrorText names each, SslErrorText gives the detailed text.
constexpr std::uint16_t SslErrorSetup = 21001;      // context, certificate or key not usable
constexpr std::uint16_t SslErrorHandshake = 21002;  // the handshake failed (alert, bad record)
constexpr std::uint16_t SslErrorVerify = 21003;     // the peer's certificate was not trusted
constexpr std::uint16_t SslErrorHostName = 21004;   // the certificate is for another name
constexpr std::uint16_t SslErrorClosed = 21005;     // the peer closed during the handshake
constexpr std::uint16_t SslErrorTruncated = 21006;  // the stream ended without close_notify
constexpr std::uint16_t SslErrorProtocol = 21007;   // a bad record after the handshake

// Raised when a context cannot be built; Code is SslErrorSetup.
class ESslException : public Exception {
 public:
  using Exception::Exception;
};

// What a context is built from; two equal settings give equivalent contexts.
struct TSslSettings {
  bool Server = false;
  // Client: check the server's certificate (against CAFile, else the system's trust store).
  // Server: ask for a client certificate and require one that CAFile trusts (CAFile set only).
  bool VerifyPeer = true;
  std::string CAFile;
  std::string CertFile;  // chain in PEM, leaf first; required for a server
  std::string KeyFile;   // PEM private key; CertFile's file when empty
  bool operator==(const TSslSettings&) const = default;
};

struct TSslCtxDeleter {
  void operator()(ssl_ctx_st* Ctx) const;
};
struct TSslDeleter {
  void operator()(ssl_st* Ssl) const;
};
struct TSslSessionDeleter {
  void operator()(ssl_session_st* Session) const;
};

// An OpenSSL context for TLS 1.2 and 1.3, shared by the sessions of the sockets of one thread
// that use equal settings.
class TSslContext {
 public:
  // Raises ESslException with OpenSSL's reason when a file cannot be used.
  explicit TSslContext(const TSslSettings& Settings);
  const TSslSettings& Settings() const { return Settings_; }
  ssl_ctx_st* Handle() const { return Ctx_.get(); }

  // Client: the last session each server (name and port) gave, offered again on the next
  // connection to it so that the handshake can be shortened. Owned here; the context's settings
  // (trust, verification) are those it was verified under.
  ssl_session_st* SessionFor(const std::string& Key) const;
  void KeepSession(const std::string& Key, ssl_session_st* Session);

 private:
  TSslSettings Settings_;
  std::unique_ptr<ssl_ctx_st, TSslCtxDeleter> Ctx_;
  std::map<std::string, std::unique_ptr<ssl_session_st, TSslSessionDeleter>> Sessions_;
};

class TSslSession {
 public:
  enum TStep : std::uint8_t {
    ssWant,    // more bytes from the peer are needed
    ssDone,    // the handshake is complete
    ssFailed,  // see ErrorCode and ErrorText
  };

  // ServerName (client only): sent as SNI when it is a name, and checked against the
  // certificate (a dotted address is checked as an IP address) when the context verifies.
  // SessionKey (client only) names the server for resumption; empty: none.
  TSslSession(TSslContext& Context, const std::string& ServerName,
              const std::string& SessionKey = {});
  ~TSslSession();
  TSslSession(const TSslSession&) = delete;
  TSslSession& operator=(const TSslSession&) = delete;

  // Hands bytes received from the peer to the session.
  void Feed(const char* Data, std::size_t Len);
  // Bytes the session wants sent, at most Len at a time; 0 when there are none.
  std::size_t TakeOutput(char* Buffer, std::size_t Len);
  std::size_t OutputPending() const;

  TStep Handshake();
  // Decrypts into Buffer: the count, 0 when more bytes are needed, -1 once the peer's
  // close_notify has been read, -2 on a protocol error (ErrorCode, ErrorText).
  std::int32_t Read(char* Buffer, std::int32_t Len);
  // Encrypts all of Data into the output; false on failure (ErrorCode, ErrorText).
  bool Write(const char* Data, std::int32_t Len);
  // Queues close_notify.
  void Shutdown();

  std::string Version() const;
  std::string Cipher() const;
  // The handshake resumed an earlier session.
  bool Resumed() const;
  std::uint16_t ErrorCode() const { return ErrorCode_; }
  const std::string& ErrorText() const { return ErrorText_; }

  // The verification found the leaf certificate made out for Names, not the expected host.
  void NoteHostMismatch(std::string Names) { CertificateNames_ = std::move(Names); }
  // A session ticket came: the context keeps it for the next connection to this server.
  void KeepSession(ssl_session_st* Session) { Context_.KeepSession(SessionKey_, Session); }

 private:
  // Fills ErrorCode_ and ErrorText_ after a failed call; Prefix says what failed.
  void RecordFailure(int Result, const char* Prefix, std::uint16_t Code);

  TSslContext& Context_;
  std::string SessionKey_;
  std::unique_ptr<ssl_st, TSslDeleter> Ssl_;
  bio_st* In_ = nullptr;   // owned by Ssl_
  bio_st* Out_ = nullptr;  // owned by Ssl_
  std::string ExpectedHost_;
  std::string CertificateNames_;  // of a leaf that failed the host check
  std::uint16_t ErrorCode_ = 0;
  std::string ErrorText_;
};

// OpenSSL's reason for the oldest queued error ("" when none); clears the queue.
std::string TakeSslErrorReason();

}  // namespace vantrel
