#include "StatusService.h"

#include <fstream>

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

}  // namespace

class TStatusService::TConnection {
 public:
  explicit TConnection(std::uint64_t Id) : Id(Id) {}
  // Fixed for the object's life, across the connections it serves: the timer id and map key.
  const std::uint64_t Id;
  TWSocket Socket{nullptr};
  std::string Request;  // keeps its capacity from one connection to the next
  bool Handled = false;
  bool CloseWhenSent = false;
  bool TimerSet = false;
  TAnswer Delayed;  // what a slow answer sends when its timer fires
  bool DelayedWithBody = true;

  // Forgets the connection it served; the socket reset itself when that one closed.
  void Reuse() {
    Request.clear();
    Handled = CloseWhenSent = TimerSet = false;
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
  Conn.Socket.OnDataSent = [&Conn](TObject*, std::uint16_t) {
    if (Conn.CloseWhenSent) Conn.Socket.CloseSession();
  };
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
    const std::uint64_t Id = Owned->Id;
    connections_.emplace(Id, std::move(Owned));
  }
}

void TStatusService::Received(TConnection& Conn) {
  char Buffer[4096];
  for (;;) {
    const std::int32_t N = Conn.Socket.ReadData(Buffer, sizeof Buffer);
    if (N <= 0) break;
    // Whatever follows a handled request is read and dropped.
    if (!Conn.Handled) Conn.Request.append(Buffer, static_cast<std::size_t>(N));
    // A short read drained the socket: bytes that come later bring their own notice.
    if (N < static_cast<std::int32_t>(sizeof Buffer)) break;
  }
  if (Conn.Handled) return;
  const std::size_t End = FindHeaderEnd(Conn.Request);
  if (End == std::string::npos) {
    if (Conn.Request.size() > kMaxHeader) {
      Conn.Handled = true;
      SendAndClose(Conn, responses_.BadRequest().Whole());
    }
    return;
  }
  Conn.Handled = true;
  Dump(std::string_view(Conn.Request).substr(0, End));
  TStatusRequest Request;
  // Only the request line is read, so the bytes after the header do not matter.
  if (!ParseStatusRequest(Conn.Request, Request)) {
    SendAndClose(Conn, responses_.BadRequest().Whole());
    return;
  }
  if (Request.Method != "GET" && Request.Method != "HEAD") {
    SendAndClose(Conn, responses_.NotImplemented().Whole());
    return;
  }
  const bool WithBody = Request.Method != "HEAD";
  if (!IsStatusQuery(Request)) {
    Answer(Conn, TAnswer{akNotFound, isUnknown, -1}, WithBody);
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
    Conn.TimerSet =
        SetTimer(window_.Handle(), Conn.Id, static_cast<UINT>(options_.SlowDelayMs), nullptr) != 0;
    if (!Conn.TimerSet) Answer(Conn, Conn.Delayed, WithBody);
    return;
  }
  Answer(Conn, Chosen, WithBody);
}

void TStatusService::Answer(TConnection& Conn, const TAnswer& Chosen, bool WithBody) {
  switch (Chosen.Kind) {
    case akClose:
      Conn.Socket.CloseSession();
      return;
    case akNotFound: {
      const TResponseBytes& Bytes = responses_.NotFound();
      SendAndClose(Conn, WithBody ? Bytes.Whole() : Bytes.Head());
      return;
    }
    case akPicture:
    case akSlow:
    default: {
      const TResponseBytes& Bytes = responses_.Picture(Chosen);
      SendAndClose(Conn, WithBody ? Bytes.Whole() : Bytes.Head());
      return;
    }
  }
}

void TStatusService::SendAndClose(TConnection& Conn, std::string_view Bytes) {
  ++answered_;
  Conn.CloseWhenSent = true;
  if (Conn.Socket.Send(Bytes.data(), static_cast<std::int32_t>(Bytes.size())) < 0)
    Conn.Socket.CloseSession();
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
  const auto Id = static_cast<std::uint64_t>(Msg.WParam);
  KillTimer(window_.Handle(), Id);
  auto It = connections_.find(Id);
  if (It == connections_.end()) return;
  TConnection& Conn = *It->second;
  Conn.TimerSet = false;
  Answer(Conn, Conn.Delayed, Conn.DelayedWithBody);
}

}  // namespace vantrel
