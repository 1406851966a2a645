#include "StatusService.h"

#include <exception>
#include <fstream>

#include "SslSession.h"
#include "StatusRequest.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

constexpr char kWindowClass[] = "VantrelStatusService";
constexpr UINT kReapMessage = WM_USER + 1;
// A request header larger than this is refused: a status request is a few hundred bytes.
constexpr std::size_t kMaxHeader = 16384;
// A burst of a thousand connections must not be dropped at the door.
constexpr int kAcceptBacklog = 1024;
// Closed sockets kept for reuse: enough for such a burst, beyond that they are destroyed.
constexpr std::size_t kMaxIdle = 1024;
constexpr UINT_PTR kIdleSweepTimer = 1;

}  // namespace

class TStatusService::TConnection {
 public:
  explicit TConnection(std::uint64_t Id) : Id(Id) {}
  // Fixed for the object's life, across the connections it serves: the timer id and map key.
  const std::uint64_t Id;
  TWSocket Socket{nullptr};
  std::string
      Request;  // bytes not answered yet; keeps its capacity from one connection to the next
  bool Closing = false;   // an answer that ends the connection was given: the rest is dropped
  bool TimerSet = false;  // a slow answer is waiting for its timer
  bool KeptOpen = false;  // answered with keep-alive: the idle sweep may close it
  bool Active = false;    // bytes came since the last idle sweep
  TAnswer Delayed;        // what a slow answer sends when its timer fires
  bool DelayedWithBody = true;
  bool DelayedKeepAlive = false;

  // Forgets the connection it served; the socket reset itself when that one closed.
  void Reuse() {
    Request.clear();
    Closing = TimerSet = KeptOpen = Active = false;
  }
};

TStatusService::TStatusService(TStatusTable Table, TServiceOptions Options)
    : table_(std::move(Table)), options_(std::move(Options)), window_(kWindowClass, this) {
  listener_ = std::make_unique<TWSocket>(nullptr);
  listener_->SetListenBacklog(kAcceptBacklog);
  listener_->OnSessionAvailable = [this](TObject*, std::uint16_t Error) {
    if (Error == 0) AcceptAll();
  };
  // Accept reports "would block" once the queue is empty; that is the loop's end, not an error.
  listener_->OnError = [](TObject*) {};
}

TStatusService::~TStatusService() {
  if (sweepRunning_) KillTimer(window_.Handle(), kIdleSweepTimer);
  for (auto& [Id, Conn] : connections_) {
    if (Conn->TimerSet) KillTimer(window_.Handle(), Id);
    // A socket destroyed on its own reports its close: nothing is to be reaped any more.
    Conn->Socket.OnSessionClosed = nullptr;
  }
  connections_.clear();
  idle_.clear();
  listener_.reset();
}

void TStatusService::Start() {
  if (!options_.CertFile.empty()) {
    // A certificate or key that cannot be used (or a build without TLS) is refused here, rather
    // than by closing every connection that comes.
    TSslSettings Settings;
    Settings.Server = true;
    Settings.CertFile = options_.CertFile;
    Settings.KeyFile = options_.KeyFile;
    TSslContext Check(Settings);
  }
  listener_->SetAddr(options_.Address);
  listener_->SetPort(options_.Port);
  listener_->SetProto("tcp");
  listener_->Listen();
}

std::string TStatusService::BoundPort() {
  return listener_->GetBoundPort();
}

std::unique_ptr<TStatusService::TConnection> TStatusService::NewConnection() {
  auto Owned = std::make_unique<TConnection>(nextId_++);
  TConnection& Conn = *Owned;
  Conn.Socket.OnDataAvailable = [this, &Conn](TObject*, std::uint16_t) { Received(Conn); };
  Conn.Socket.OnSessionClosed = [this, &Conn](TObject*, std::uint16_t) { Closed(Conn); };
  Conn.Socket.OnError = [](TObject*) {};
  // The TLS settings survive closes, and so does the context built from them.
  if (!options_.CertFile.empty()) {
    Conn.Socket.SetSslEnable(true);
    Conn.Socket.SetSslCertFile(options_.CertFile);
    Conn.Socket.SetSslKeyFile(options_.KeyFile);
  }
  return Owned;
}

