// The TLS layer: drives a memory-buffer session from the socket's own receive path and send
// queue, and turns its progress into the component's events.
#include "SslWSocket.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "FireEvent.h"
#include "TextUtils.h"
#include "WinMessages.h"
#include "WinSock.h"

namespace vantrel {
namespace {

// The sockets of a thread that use equal settings share one context: building one reads the
// certificate, key and trust files, which a server would otherwise do for every connection it
// accepts, and a client for every socket. A context lives while a socket holds it.
std::shared_ptr<TSslContext> SharedContext(const TSslSettings& Wanted) {
  thread_local std::vector<std::weak_ptr<TSslContext>> Contexts;
  std::erase_if(Contexts, [](const std::weak_ptr<TSslContext>& C) { return C.expired(); });
  for (const std::weak_ptr<TSslContext>& Known : Contexts) {
    std::shared_ptr<TSslContext> Context = Known.lock();
    if (Context && Context->Settings() == Wanted) return Context;
  }
  auto Context = std::make_shared<TSslContext>(Wanted);
  Contexts.push_back(Context);
  return Context;
}

// Ciphertext taken from the socket in one receive; one read of this size that comes back short
// means the socket is drained.
constexpr std::int32_t CipherChunk = 32 * 1024;
// Decrypted bytes held for the application before the layer stops taking more from the socket.
constexpr std::size_t PlainLimit = 64 * 1024;
// Room kept free for one decrypted record.
constexpr std::size_t RecordRoom = 16 * 1024;

}  // namespace

TCustomSslWSocket::TCustomSslWSocket(TComponent* Owner) : TCustomSocksWSocket(Owner) {
  TCustomSslWSocket::ResetToDefaults();
}

TCustomSslWSocket::~TCustomSslWSocket() {
  // The core closes the socket once this layer is gone: hand it close_notify first.
  SendCloseNotify();
}

void TCustomSslWSocket::ResetToDefaults() {
  TCustomSocksWSocket::ResetToDefaults();
  Session_.reset();
  Phase_ = spOff;
  Server_ = false;
  PeerEnded_ = false;
  Failed_ = false;
  Closing_ = false;
  RedeliveryPosted_ = false;
  ++Generation_;
  Plain_.clear();
  PlainHead_ = 0;
  PlainTail_ = 0;
  if (TSslData* Data = SslData_.IfAny()) Data->Pending.clear();
}

bool TCustomSslWSocket::SettingsLocked() {
  if (State_ == wsClosed) return false;
  RaiseSocketException("Can't change TLS settings if not closed");
  return true;
}

void TCustomSslWSocket::SetSslEnable(bool Value) {
  if (!SettingsLocked()) SslEnable_ = Value;
}

void TCustomSslWSocket::SetSslServerName(const std::string& Value) {
  if (!SettingsLocked()) Ssl().ServerName = Trim(Value);
}

void TCustomSslWSocket::SetSslVerifyPeer(bool Value) {
  if (!SettingsLocked()) Ssl().Settings.VerifyPeer = Value;
}

void TCustomSslWSocket::SetSslCAFile(const std::string& Value) {
  if (!SettingsLocked()) Ssl().Settings.CAFile = Value;
}

void TCustomSslWSocket::SetSslCertFile(const std::string& Value) {
  if (!SettingsLocked()) Ssl().Settings.CertFile = Value;
}

void TCustomSslWSocket::SetSslKeyFile(const std::string& Value) {
  if (!SettingsLocked()) Ssl().Settings.KeyFile = Value;
}

bool TCustomSslWSocket::Negotiating() const {
  return NegotiationPhase() != npNone || Phase_ == spHandshake;
}

bool TCustomSslWSocket::PrepareContext(bool Server) {
  TSslSettings Wanted = Ssl().Settings;
  Wanted.Server = Server;
  Ssl().ErrorText.clear();
  if (Context_ && Context_->Settings() == Wanted) return true;
  try {
    Context_ = SharedContext(Wanted);
    return true;
  } catch (const ESslException& E) {
    Context_.reset();
    Ssl().ErrorText = E.Message();
    return false;
  }
}

void TCustomSslWSocket::Connect() {
  // A second Connect on an open socket is the core's to refuse.
  if (!SslEnable_ || (SocketHandle_ != INVALID_SOCKET && State_ != wsClosed)) {
    TCustomSocksWSocket::Connect();
    return;
  }
  const auto IsTcp = [](const std::string& Text) {
    return Text.size() == 3 && std::equal(Text.begin(), Text.end(), "tcp", [](char A, char B) {
             return std::tolower(static_cast<unsigned char>(A)) == B;
           });
  };
  if (!IsTcp(ProtoText_)) {
    RaiseSocketException("TLS needs the tcp protocol");
    return;
  }
  if (!PrepareContext(false)) {
    RaiseSocketException(Ssl().ErrorText);
    return;
  }
  TCustomSocksWSocket::Connect();
}

void TCustomSslWSocket::StartTls() {
  if (State_ != wsConnected || SslRunning() || Negotiating() || SocketType_ != SOCK_STREAM) {
    RaiseSocketException("StartTls: no plain connection open");
    return;
  }
  Server_ = false;
  if (!PrepareContext(false)) {
    FailHandshake(SslErrorSetup, Ssl().ErrorText);
    return;
  }
  StartSession(false);
}

void TCustomSslWSocket::Dup(SOCKET NewHandle) {
  TCustomSocksWSocket::Dup(NewHandle);
  if (!SslEnable_ || State_ != wsConnected) return;
  StartSession(true);
}

void TCustomSslWSocket::FireSessionConnected(std::uint16_t Error) {
  // A SOCKS dialogue first, failures as they are; TLS starts on a connection that is up.
  if (!SslEnable_ || SslRunning() || NegotiationPhase() != npNone || Error != 0 ||
      SocketType_ != SOCK_STREAM) {
    TCustomSocksWSocket::FireSessionConnected(Error);
    return;
  }
  StartSession(false);
}

bool TCustomSslWSocket::SessionEstablished() {
  if (!SslEnable_) return TCustomSocksWSocket::SessionEstablished();
  StartSession(false);
  return true;
}

void TCustomSslWSocket::StartSession(bool Server) {
  Server_ = Server;
  Ssl().Version.clear();
  Ssl().Cipher.clear();
  SslResumed_ = false;
  PeerCloseNotify_ = false;
  HandshakeCut_ = false;
  if (Server && !PrepareContext(true)) {
    FailHandshake(SslErrorSetup, Ssl().ErrorText);
    return;
  }
  const std::string Name = Server                     ? std::string()
                           : Ssl().ServerName.empty() ? AddrText_
                                                      : Ssl().ServerName;
  try {
    // A server is known by the name it is checked against and its port.
    Session_ = std::make_unique<TSslSession>(*Context_, Name,
                                             Server ? std::string() : Name + ":" + PortText_);
  } catch (const ESslException& E) {
    FailHandshake(SslErrorSetup, E.Message());
    return;
  }
  Phase_ = spHandshake;
  // The client speaks first.
  if (!Server) StepHandshake();
}

std::int32_t TCustomSslWSocket::ReadCipher() {
  char Buffer[CipherChunk];
  const std::int32_t Got = TCustomSocksWSocket::RecvRaw(Buffer, CipherChunk, 0);
  if (Got > 0) {
    Session_->Feed(Buffer, static_cast<std::size_t>(Got));
  } else if (Got == 0) {
    PeerEnded_ = true;
  }
  return Got;
}

bool TCustomSslWSocket::StepHandshake() {
  const std::uint32_t Generation = Generation_;
  const TSslSession::TStep Step = Session_->Handshake();
  FlushOutput(false);
  if (Generation != Generation_) return false;
  if (Step == TSslSession::ssWant) return true;
  if (Step == TSslSession::ssFailed) {
    FailHandshake(Session_->ErrorCode(), Session_->ErrorText());
    return false;
  }
  Phase_ = spEstablished;
  Ssl().Version = Session_->Version();
  Ssl().Cipher = Session_->Cipher();
  SslResumed_ = Session_->Resumed();
  FireSslHandshakeDone(0);
  if (Generation != Generation_) return false;
  if (!Server_) {
    TCustomSocksWSocket::FireSessionConnected(0);
    if (Generation != Generation_) return false;
  }
  if (!Ssl().Pending.empty()) {
    const std::string Held = std::exchange(Ssl().Pending, {});
    TCustomSslWSocket::Send(Held.data(), static_cast<std::int32_t>(Held.size()));
  }
  return Generation == Generation_;
}

void TCustomSslWSocket::FailHandshake(std::uint16_t Error, const std::string& Text) {
  const std::uint32_t Generation = Generation_;
  Phase_ = spFailed;
  Ssl().ErrorText = Text;
  FireSslHandshakeDone(Error);
  if (Generation != Generation_) return;
  if (!Server_) {
    TCustomSocksWSocket::FireSessionConnected(Error);
    if (Generation != Generation_) return;
  }
  Disconnect(true, Error);
}

void TCustomSslWSocket::FlushOutput(bool Announce) {
  if (Session_ && Session_->OutputPending() > 0) {
    char Chunk[RecordRoom];
    while (const std::size_t Got = Session_->TakeOutput(Chunk, sizeof Chunk)) {
      AppendToSendQueue(Chunk, static_cast<std::int32_t>(Got));
    }
    AllSent_ = false;
    TryToSend();
  }
  // As the core's Send: OnDataSent never runs inside the call.
  if (Announce && AllSent_ && SocketHandle_ != INVALID_SOCKET) {
    PostMessage(NotifyWindow(), MsgSocketEvent, SocketHandle_, WSAMakeSelectReply(FD_WRITE, 0));
  }
}

void TCustomSslWSocket::Decrypt(bool Unbounded) {
  DecryptRecords(Unbounded);
  // Reading may have produced records of its own (the answer to a key update).
  if (Session_ && Session_->OutputPending() > 0) FlushOutput(false);
}

void TCustomSslWSocket::DecryptRecords(bool Unbounded) {
  while (Session_ && Phase_ == spEstablished && !PeerCloseNotify_ && !Failed_) {
    if (!Unbounded && PlainCount() >= PlainLimit) return;
    if (Plain_.size() - PlainTail_ < RecordRoom) {
      if (PlainHead_ > 0) {
        std::memmove(Plain_.data(), Plain_.data() + PlainHead_, PlainTail_ - PlainHead_);
        PlainTail_ -= PlainHead_;
        PlainHead_ = 0;
      }
      if (Plain_.size() - PlainTail_ < RecordRoom) Plain_.resize(PlainTail_ + 4 * RecordRoom);
    }
    const std::int32_t Got = Session_->Read(Plain_.data() + PlainTail_,
                                            static_cast<std::int32_t>(Plain_.size() - PlainTail_));
    if (Got > 0) {
      PlainTail_ += static_cast<std::size_t>(Got);
    } else if (Got == -1) {
      PeerCloseNotify_ = true;
    } else {
      if (Got == -2) {
        // Reported from the loop: this may run inside a read of the application.
        Failed_ = true;
        Ssl().ErrorText = Session_->ErrorText();
        PostMessage(NotifyWindow(), MsgSslFailure, Generation_, 0);
      }
      return;
    }
  }
}

bool TCustomSslWSocket::Fill() {
  for (;;) {
    Decrypt(false);
    if (PlainCount() > 0 || PeerCloseNotify_ || PeerEnded_ || Failed_ || !Session_) return true;
    const std::int32_t Got = ReadCipher();
    if (Got < 0) return false;
    if (Got == 0) {
      Decrypt(false);
      return true;
    }
  }
}

bool TCustomSslWSocket::FireDataAvailable(std::uint16_t Error) {
  if (!SslRunning() || NegotiationPhase() != npNone) {
    return TCustomSocksWSocket::FireDataAvailable(Error);
  }
  RedeliveryPosted_ = false;
  if (Phase_ == spHandshake) {
    if (Error != 0) {
      FailHandshake(Error, "TLS handshake failed: " + SocketErrorText(Error));
      return true;
    }
    const std::uint32_t Generation = Generation_;
    for (;;) {
      const std::int32_t Got = ReadCipher();
      if (Got == 0) {
        FailHandshake(SslErrorClosed, "TLS handshake failed: the peer closed the connection");
        return true;
      }
      if (Got < 0) return true;
      if (!StepHandshake() || Generation != Generation_) return true;
      if (Phase_ == spEstablished) break;
      if (Got < CipherChunk) return true;
    }
    // Data that came with the end of the handshake goes through the layers above as any data.
    return FireDataAvailable(0);
  }
  return DeliverPlaintext();
}

bool TCustomSslWSocket::DeliverPlaintext() {
  const std::uint32_t Generation = Generation_;
  const bool Nested = Delivering_;
  Delivering_ = true;
  bool Handled = true;
  for (;;) {
    if (PlainCount() == 0 && (!Fill() || PlainCount() == 0)) break;
    const std::size_t Before = PlainCount();
    Handled = TCustomSocksWSocket::FireDataAvailable(0);
    if (Generation != Generation_ || !Handled) break;
    // A handler that reads nothing is called again once it reads (RecvRaw posts the notice).
    if (PlainCount() >= Before) break;
  }
  Delivering_ = Nested;
  return Handled;
}

std::int32_t TCustomSslWSocket::RcvdCount() {
  if (!SslRunning()) return TCustomSocksWSocket::RcvdCount();
  if (Phase_ != spEstablished) return 0;
  if (PlainCount() == 0) Fill();
  return static_cast<std::int32_t>(PlainCount());
}

std::int32_t TCustomSslWSocket::RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags) {
  if (!SslRunning() || Len <= 0 || Buffer == nullptr) {
    return TCustomSocksWSocket::RecvRaw(Buffer, Len, Flags);
  }
  if (Phase_ == spEstablished && PlainCount() == 0) Fill();
  if (PlainCount() == 0) {
    if (PeerCloseNotify_ || PeerEnded_) return 0;
    SocketApi_WSASetLastError(WSAEWOULDBLOCK);
    return -1;
  }
  const std::size_t Count = std::min(PlainCount(), static_cast<std::size_t>(Len));
  std::memcpy(Buffer, Plain_.data() + PlainHead_, Count);
  PlainHead_ += Count;
  if (PlainHead_ == PlainTail_) PlainHead_ = PlainTail_ = 0;
  // Like a socket that still holds bytes after a receive: announce them again.
  if (!Delivering_ && PlainCount() > 0 && !RedeliveryPosted_) {
    RedeliveryPosted_ = true;
    PostMessage(NotifyWindow(), MsgSocketEvent, SocketHandle_, WSAMakeSelectReply(FD_READ, 0));
  }
  return static_cast<std::int32_t>(Count);
}

