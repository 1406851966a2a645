#include "StatusService.h"

#include <fstream>

#include "GifPicture.h"
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

std::string Response(const std::string& Status, const std::string& Type, const std::string& Body,
                     bool WithBody) {
  std::string Head = "HTTP/1.0 " + Status +
                     "\r\nServer: vantrel-status-service\r\nContent-Type: " + Type +
                     "\r\nContent-Length: " + std::to_string(Body.size()) +
                     "\r\nPragma: no-cache\r\nConnection: close\r\n\r\n";
  return WithBody ? Head + Body : Head;
}

}  // namespace

class TStatusService::TConnection {
 public:
  explicit TConnection(std::uint64_t Id) : Id(Id) {}
  const std::uint64_t Id;
  TWSocket Socket{nullptr};
  std::string Request;
  bool Handled = false;
  bool CloseWhenSent = false;
  bool TimerSet = false;
  TAnswer Delayed;  // what a slow answer sends when its timer fires
  std::string DelayedMethod;
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

void TStatusService::AcceptAll() {
  for (;;) {
    const SOCKET Handle = listener_->Accept();
    if (Handle == INVALID_SOCKET) return;
    const std::uint64_t Id = nextId_++;
    auto Owned = std::make_unique<TConnection>(Id);
    TConnection& Conn = *Owned;
    connections_.emplace(Id, std::move(Owned));
    Conn.Socket.OnDataAvailable = [this, &Conn](TObject*, std::uint16_t) { Received(Conn); };
    Conn.Socket.OnDataSent = [&Conn](TObject*, std::uint16_t) {
      if (Conn.CloseWhenSent) Conn.Socket.CloseSession();
    };
    Conn.Socket.OnSessionClosed = [this, &Conn](TObject*, std::uint16_t) {
      if (Conn.TimerSet) KillTimer(window_.Handle(), Conn.Id);
      Conn.TimerSet = false;
      ScheduleReap();
    };
    Conn.Socket.OnError = [](TObject*) {};
    if (!options_.CertFile.empty()) {
      Conn.Socket.SetSslEnable(true);
      Conn.Socket.SetSslCertFile(options_.CertFile);
      Conn.Socket.SetSslKeyFile(options_.KeyFile);
    }
    Conn.Socket.Dup(Handle);
  }
}

void TStatusService::Received(TConnection& Conn) {
  char Buffer[4096];
  for (;;) {
    const std::int32_t N = Conn.Socket.ReadData(Buffer, sizeof Buffer);
    if (N <= 0) break;
    // Whatever follows a handled request is read and dropped.
    if (!Conn.Handled) Conn.Request.append(Buffer, static_cast<std::size_t>(N));
  }
  if (Conn.Handled) return;
  const std::size_t End = FindHeaderEnd(Conn.Request);
  if (End == std::string::npos) {
    if (Conn.Request.size() > kMaxHeader) {
      Conn.Handled = true;
      SendAndClose(Conn, Response("400 Bad Request", "text/plain", "Bad Request\r\n", true));
    }
    return;
  }
  Conn.Handled = true;
  const std::string Header = Conn.Request.substr(0, End);
  Dump(Header);
  TStatusRequest Request;
  if (!ParseStatusRequest(Header, Request)) {
    SendAndClose(Conn, Response("400 Bad Request", "text/plain", "Bad Request\r\n", true));
    return;
  }
  if (Request.Method != "GET" && Request.Method != "HEAD") {
    SendAndClose(Conn, Response("501 Not Implemented", "text/plain", "Not Implemented\r\n", true));
    return;
  }
  if (!IsStatusQuery(Request)) {
    Answer(Conn, TAnswer{akNotFound, isUnknown, -1}, Request.Method);
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
    Conn.DelayedMethod = Request.Method;
    Conn.TimerSet =
        SetTimer(window_.Handle(), Conn.Id, static_cast<UINT>(options_.SlowDelayMs), nullptr) != 0;
    if (!Conn.TimerSet) Answer(Conn, Conn.Delayed, Conn.DelayedMethod);
    return;
  }
  Answer(Conn, Chosen, Request.Method);
}

void TStatusService::Answer(TConnection& Conn, const TAnswer& Chosen, const std::string& Method) {
  const bool WithBody = Method != "HEAD";
  switch (Chosen.Kind) {
    case akClose:
      Conn.Socket.CloseSession();
      ScheduleReap();
      return;
    case akNotFound:
      SendAndClose(Conn,
                   Response("404 Not Found", "text/html",
                            "<html><body><h1>404 Not Found</h1></body></html>\r\n", WithBody));
      return;
    case akPicture:
    case akSlow:
    default:
      SendAndClose(Conn, Response("200 OK", "image/gif", Picture(Chosen), WithBody));
      return;
  }
}

void TStatusService::SendAndClose(TConnection& Conn, const std::string& Bytes) {
  ++answered_;
  Conn.CloseWhenSent = true;
  if (Conn.Socket.SendText(Bytes) < 0) {
    Conn.Socket.CloseSession();
    ScheduleReap();
  }
}

const std::string& TStatusService::Picture(const TAnswer& Chosen) {
  const std::int64_t Size =
      Chosen.Size >= 0 ? Chosen.Size : static_cast<std::int64_t>(DefaultPictureSize(Chosen.Status));
  std::string& Cached = pictures_[Chosen.Status][Size];
  if (static_cast<std::int64_t>(Cached.size()) != Size)
    Cached = StatusGif(Chosen.Status, static_cast<std::size_t>(Size));
  return Cached;
}

void TStatusService::Dump(const std::string& Header) {
  if (options_.DumpDir.empty()) return;
  std::ofstream Out(options_.DumpDir + "/request-" + std::to_string(++dumped_) + ".txt",
                    std::ios::binary);
  Out << Header;
}

void TStatusService::ScheduleReap() {
  if (reapPosted_) return;
  reapPosted_ = PostMessage(window_.Handle(), kReapMessage, 0, 0) != 0;
}

void TStatusService::Reap() {
  reapPosted_ = false;
  // Sockets are destroyed here, in a message of their own, never inside their own events.
  std::erase_if(connections_,
                [](const auto& Entry) { return Entry.second->Socket.State() == wsClosed; });
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
  Answer(Conn, Conn.Delayed, Conn.DelayedMethod);
}

}  // namespace vantrel