void TStatusService::AcceptAll() {
  for (;;) {
    const SOCKET Handle = listener_->Accept();
    if (Handle == INVALID_SOCKET) return;
    std::unique_ptr<TConnection> Owned;
    if (idle_.empty()) {
      Owned = NewConnection();
    } else {
      Owned = std::move(idle_.back());
      idle_.pop_back();
      Owned->Reuse();
    }
    Owned->Socket.Dup(Handle);
    // A handle the socket could not adopt goes with it (its destructor closes what it holds).
    if (Owned->Socket.State() != wsConnected) continue;
    TConnection& Conn = *connections_.emplace(Owned->Id, std::move(Owned)).first->second;
    // A client sends its request as soon as it is connected, so it is often here already: read
    // it now rather than a turn of the loop later. Over TLS the handshake comes first.
    if (!options_.CertFile.empty()) continue;
    // Run here, inside the listener's event, a failure must end this connection as its own
    // event would, not the listener.
    try {
      Received(Conn);
    } catch (const std::exception&) {
      Conn.Socket.AbortSession();
    }
  }
}

void TStatusService::Received(TConnection& Conn) {
  char Buffer[4096];
  for (;;) {
    const std::int32_t N = Conn.Socket.ReadData(Buffer, sizeof Buffer);
    if (N <= 0) break;
    if (!Conn.Closing) Conn.Request.append(Buffer, static_cast<std::size_t>(N));
    // A short read drained the socket: bytes that come later bring their own notice.
    if (N < static_cast<std::int32_t>(sizeof Buffer)) break;
  }
  Conn.Active = true;
  ServeWaiting(Conn);
}

void TStatusService::ServeWaiting(TConnection& Conn) {
  // One request at a time, in order: a slow answer holds back the requests behind it.
  while (!Conn.Closing && !Conn.TimerSet) {
    const std::size_t End = FindHeaderEnd(Conn.Request);
    if (End == std::string::npos) {
      if (Conn.Request.size() > kMaxHeader) SendAnswer(Conn, responses_.BadRequest(), true, false);
      return;
    }
    Serve(Conn, std::string_view(Conn.Request).substr(0, End));
    Conn.Request.erase(0, End);
  }
}

void TStatusService::Serve(TConnection& Conn, std::string_view Header) {
  Dump(Header);
  TStatusRequest Request;
  if (!ParseStatusRequest(Header, Request)) {
    SendAnswer(Conn, responses_.BadRequest(), true, false);
    return;
  }
  if (Request.Method != "GET" && Request.Method != "HEAD") {
    SendAnswer(Conn, responses_.NotImplemented(), true, false);
    return;
  }
  const bool WithBody = Request.Method != "HEAD";
  if (!IsStatusQuery(Request)) {
    Answer(Conn, TAnswer{akNotFound, isUnknown, -1}, WithBody, Request.KeepAlive);
    return;
  }
  TAnswer Chosen = table_.Lookup(Request.Uin);
  bool Slow = Chosen.Kind == akSlow;
  if (options_.ForcedAnswer && options_.ForcedAnswer->Kind == akSlow)
    Slow = true;
  else if (options_.ForcedAnswer)
    Chosen = *options_.ForcedAnswer;
  if (Slow) {
    // A slow answer is the UIN's own answer given late; "slow" alone means online.
    Conn.Delayed = Chosen.Kind == akSlow ? TAnswer{akPicture, isOnline, -1} : Chosen;
    Conn.DelayedWithBody = WithBody;
    Conn.DelayedKeepAlive = Request.KeepAlive;
    Conn.TimerSet =
        SetTimer(window_.Handle(), Conn.Id, static_cast<UINT>(options_.SlowDelayMs), nullptr) != 0;
    if (!Conn.TimerSet) Answer(Conn, Conn.Delayed, WithBody, Request.KeepAlive);
    return;
  }
  Answer(Conn, Chosen, WithBody, Request.KeepAlive);
}

