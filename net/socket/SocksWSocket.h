// This is an internal header file of the socket component, included by WSocket.h: include
// WSocket.h, not this file. Its properties and events are published by TWSocket.
//
// TCustomSocksWSocket: the layer that opens a TCP connection through a SOCKS 4, 4A or 5 server
// (version 5 optionally with user name and password). With SocksServer empty it hands every
// operation straight to the socket core. With it set, Connect reaches the SOCKS server instead of
// Addr:Port, the layer runs the dialogue on that connection without the application seeing its
// bytes, and OnSessionConnected fires once the server has opened the way to the destination (0)
// or when anything failed (the error code). Bytes behind the server's last reply are read first.
//
// Thread rule: as for the core (CustomWSocket.h), every member is called on the thread that
// created the component, and the negotiation runs inside the component's own notifications.
// Ownership: the component owns its negotiation buffer; texts are copied in and out.
//
// A failed negotiation gives OnSocksError, OnSessionConnected and OnSessionClosed one of the
// codes of socks::TFailure (SocksProtocol.h), or the notification's own code with the text
// "data receive error".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CustomWSocket.h"
#include "LazyPart.h"
#include "SocksProtocol.h"

namespace vantrel {

enum TSocksAuthentication : std::uint8_t { socksNoAuthentication, socksAuthenticateUsercode };

enum TSocksAuthState : std::uint8_t {
  socksAuthBegun,    // the user name and password have been sent
  socksAuthGranted,  // the server accepted them
  socksAuthDenied,   // the server refused them, or the connection failed meanwhile
  socksAuthWaived    // they were offered and the server chose no authentication
};

// Where the SOCKS dialogue stands.
enum TSocksNegotiationPhase : std::uint8_t {
  npNone,            // no dialogue running (also after success)
  npGreeting,        // connecting to the server, then waiting for the method reply
  npAuthenticating,  // user name and password sent, waiting for the answer
  npConnectRequest   // connect request sent, waiting for the final reply
};

using TSocksErrorEvent =
    std::function<void(TObject* Sender, std::int32_t Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

class TCustomSocksWSocket : public TCustomWSocket {
 public:
  // Creates the component with the SOCKS settings cleared (level "5"); touches no socket.
  explicit TCustomSocksWSocket(TComponent* Owner);

  // Events, fired only through their Fire... triggers, which do nothing when unset.
  // The TCP connection to the SOCKS server is up (Error 0) or failed.
  TSessionConnected OnSocksConnected;
  // The negotiation failed; OnSessionConnected and OnSessionClosed follow with the same Error.
  TSocksErrorEvent OnSocksError;
  // Progress of the version 5 user name and password authentication.
  TSocksAuthStateEvent OnSocksAuthState;

  // Connects through the SOCKS server when SocksServer is set (Proto must be "tcp"); otherwise
  // as the core. The SOCKS settings last for one connection: every close clears SocksServer and
  // SocksPort and sets SocksLevel back to "5".
  void Connect() override;
  // Refused ("listening is not supported thru socks server") when SocksServer is set.
  void Listen() override;

  // The text of the last negotiation failure (the one given to OnSocksError), kept until the next
  // Connect; empty when none. Lets an owner word a SOCKS code that SocketErrorText does not know.
  const std::string& SocksErrorMessage() const { return SocksData().ErrorMessage; }
  // Where the dialogue stands; still readable from OnSessionClosed, before the close resets it.
  TSocksNegotiationPhase NegotiationPhase() const { return NegotiationPhase_; }

 protected:
  // Properties, published by TWSocket. The setters of the level, the server and the port are
  // refused (through RaiseSocketException) unless State is wsClosed.
  // "4", "4A" or "5"; "4a" is stored as "4A", anything else is refused.
  const std::string& SocksLevel() const { return SocksData().Level; }
  void SetSocksLevel(const std::string& Value);
  // Host of the SOCKS server, stored trimmed; empty switches the layer off.
  const std::string& SocksServer() const { return SocksData().Server; }
  // Port (number or service name) of the SOCKS server, stored trimmed.
  const std::string& SocksPort() const { return SocksData().Port; }
  // User id (versions 4 and 4A) or user name (version 5); kept across closes.
  const std::string& SocksUsercode() const { return SocksData().Usercode; }
  void SetSocksUsercode(const std::string& Value) { Socks().Usercode = Value; }
  // Password (version 5 only); kept across closes.
  const std::string& SocksPassword() const { return SocksData().Password; }
  void SetSocksPassword(const std::string& Value) { Socks().Password = Value; }
  // Whether version 5 offers user name and password; kept across closes.
  TSocksAuthentication SocksAuthentication() const { return SocksAuthentication_; }
  void SetSocksAuthentication(TSocksAuthentication Value) { SocksAuthentication_ = Value; }
  // Address and port named in the server's final version 5 reply (dotted IPv4 or a host name;
  // the port in decimal).
  const std::string& SocksReplyAddr() const { return SocksData().ReplyAddr; }
  const std::string& SocksReplyPort() const { return SocksData().ReplyPort; }

  // Virtual operations of this layer, in slot order.
  virtual void FireSocksConnected(std::uint16_t Error);
  virtual void SetSocksPort(const std::string& Value);
  virtual void SetSocksServer(const std::string& Value);
  virtual void FireSocksError(std::int32_t Error, const std::string& Msg);

  // Overrides of the core's virtual operations.
  void ResetToDefaults() override;
  // The bytes left behind the final reply while there are any, else the core's count.
  std::int32_t RcvdCount() override;
  // Runs the negotiation on received bytes; the core's trigger once it is over.
  bool FireDataAvailable(std::uint16_t Error) override;
  // Starts the negotiation when the connection to the SOCKS server is up.
  void FireSessionConnected(std::uint16_t Error) override;
  // Reports socksAuthDenied first when the connection ends during authentication.
  void FireSessionClosed(std::uint16_t Error) override;
  // Serves the bytes left behind the final reply before the socket's own (Flags ignored then).
  std::int32_t RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags) override;

  void FireSocksAuthState(TSocksAuthState AuthState);
  void SendUsercodeAuth();
  void SendConnectRequest();
  // Reports the failure (OnSocksError, then OnSessionConnected) and closes with Error.
  void FailNegotiation(std::uint16_t Error, const std::string& Msg);
  // The dialogue is over and the way to the destination is open: by default the application
  // sees the connection, then the data behind it. A layer above that speaks first on the
  // connection takes over here. Returns whether the data was taken care of.
  virtual bool SessionEstablished();

 private:
  // Takes what is waiting into the negotiation buffer, at most up to Limit bytes held in all;
  // false when nothing could be read.
  bool ReadNegotiationBytes(std::int32_t Limit);
  // Hands a finished message to the send queue; a failing send is dropped, the negotiation then
  // waits for a reply that will not come, until the connection closes.
  void SendNegotiationMessage(const std::vector<std::uint8_t>& Message);
  // FailNegotiation with the code and text the parser found.
  void FailWith(const socks::TReply& Reply);
  void HandleMethodReply();
  void HandleAuthReply();
  // These two return what the data-available step returns: true, or once the dialogue is over
  // whether the application's handler was there to take the data.
  bool HandleSocks4Reply();
  bool HandleSocks5Reply();
  // The dialogue is over: the application sees the connection, then the data behind it.
  bool NegotiationSucceeded();

  // The texts and the dialogue's buffer, which most sockets never use: allocated by the first
  // write, read through SocksData() (the defaults while none).
  struct TSocksData {
    std::string Server;
    std::string Level = "5";
    std::string Port;
    std::string Usercode;
    std::string Password;
    std::string ReplyAddr;
    std::string ReplyPort;
    std::string ErrorMessage;
    std::uint8_t Buffer[socks::MessageBufferSize] = {};
  };
  const TSocksData& SocksData() const { return Socks_.Get(); }
  TSocksData& Socks() { return Socks_.Edit(); }

  TLazyPart<TSocksData> Socks_;
  TSocksNegotiationPhase NegotiationPhase_ = npNone;
  bool SocksPortSet_ = false;
  bool SocksServerSet_ = false;
  TSocksAuthentication SocksAuthentication_ = socksNoAuthentication;
  std::uint8_t OfferedMethod_ = 0;
  std::int32_t NegotiationCount_ = 0;
  std::int32_t LeftoverCount_ = 0;
  // Offset in the dialogue's buffer of the next byte left behind the final reply.
  std::int32_t LeftoverPos_ = 0;
};

}  // namespace vantrel