std::int32_t TCustomSslWSocket::Send(const void* Data, std::int32_t Len) {
  if (!SslRunning() || State_ != wsConnected || Len <= 0) {
    return TCustomSocksWSocket::Send(Data, Len);
  }
  if (Phase_ == spFailed) {
    // Never in clear on a connection that was to be encrypted.
    SocketApi_WSASetLastError(WSAECONNABORTED);
    return -1;
  }
  if (Phase_ == spHandshake) {
    // Nothing is lost: it goes out encrypted once the handshake is done.
    Ssl().Pending.append(static_cast<const char*>(Data), static_cast<std::size_t>(Len));
    return Len;
  }
  if (!Session_->Write(static_cast<const char*>(Data), Len)) {
    Ssl().ErrorText = Session_->ErrorText();
    PostMessage(NotifyWindow(), MsgSslFailure, Generation_, 0);
    SocketApi_WSASetLastError(WSAECONNABORTED);
    return -1;
  }
  FlushOutput(true);
  return Len;
}

void TCustomSslWSocket::SendCloseNotify() {
  if (Phase_ != spEstablished || Closing_ || SocketHandle_ == INVALID_SOCKET) return;
  Closing_ = true;
  try {
    Session_->Shutdown();
    FlushOutput(false);
  } catch (const std::exception&) {
    // A sending side already shut down: the close goes on without close_notify.
  }
}

