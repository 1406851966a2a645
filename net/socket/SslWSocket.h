// This is an internal header file of the socket component, included by WSocket.h: include
// WSocket.h, not this file. Its properties and events are published by TWSocket.
//
// TCustomSslWSocket: TLS 1.2 and 1.3 over the connection, between the SOCKS layer and line mode.
// With SslEnable off (the default) it hands every operation straight to the layer below. With it
// on, once the TCP connection (through the SOCKS server, when one is set) is up, the layer runs
// the handshake without the application seeing its bytes; OnSessionConnected then fires with 0,
// or with one of the codes below when the handshake or the verification failed. From then on
// OnDataAvailable, ReadData and RcvdCount deal in plaintext, Send takes plaintext, and a graceful
// close sends close_notify first.
//
//   Socket.SetSslEnable(true);          // client: verifies against the system's trust store
//   Socket.SetSslCAFile("ca.crt");      // or trusts this CA instead
//   Socket.SetAddr("a.test");           // also the name sent as SNI and checked
//
// Server side: a socket with SslEnable, SslCertFile and SslKeyFile that takes an accepted
// handle with Dup runs the server's handshake; OnSslHandshakeDone reports its outcome.
//
// OpenSSL works on memory buffers only: the layer feeds it what the socket receives and sends
// what it produces through the send queue, so nothing blocks and the descriptor stays the
// core's. The TLS settings are kept across closes; the session of a connection ends with it.
//
// Error codes (SocketErrorText names them; SslErrorText holds the text with OpenSSL's reason):
//   21001 the settings cannot be used (a file missing or unreadable): raised at Connect or Dup
//   21002 the handshake failed          "TLS handshake failed: <reason>"
//   21003 the certificate is not trusted "TLS handshake failed: certificate verify failed: <why>"
//   21004 the certificate is for another name
//         "TLS: host name mismatch: expected <name>, certificate is for <names>"
//   21005 the peer closed during the handshake
//   21006 OnSessionClosed: the peer ended the stream without close_notify, so what came may
//         have been cut short
//   21007 a bad record after the handshake; the connection is aborted
//
// Thread rule: as for the core (CustomWSocket.h). Ownership: the component owns its OpenSSL
// context and session; texts are copied in and out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SocksWSocket.h"
#include "SslSession.h"

namespace vantrel {

// Posted by the layer to its own window: wParam carries the session count it belongs to.
constexpr UINT MsgSslFailure = WM_USER + 30;

class TCustomSslWSocket : public TCustomSocksWSocket {
 public:
  explicit TCustomSslWSocket(TComponent* Owner);
  ~TCustomSslWSocket() override;

  // The handshake is over: Error 0, or the code of its failure (SslErrorText says more).
  TSessionConnected OnSslHandshakeDone;

  // With SslEnable on, prepares the client's TLS settings (raising 21001's text at once when
  // they cannot be used), then connects.
  void Connect() override;
  // With SslEnable on, takes the accepted handle and runs the server's handshake on it.
  void Dup(SOCKET NewHandle) override;
  // Sends close_notify before the graceful close.
  void CloseSession() override;
  void AbortSession() override;
  // Runs the client's handshake on the open plain connection (after a plain exchange, such as a
  // proxy's CONNECT), whatever SslEnable says; reported as for Connect: OnSslHandshakeDone, then
  // OnSessionConnected. Refused unless connected without TLS.
  void StartTls();
  // Plaintext: queued during the handshake, encrypted afterwards.
  std::int32_t Send(const void* Data, std::int32_t Len) override;

 protected:
  // Properties, published by TWSocket; the setters are refused unless State is wsClosed.
  bool SslEnable() const { return SslEnable_; }
  void SetSslEnable(bool Value);
  // Name for SNI and the host check; empty: Addr when it is a name (or the address it is).
  const std::string& SslServerName() const { return SslData().ServerName; }
  void SetSslServerName(const std::string& Value);
  // Check the peer's certificate (client: on by default; server: asks for a client certificate
  // when SslCAFile is set).
  bool SslVerifyPeer() const { return SslData().Settings.VerifyPeer; }
  void SetSslVerifyPeer(bool Value);
  // PEM file of the CA(s) to trust instead of the system's trust store.
  const std::string& SslCAFile() const { return SslData().Settings.CAFile; }
  void SetSslCAFile(const std::string& Value);
  // Own certificate (chain, PEM) and private key: required for a server, optional for a client.
  const std::string& SslCertFile() const { return SslData().Settings.CertFile; }
  void SetSslCertFile(const std::string& Value);
  const std::string& SslKeyFile() const { return SslData().Settings.KeyFile; }
  void SetSslKeyFile(const std::string& Value);
  // Negotiated protocol ("TLSv1.3") and cipher, once the handshake is done; empty otherwise.
  const std::string& SslVersion() const { return SslData().Version; }
  const std::string& SslCipher() const { return SslData().Cipher; }
  // The last handshake resumed the session of an earlier connection to the same server (name
  // and port): a client offers the session it got last time, so only the first connection to a
  // server pays for the certificate checks.
  bool SslSessionReused() const { return SslResumed_; }
  // The detailed text of the last TLS failure of this component.
  const std::string& SslErrorText() const { return SslData().ErrorText; }
  // The peer's close_notify has been read on the current connection.
  bool SslCloseNotified() const { return PeerCloseNotify_; }

