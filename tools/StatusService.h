// This is an internal header of the local status service.
// TStatusService: a small HTTP/1.0 server on TWSocket that answers requests for status pictures
// (StatusRequest.h) with the answer its table gives for the UIN (StatusTable.h). One connection
// per request: the answer is sent and the connection closed. Over TLS when given a certificate.
// A closed connection's socket is kept and adopts a later connection, so that a steady stream of
// short connections builds and tears down no components.
//
// Thread rule: create, use and destroy it on one thread, which must run its message loop
// (Application().ProcessMessages / WaitForMessages). It owns its sockets and its hidden window.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "NotifyWindow.h"
#include "StatusResponses.h"
#include "StatusTable.h"
#include "WSocket.h"

namespace vantrel {

struct TServiceOptions {
  std::string Address = "127.0.0.1";
  std::string Port = "0";  // "0": any free port (see BoundPort)
  // An answer for every request, whatever the table says (--mode 404 | close | slow).
  std::optional<TAnswer> ForcedAnswer;
  int SlowDelayMs = 5000;  // how long a slow answer waits
  std::string DumpDir;     // when set, each request header is written to request-N.txt there
  // Both set: every connection speaks TLS with this certificate and key (https).
  std::string CertFile;
  std::string KeyFile;
};

class TStatusService : public TWindowMessageTarget {
 public:
  TStatusService(TStatusTable Table, TServiceOptions Options);
  ~TStatusService();
  TStatusService(const TStatusService&) = delete;
  TStatusService& operator=(const TStatusService&) = delete;

  // Starts listening; raises ESocketException when the address or port cannot be used.
  void Start();
  std::string BoundPort();
  std::uint64_t RequestsAnswered() const { return answered_; }
  std::size_t OpenConnections() const { return connections_.size(); }

  // The hidden window's messages: the slow answers' timers and the reaping of closed sockets.
  void HandleWindowMessage(TMessage& Msg) override;

 private:
  class TConnection;

  void AcceptAll();
  std::unique_ptr<TConnection> NewConnection();
  void Received(TConnection& Conn);
  void Answer(TConnection& Conn, const TAnswer& Answer, bool WithBody);
  void SendAndClose(TConnection& Conn, std::string_view Bytes);
  void Dump(std::string_view Header);
  void Closed(TConnection& Conn);
  void Reap();

  TStatusTable table_;
  TServiceOptions options_;
  std::unique_ptr<TWSocket> listener_;
  TNotifyWindow window_;
  TStatusResponses responses_;
  std::unordered_map<std::uint64_t, std::unique_ptr<TConnection>> connections_;  // open ones
  std::vector<std::uint64_t> closed_;               // closed since the last reap
  std::vector<std::unique_ptr<TConnection>> idle_;  // closed and reaped, ready for reuse
  std::uint64_t nextId_ = 1;
  std::uint64_t answered_ = 0;
  std::uint64_t dumped_ = 0;
  bool reapPosted_ = false;
};

}  // namespace vantrel