void TCustomSslWSocket::CloseSession() {
  SendCloseNotify();
  Closing_ = true;
  TCustomSocksWSocket::CloseSession();
}

void TCustomSslWSocket::AbortSession() {
  Closing_ = true;
  TCustomSocksWSocket::AbortSession();
}

void TCustomSslWSocket::Disconnect(bool Shut, std::uint16_t Error) {
  // The connection is lost under a running handshake (a failed send closes first and reports
  // the code afterwards): the close reports the handshake's end too.
  if (Phase_ == spHandshake && !Server_) HandshakeCut_ = true;
  Closing_ = true;
  TCustomSocksWSocket::Disconnect(Shut, Error);
}

void TCustomSslWSocket::FireSessionClosed(std::uint16_t Error) {
  // The connection ended under the client's handshake: the application, still waiting for
  // OnSessionConnected, hears of it first.
  const bool Cut = (Phase_ == spHandshake && !Closing_) || (HandshakeCut_ && Error != 0);
  HandshakeCut_ = false;
  if (Cut && !Server_) {
    if (Error == 0) Error = SslErrorClosed;
    if (Phase_ == spHandshake) Phase_ = spFailed;
    Ssl().ErrorText = "TLS handshake failed: " + SocketErrorText(Error);
    FireSslHandshakeDone(Error);
    TCustomSocksWSocket::FireSessionConnected(Error);
  } else if (Error == 0 && Phase_ == spEstablished && !Closing_) {
    // close_notify may still wait behind bytes the application has not read.
    Decrypt(true);
    if (!PeerCloseNotify_) {
      Error = SslErrorTruncated;
      Ssl().ErrorText = "TLS: the peer ended the stream without close_notify";
    }
  }
  TCustomSocksWSocket::FireSessionClosed(Error);
}

void TCustomSslWSocket::FireDataSent(std::uint16_t Error) {
  // The handshake's own bytes are not the application's.
  if (Phase_ == spHandshake) return;
  TCustomSocksWSocket::FireDataSent(Error);
}

void TCustomSslWSocket::HandleWindowMessage(TMessage& Msg) {
  if (Msg.Msg != MsgSslFailure) {
    TCustomSocksWSocket::HandleWindowMessage(Msg);
    return;
  }
  if (static_cast<std::uint32_t>(Msg.WParam) != Generation_ || State_ == wsClosed) return;
  try {
    // A stream that cannot be read any further is aborted, with the reason.
    ClearSendQueue();
    Disconnect(false, SslErrorProtocol);
  } catch (const std::exception& E) {
    ProcessBgException(E);
  }
}

void TCustomSslWSocket::FireSslHandshakeDone(std::uint16_t Error) {
  FireEvent(OnSslHandshakeDone, this, Error);
}

}  // namespace vantrel
