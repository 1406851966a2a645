// This is an internal header of the local status service.
// TStatusService: a small HTTP/1.0 server on TWSocket that answers requests for status pictures
// (StatusRequest.h) with the answer its table gives for the UIN (StatusTable.h). The answer is
// sent and the connection closed, unless the request asked "Connection: keep-alive": then the
// connection stays open for the next request (one at a time, in order) until the client closes
// it or stays silent for a sweep period. Over TLS when given a certificate.
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
  // A connection kept open for keep-alive and silent through a whole period of the idle sweep
  // is closed at the next one: between one and two periods after its last request.
  int IdleSweepMs = 15000;
  std::string DumpDir;  // when set, each request header is written to request-N.txt there
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

  // The hidden window's messages: the slow answers' timers, the idle sweep and the reaping of
  // closed sockets.
  void HandleWindowMessage(TMessage& Msg) override;

 private:
  class TConnection;

  void AcceptAll();
  std::unique_ptr<TConnection> NewConnection();
  void Received(TConnection& Conn);
  // Answers the complete requests held for Conn while it stays open and no slow answer waits.
  void ServeWaiting(TConnection& Conn);
  void Serve(TConnection& Conn, std::string_view Header);
  void Answer(TConnection& Conn, const TAnswer& Answer, bool WithBody, bool KeepAlive);
  void SendAnswer(TConnection& Conn, const TResponseBytes& Response, bool WithBody, bool KeepAlive);
  void SweepIdle();
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
  std::uint64_t nextId_ = 2;                        // 1 is the idle sweep's timer
  bool sweepRunning_ = false;
  std::uint64_t answered_ = 0;
  std::uint64_t dumped_ = 0;
  bool reapPosted_ = false;
};

}  // namespace vantrel
