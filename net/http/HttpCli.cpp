// THttpCli: construction, the hidden window and its messages, the request state machine from
// the start through the lookup and the connection to the end of the request, and the time limit.
#include <utility>

#include "Application.h"
#include "FireEvent.h"
#include "HttpParse.h"
#include "HttpProt.h"
#include "SocksProtocol.h"
#include "TextUtils.h"
#include "WSocket.h"
#include "WinMessages.h"
#include "WinSock.h"

namespace vantrel {
namespace {

constexpr char kWindowClass[] = "HttpCliWindowClass";
constexpr UINT_PTR kTimeLimitTimer = 1;

std::string ErrorWithCode(int error) {
  return SocketErrorText(error) + " (Error #" + IntToStr(error) + ")";
}

bool IsTlsError(int error) {
  return error >= SslErrorSetup && error <= SslErrorProtocol;
}

// A failed connection in words. SOCKS codes are not socket errors: their text is the one the
// SOCKS layer gave when the negotiation failed.
std::string ConnectErrorText(const TWSocket& socket, int error) {
  if (socks::IsFailureCode(error) && !socket.SocksErrorMessage().empty())
    return "SOCKS negotiation failed: " + socket.SocksErrorMessage() + " (Error #" +
           IntToStr(error) + ")";
  // TLS codes carry OpenSSL's reason in the layer's own text.
  if (IsTlsError(error) && !socket.SslErrorText().empty())
    return socket.SslErrorText() + " (Error #" + IntToStr(error) + ")";
  return ErrorWithCode(error);
}

}  // namespace

THttpCli::THttpCli(TComponent* Owner) : TComponent(Owner), notifyWindow_(kWindowClass, this) {
  ctrlSocket_ = std::make_unique<TWSocket>(this);
  ctrlSocket_->OnDnsLookupDone = [this](TObject* s, std::uint16_t e) { HandleLookupDone(s, e); };
  ctrlSocket_->OnSessionConnected = [this](TObject* s, std::uint16_t e) { HandleConnected(s, e); };
  ctrlSocket_->OnDataAvailable = [this](TObject* s, std::uint16_t e) { HandleIncoming(s, e); };
  ctrlSocket_->OnDataSent = [this](TObject* s, std::uint16_t e) { HandleSent(s, e); };
  AttachClosedHandler(false);
}

THttpCli::~THttpCli() {
  StopTimeLimit();
  // Detach first: messages dispatched while the socket closes must not reach a half-destroyed
  // component, and the socket's close must not call back into it.
  notifyWindow_.Detach();
  if (ctrlSocket_) {
    ctrlSocket_->OnDnsLookupDone = nullptr;
    ctrlSocket_->OnSessionConnected = nullptr;
    ctrlSocket_->OnDataAvailable = nullptr;
    ctrlSocket_->OnDataSent = nullptr;
    ctrlSocket_->OnSessionClosed = nullptr;
    ctrlSocket_.reset();
  }
}

void THttpCli::HandleWindowMessage(TMessage& Msg) {
  try {
    switch (Msg.Msg) {
      case WM_HTTP_REQUEST_DONE:
        FireRequestDone();
        break;
      case WM_HTTP_SET_READY:
        // Only the end decided for the running request counts; a late duplicate after a new
        // request has started must not end that one.
        if (ending_) {
          StopTimeLimit();
          ChangeRequestState(hsIdle);
        }
        break;
      case WM_HTTP_RELOCATE:
        if (relocatePosted_ && !ending_ && state_ != hsIdle) {
          relocatePosted_ = false;
          BeginLookup();
        }
        break;
      case WM_TIMER:
        if (Msg.WParam == kTimeLimitTimer) TimeLimitReached();
        break;
      default:
        Msg.Result = notifyWindow_.DefaultAnswer(Msg);
    }
  } catch (...) {
    // An exception from an event handler run by one of our own messages goes to the
    // application's hook, never through the message loop.
    Application().HandleCurrentException(this);
  }
}

void THttpCli::StartRequest(THttpRequest RqType) {
  if (state_ != hsIdle) throw EHttpException("HTTP component is busy", httpErrBusy);
  if (RqType == rqPost && postStream_ == nullptr)
    throw EHttpException("HTTP component has nothing to post", httpErrNothingToPost);
  CheckRequestText();
  RefuseUnsupportedScheme(url_);
  if (RqType == rqPost) RewindPostStream();

  responseHeader_.Clear();
  requestKind_ = RqType;
  doneError_ = 0;
  AttachClosedHandler(false);
  failureCode_ = 0;
  failureText_.clear();
  relocationCount_ = 0;
  relocationPending_ = false;
  relocatePosted_ = false;
  headerlessHtml_ = false;
  ending_ = false;
  receiveLength_ = 0;  // a header cut off by the last request's close must not lead this one
  lineHandler_ = nullptr;

  ChangeRequestState(hsStarting);
  documentName_.clear();
  responseCode_ = 0;
  receivedBytes_ = 0;
  sentBytes_ = 0;
  headerLineCount_ = 0;
  documentChunkCount_ = 0;
  documentLength_ = -1;
  sendingBody_ = false;
  currentLocation_ = url_;
  PrepareTargets();
  StartTimeLimit();
  BeginLookup();
}

void THttpCli::PrepareTargets() {
  std::string proto, user, pass, host, port, path;
  SplitUrl(url_, proto, user, pass, host, port, path);
  hostName_ = host;
  documentName_ = path;
  secure_ = IsHttpsScheme(proto);
  if (!user.empty()) username_ = user;
  if (!pass.empty()) password_ = pass;
  if (!proxy_.empty()) {
    requestTarget_ = (proto.empty() ? std::string("http") : proto) + "://" + host +
                     (port.empty() ? std::string() : ":" + port) + path;
    std::string pProto, pUser, pPass, pHost, pPort, pPath;
    SplitUrl(proxy_, pProto, pUser, pPass, pHost, pPort, pPath);
    targetHost_ = pHost;
    targetPort_ = pPort.empty() ? proxyPort_ : pPort;
  } else {
    requestTarget_ = path;
    targetHost_ = host;
    targetPort_ = port.empty() ? DefaultPortFor(proto) : port;
  }
  // push_back: g++ 12 at -O3 takes assigning "/" for an overlapping copy (-Wrestrict).
  if (requestTarget_.empty()) requestTarget_.push_back('/');

  if (documentName_.empty() || documentName_ == "/") {
    documentName_ = "document.htm";
  } else {
    if (documentName_.back() == '/') documentName_.pop_back();
    const std::size_t slash = documentName_.rfind('/');
    if (slash != std::string::npos) documentName_ = documentName_.substr(slash + 1);
    if (documentName_.size() > 255) documentName_.resize(255);
    const std::size_t query = documentName_.find('?');
    if (query != std::string::npos) documentName_.resize(query);
  }
}

bool THttpCli::SocksResolvesHost() const {
  return !Trim(socksServer_).empty() && socksLevel_ != "4";
}

void THttpCli::BeginLookup() {
  UpdateTunnelTarget();
  ChangeRequestState(hsResolving);
  if (SocksResolvesHost()) {
    ConnectControlSocket(targetHost_);
    return;
  }
  try {
    ctrlSocket_->StartDnsLookup(targetHost_);
  } catch (const std::exception&) {
    // An empty or unusable host name: end as a lookup failure instead of leaving the component
    // busy for ever.
    if (!ending_) HandleLookupDone(ctrlSocket_.get(), static_cast<std::uint16_t>(WSAEINVAL));
  }
}

void THttpCli::HandleLookupDone(TObject* Sender, std::uint16_t Error) {
  if (ending_) return;  // a lookup cancelled by the time limit
  if (Error != 0) {
    doneError_ = Error;
    responseCode_ = 404;
    responseText_ = "can't resolve hostname to IP address";
    HandleClosed(Sender, 0);
    return;
  }
  ConnectControlSocket(ctrlSocket_->DnsResult());
}

void THttpCli::ConnectControlSocket(const std::string& addr) {
  TObject* Sender = ctrlSocket_.get();
  ChangeRequestState(hsConnecting);
  try {
    // Without a SOCKS server the socket is left alone: its own close has cleared the settings.
    if (!Trim(socksServer_).empty()) {
      ctrlSocket_->SetSocksServer(socksServer_);
      ctrlSocket_->SetSocksPort(socksPort_);
      ctrlSocket_->SetSocksLevel(socksLevel_);
      ctrlSocket_->SetSocksUsercode(socksUsercode_);
      ctrlSocket_->SetSocksPassword(socksPassword_);
      ctrlSocket_->SetSocksAuthentication(socksAuthentication_);
    }
    PrepareControlTls();
    // With the large-body opt-in each body piece goes out in one block; otherwise, and for
    // requests without a body, the socket's default blocks.
    ctrlSocket_->SetSendBlockSize(requestKind_ == rqPost ? sendBlockSize_ : 0);
    ctrlSocket_->SetAddr(addr);
    ctrlSocket_->SetPort(targetPort_);
    ctrlSocket_->SetProto("tcp");
    ctrlSocket_->Connect();
  } catch (const std::exception& e) {
    const int error = ctrlSocket_->LastError();
    doneError_ = static_cast<std::uint16_t>(error);
    responseCode_ = 404;
    // A failure that is no socket call (an unusable port text) leaves LastError at 0: then the
    // exception's own text is the useful one.
    responseText_ =
        "can't connect: " + (error != 0 ? ConnectErrorText(*ctrlSocket_, error) : e.what());
    try {
      ctrlSocket_->CloseSession();
    } catch (...) {
    }
    HandleClosed(Sender, 0);
  }
}

void THttpCli::HandleConnected(TObject* Sender, std::uint16_t Error) {
  if (ending_) return;
  if (Error != 0) {
    doneError_ = Error;
    responseCode_ = 404;
    responseText_ = ConnectErrorText(*ctrlSocket_, Error);
    HandleClosed(Sender, 0);
    return;
  }
  try {
    if (TunnelNeeded() && !tunnelOpen_) {
      SendConnectRequest();
      return;
    }
    sessionOpen_ = true;
    receiveLength_ = 0;
    headerlessHtml_ = false;
    ChangeRequestState(hsConnected);
    FireSessionConnected();
    lineHandler_ = &THttpCli::ProcessHeaderLine;
    ChangeRequestState(hsAwaitingHeader);
    switch (requestKind_) {
      case rqGet:
        SendRequestHeader("GET", "1.0");
        break;
      case rqHead:
        SendRequestHeader("HEAD", "1.0");
        break;
      case rqPost:
        // Every connection sends the whole body: a relocated or repeated POST starts over.
        RewindPostStream();
        SendRequestHeader("POST", "1.0");
        FireSendBegin();
        sendingBody_ = true;
        HandleSent(Sender, 0);
        break;
      case rqNone:
        break;
    }
  } catch (const EHttpException& e) {
    // Refusals keep their own code and text; anything else is a failure to send.
    if (e.HttpCode() == httpErrControlChar || e.HttpCode() == httpErrPostStream)
      Fail(e.HttpCode(), e.Message());
    else
      Fail(httpErrNotSent, "HTTP request could not be sent: " + e.Message());
    DropConnection();
  } catch (const std::exception& e) {
    Fail(httpErrNotSent, std::string("HTTP request could not be sent: ") + e.what());
    DropConnection();
  }
}

void THttpCli::DropConnection() {
  try {
    ctrlSocket_->CloseSession();
  } catch (...) {
  }
  sessionOpen_ = false;
}

void THttpCli::HandleClosed(TObject*, std::uint16_t Error) {
  ++closeCount_;
  sessionOpen_ = false;
  if (!ending_) {
    ending_ = true;
    CheckSocksCutOff(Error);
    CheckResponseComplete(Error);
  }
  if (documentChunkCount_ > 0) FireDocEnd();
  PostSetReady();
}

void THttpCli::CheckResponseComplete(std::uint16_t closeError) {
  if (doneError_ != 0 || failureCode_ != 0 || responseCode_ >= 400 || requestKind_ == rqNone)
    return;
  const std::string prefix = "HTTP response ended short: ";
  if (state_ == hsAwaitingHeader) {
    if (closeError != 0)
      Fail(httpErrShortResponse,
           prefix + "connection broken during the header: " + ErrorWithCode(closeError),
           closeError);
    else if (headerLineCount_ == 0 && receiveLength_ == 0)
      Fail(httpErrShortResponse, prefix + "no response");
    else
      Fail(httpErrShortResponse, prefix + "header cut off");
    return;
  }
  if (state_ != hsAwaitingDocument) return;
  const bool lengthKnown = documentLength_ >= 0;
  const bool complete = lengthKnown && receivedBytes_ >= documentLength_;
  const bool bodyExpected = requestKind_ != rqHead && responseCode_ != 204 &&
                            responseCode_ != 304 &&
                            !(responseCode_ >= 100 && responseCode_ < 200) && !headerlessHtml_;
  if (closeError != 0 && !complete) {
    Fail(httpErrShortResponse,
         prefix + "connection broken during the document: " + ErrorWithCode(closeError),
         closeError);
  } else if (bodyExpected && lengthKnown && !complete) {
    Fail(httpErrShortResponse, prefix + "received " + IntToStr(receivedBytes_) + " of " +
                                   IntToStr(documentLength_) + " document bytes");
  }
}

void THttpCli::CheckSocksCutOff(std::uint16_t closeError) {
  // Without SOCKS a connection cannot close before it is reported; with it, a close while the
  // client still waits for the connection is the SOCKS server giving up on the dialogue.
  if (doneError_ != 0 || state_ != hsConnecting) return;
  const TSocksNegotiationPhase phase = ctrlSocket_->NegotiationPhase();
  if (phase == npNone) return;
  doneError_ = closeError != 0 ? closeError : static_cast<std::uint16_t>(WSAECONNRESET);
  responseCode_ = 404;
  if (socks::IsFailureCode(closeError)) {  // the layer gave up on the dialogue and closed
    responseText_ = ConnectErrorText(*ctrlSocket_, closeError);
    return;
  }
  const char* when = phase == npGreeting         ? "during the greeting"
                     : phase == npAuthenticating ? "during the authentication"
                                                 : "after the connect request";
  responseText_ = std::string("SOCKS negotiation failed: the SOCKS server closed the connection ") +
                  when + " (Error #" + IntToStr(doneError_) + ")";
}

bool THttpCli::RequestCutOff() const {
  // A status of 400 or more closes the connection without a failure: the bytes that came with
  // it are still taken in.
  return ending_ && (failureCode_ != 0 || doneError_ != 0);
}

void THttpCli::Fail(int code, const std::string& text, std::uint16_t error) {
  // The first reason to fail is the one reported; a status of 400 or more speaks for itself.
  if (failureCode_ != 0 || doneError_ != 0 || responseCode_ >= 400) return;
  failureCode_ = code;
  failureText_ = text;
  doneError_ = error != 0 ? error : static_cast<std::uint16_t>(code);
}

void THttpCli::PostSetReady() {
  PostMessage(notifyWindow_.Handle(), WM_HTTP_SET_READY, 0, 0);
}

void THttpCli::ChangeRequestState(THttpCliState NewState) {
  if (NewState == state_) return;
  state_ = NewState;
  FireStateChange();
  if (NewState == hsIdle) PostMessage(notifyWindow_.Handle(), WM_HTTP_REQUEST_DONE, 0, 0);
}

void THttpCli::AttachClosedHandler(bool relocating) {
  if (relocating)
    ctrlSocket_->OnSessionClosed = [this](TObject* s, std::uint16_t e) { RelocationClosed(s, e); };
  else
    ctrlSocket_->OnSessionClosed = [this](TObject* s, std::uint16_t e) { HandleClosed(s, e); };
}

void THttpCli::RelocationClosed(TObject*, std::uint16_t) {
  sessionOpen_ = false;
  relocationPending_ = false;
  AttachClosedHandler(false);
  FireLocationChange();
  if (ending_) return;  // the time limit ran out inside the handler
  relocatePosted_ = true;
  PostMessage(notifyWindow_.Handle(), WM_HTTP_RELOCATE, 0, 0);
}

void THttpCli::StartTimeLimit() {
  StopTimeLimit();
  if (timeLimit_ <= 0 || notifyWindow_.Handle() == nullptr) return;
  timerRunning_ = SetTimer(notifyWindow_.Handle(), kTimeLimitTimer, static_cast<UINT>(timeLimit_),
                           nullptr) != 0;
}

void THttpCli::StopTimeLimit() {
  if (!timerRunning_) return;
  timerRunning_ = false;
  KillTimer(notifyWindow_.Handle(), kTimeLimitTimer);
}

void THttpCli::TimeLimitReached() {
  StopTimeLimit();
  if (state_ == hsIdle || ending_) return;
  // Decided before the abort, so that the cancelled lookup and the close it causes are not
  // taken for other failures.
  ending_ = true;
  doneError_ = static_cast<std::uint16_t>(WSAETIMEDOUT);
  responseCode_ = 404;
  responseText_ = "HTTP request timed out (Error #" + IntToStr(WSAETIMEDOUT) + ")";
  AttachClosedHandler(false);
  const unsigned closesBefore = closeCount_;
  try {
    ctrlSocket_->AbortSession();
  } catch (...) {
  }
  // No close event when there was no connection yet (lookup, connect in progress).
  if (closeCount_ == closesBefore) HandleClosed(this, 0);
}

void THttpCli::FireStateChange() {
  FireEvent(OnStateChange, this);
}
void THttpCli::FireHeaderData() {
  FireEvent(OnHeaderData, this);
}
void THttpCli::FireLocationChange() {
  FireEvent(OnLocationChange, this);
}
void THttpCli::FireCommand(const std::string& S) {
  FireEvent(OnCommand, this, S);
}
void THttpCli::FireRequestDone() {
  FireEvent(OnRequestDone, this, requestKind_, doneError_);
}
void THttpCli::FireCookie(const std::string& Data, bool& Accept) {
  FireEvent(OnCookie, this, Data, Accept);
}
void THttpCli::FireSessionConnected() {
  FireEvent(OnSessionConnected, this);
}
void THttpCli::FireRequestHeaderBegin() {
  FireEvent(OnRequestHeaderBegin, this);
}
void THttpCli::FireRequestHeaderEnd() {
  FireEvent(OnRequestHeaderEnd, this);
}
void THttpCli::FireHeaderBegin() {
  FireEvent(OnHeaderBegin, this);
}
void THttpCli::FireHeaderEnd() {
  FireEvent(OnHeaderEnd, this);
}
void THttpCli::FireDocBegin() {
  FireEvent(OnDocBegin, this);
}
void THttpCli::FireDocData(const char* Buffer, int Len) {
  FireEvent(OnDocData, this, Buffer, Len);
}
void THttpCli::FireDocEnd() {
  FireEvent(OnDocEnd, this);
}
void THttpCli::FireSendBegin() {
  FireEvent(OnSendBegin, this);
}
void THttpCli::FireSendData(const char* Buffer, int Len) {
  FireEvent(OnSendData, this, Buffer, Len);
}
void THttpCli::FireSendEnd() {
  FireEvent(OnSendEnd, this);
}

}  // namespace vantrel