  // A SOCKS dialogue or a TLS handshake is running: received bytes are not the application's.
  bool Negotiating() const;

  virtual void FireSslHandshakeDone(std::uint16_t Error);
  // The application's OnDataAvailable for bytes a layer above holds (a line): past the receive
  // path of this layer and the SOCKS layer. Returns whether a handler was set.
  bool FireApplicationDataAvailable() { return TCustomWSocket::FireDataAvailable(0); }

  // Overrides of the layers below.
  void HandleWindowMessage(TMessage& Msg) override;
  void ResetToDefaults() override;
  void Disconnect(bool Shut, std::uint16_t Error) override;
  std::int32_t RcvdCount() override;
  std::int32_t RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags) override;
  bool FireDataAvailable(std::uint16_t Error) override;
  void FireSessionConnected(std::uint16_t Error) override;
  void FireSessionClosed(std::uint16_t Error) override;
  void FireDataSent(std::uint16_t Error) override;
  bool SessionEstablished() override;

 private:
  enum TSslPhase : std::uint8_t { spOff, spHandshake, spEstablished, spFailed };

  bool SslRunning() const { return Phase_ != spOff; }
  // Refuses a change of the TLS settings unless closed; true when refused.
  bool SettingsLocked();
  // Builds the context when the settings changed; false with SslErrorText set when they cannot
  // be used.
  bool PrepareContext(bool Server);
  void StartSession(bool Server);
  // One receive of ciphertext into the session: its count, 0 at the end of the stream, -1 when
  // nothing came.
  std::int32_t ReadCipher();
  // Steps the handshake; false when it failed (reported, socket closed) or a handler closed.
  bool StepHandshake();
  // Decrypts into the plaintext buffer, up to its limit unless Unbounded; a bad record is
  // reported from the message loop, since this may run inside a read of the application.
  void Decrypt(bool Unbounded);
  void DecryptRecords(bool Unbounded);
  // Decrypts what the session holds, taking ciphertext from the socket until some plaintext,
  // the end or nothing more comes; false when the socket had nothing.
  bool Fill();
  // Hands what the session produced to the send queue; Announce posts the write notice as Send
  // does when the queue is drained at once.
  void FlushOutput(bool Announce);
  // Queues close_notify and hands it to the system, once per connection; never raises.
  void SendCloseNotify();
  // Calls the application's handler while plaintext waits and it keeps reading.
  bool DeliverPlaintext();
  // Reports a failed handshake (OnSslHandshakeDone, then OnSessionConnected for a client) and
  // closes with Error.
  void FailHandshake(std::uint16_t Error, const std::string& Text);
  std::size_t PlainCount() const { return PlainTail_ - PlainHead_; }

  // The settings and texts, which most sockets never use: allocated by the first write, read
  // through SslData() (the defaults while none).
  struct TSslData {
    std::string ServerName;
    TSslSettings Settings;
    std::string Pending;  // plaintext sent during the handshake
    std::string Version;
    std::string Cipher;
    std::string ErrorText;
  };
  const TSslData& SslData() const { return SslData_.Get(); }
  TSslData& Ssl() { return SslData_.Edit(); }

  TLazyPart<TSslData> SslData_;
  bool SslEnable_ = false;
  std::shared_ptr<TSslContext> Context_;  // shared with the thread's sockets of equal settings
  std::unique_ptr<TSslSession> Session_;
  TSslPhase Phase_ = spOff;
  bool Server_ = false;
  bool PeerCloseNotify_ = false;
  bool PeerEnded_ = false;  // the TCP stream ended
  bool Failed_ = false;     // a bad record: the stream cannot be read further
  bool Closing_ = false;
  bool HandshakeCut_ = false;  // the connection ended under the client's handshake
  bool Delivering_ = false;
  bool RedeliveryPosted_ = false;
  // Counts the sessions, so that work noticed for one never reaches the next.
  std::uint32_t Generation_ = 0;
  std::vector<char> Plain_;  // decrypted bytes not read yet: PlainHead_ to PlainTail_
  std::size_t PlainHead_ = 0;
  std::size_t PlainTail_ = 0;
  bool SslResumed_ = false;
};

}  // namespace vantrel