void TStatusService::Answer(TConnection& Conn, const TAnswer& Chosen, bool WithBody,
                            bool KeepAlive) {
  switch (Chosen.Kind) {
    case akClose:
      Conn.Closing = true;
      Conn.Socket.CloseSession();
      return;
    case akNotFound:
      SendAnswer(Conn, responses_.NotFound(), WithBody, KeepAlive);
      return;
    case akPicture:
    case akSlow:
    default:
      SendAnswer(Conn, responses_.Picture(Chosen), WithBody, KeepAlive);
      return;
  }
}

void TStatusService::SendAnswer(TConnection& Conn, const TResponseBytes& Response, bool WithBody,
                                bool KeepAlive) {
  ++answered_;
  const std::string_view Bytes = Response.Bytes(WithBody, KeepAlive);
  if (KeepAlive) {
    Conn.KeptOpen = true;
    if (!sweepRunning_)
      sweepRunning_ = SetTimer(window_.Handle(), kIdleSweepTimer,
                               static_cast<UINT>(options_.IdleSweepMs), nullptr) != 0;
  }
  if (Conn.Socket.Send(Bytes.data(), static_cast<std::int32_t>(Bytes.size())) < 0 || !KeepAlive) {
    // Closed right behind the answer, not when the send queue has drained: the graceful close
    // still delivers what the system has not taken, and the end of the stream reaches the
    // client with the answer, so the client's close does not leave it the TIME_WAIT.
    Conn.Closing = true;
    Conn.Socket.CloseSession();
  }
}

void TStatusService::SweepIdle() {
  for (auto& [Id, Conn] : connections_) {
    if (!Conn->KeptOpen || Conn->TimerSet || Conn->Closing) continue;
    if (Conn->Active) {
      Conn->Active = false;
      continue;
    }
    Conn->Closing = true;
    // The close is reported to Closed, which only records the connection: the map stays whole.
    Conn->Socket.CloseSession();
  }
}

void TStatusService::Dump(std::string_view Header) {
  if (options_.DumpDir.empty()) return;
  std::ofstream Out(options_.DumpDir + "/request-" + std::to_string(++dumped_) + ".txt",
                    std::ios::binary);
  Out << Header;
}

void TStatusService::Closed(TConnection& Conn) {
  if (Conn.TimerSet) KillTimer(window_.Handle(), Conn.Id);
  Conn.TimerSet = false;
  closed_.push_back(Conn.Id);
  if (!reapPosted_) reapPosted_ = PostMessage(window_.Handle(), kReapMessage, 0, 0) != 0;
}

void TStatusService::Reap() {
  reapPosted_ = false;
  // Sockets are set aside here, in a message of their own, never inside their own events.
  for (const std::uint64_t Id : closed_) {
    auto It = connections_.find(Id);
    if (It == connections_.end() || It->second->Socket.State() != wsClosed) continue;
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(It->second));
    connections_.erase(It);
  }
  closed_.clear();
}

void TStatusService::HandleWindowMessage(TMessage& Msg) {
  if (Msg.Msg == kReapMessage) {
    Reap();
    return;
  }
  if (Msg.Msg != WM_TIMER) {
    Msg.Result = window_.DefaultAnswer(Msg);
    return;
  }
  if (Msg.WParam == kIdleSweepTimer) {
    SweepIdle();
    return;
  }
  const auto Id = static_cast<std::uint64_t>(Msg.WParam);
  KillTimer(window_.Handle(), Id);
  auto It = connections_.find(Id);
  if (It == connections_.end()) return;
  TConnection& Conn = *It->second;
  Conn.TimerSet = false;
  Answer(Conn, Conn.Delayed, Conn.DelayedWithBody, Conn.DelayedKeepAlive);
  ServeWaiting(Conn);
}

}  // namespace vantrel
