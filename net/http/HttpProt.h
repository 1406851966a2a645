// This is a public header file.
// HttpProt: THttpCli, an event-driven HTTP/1.0 client component (GET, POST, HEAD, HTTP proxy,
// basic authorization, relocation, byte ranges, cookies reported, a synchronous request), its
// exception EHttpException, and the URL, base64 and date helpers it uses.
//
// Thread rule for the whole unit: a THttpCli, its control socket, its hidden window and all its
// events live on the thread that created the component; call its operations from that thread
// only. Events run inside messages dispatched by that thread's message loop; do not destroy the
// component from inside one of its own events. The free helper functions keep no state and may
// be called from any thread.
//
// Notes:
// - A relative location keeps the port. A path ("/y") or a bare name ("y.html") is made into an
//   absolute target from the current request's host; that target carries ":" and the port of the
//   current request unless the port is "80". Through a proxy the scheme, host and port are taken
//   from the current request's absolute target ("http://h:8080/x" relocated to "/y" gives
//   "http://h:8080/y"); directly, the port is the one the relocated request connects to
//   (TargetPort, or the port the location names). An absolute location is fetched as a first
//   request to it would be: its own host and port (80 when it names none), and the Host line
//   names that host.
// - In the document phase the control socket is read 256 KiB at a time and the bytes are handed
//   out in order, in chunks of at most 8192 bytes (one OnDocData and one ReceiveStream write
//   each), with CurrentLine holding the chunk; reading 8 KiB at a time cost a read and a
//   readiness check per 8 KiB. A chunk is copied into CurrentLine only when CurrentLine is asked
//   for, so a document that only goes to OnDocData and ReceiveStream is not copied on the way.
//   The header phase still reads into the 8192-byte buffer. Once a handler has ended the request
//   failed (an abort, the time limit), no further header line or chunk is delivered.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Component.h"
#include "DateTime.h"
#include "Exceptions.h"
#include "NotifyWindow.h"
#include "Streams.h"
#include "StringList.h"
#include "WSocket.h"  // TSocksAuthentication
#include "WinTypes.h"

namespace vantrel {

class TWSocket;

// Kind of an HTTP request.
enum THttpRequest : std::uint8_t { rqNone, rqGet, rqPost, rqHead };

// State of the request cycle. hsIdle is the only state in which a request may start.
enum THttpCliState : std::uint8_t {
  hsIdle,
  hsStarting,
  hsConnected,
  hsResolving,
  hsConnecting,
  hsAwaitingHeader,
  hsAwaitingDocument
};

// Event types. Sender is always the component.
using TNotifyEvent = std::function<void(TObject* Sender)>;
// A document chunk (OnDocData) or a piece of the POST body (OnSendData). Buffer is valid for the
// duration of the call only.
using TDocDataEvent = std::function<void(TObject* Sender, const char* Buffer, int Len)>;
// One request header line as it is assembled; the final empty line too.
using TOnCommand = std::function<void(TObject* Sender, const std::string& S)>;
// The value of a set-cookie header. Accept starts true; its value is not used.
using TCookieRcvdEvent =
    std::function<void(TObject* Sender, const std::string& Data, bool& Accept)>;
// Once per request, after the state has returned to hsIdle. Error is 0 on success, otherwise
// see the failure codes below.
using THttpRequestDone =
    std::function<void(TObject* Sender, THttpRequest RqType, std::uint16_t Error)>;

// Messages the component posts to its own hidden window (wParam and lParam 0).
constexpr UINT WM_HTTP_REQUEST_DONE = WM_USER + 1;
constexpr UINT WM_HTTP_SET_READY = WM_USER + 2;
constexpr UINT WM_HTTP_RELOCATE = WM_USER + 3;

// EHttpException codes (HttpCode()). A request refused at once raises from StartRequest or
// RunRequest; one that fails later ends with a non-zero OnRequestDone Error and RunRequest raises.
//
//   code  message                                              when
//   1     "HTTP component is busy"                             start while a request runs
//   2     "HTTP component has nothing to post"                 rqPost without PostStream
//   4     "HTTP line too long"                                 a header line fills the 8192-byte
//                                                              buffer; the connection is aborted
//   5     "HTTP request refused: control character in " +      URL, Proxy, host or request target
//         what ("URL", "Proxy", "Agent", ...,                  holds a byte below 0x20 or 0x7F, or
//         "relocation target")                                 a header property holds CR or LF;
//                                                              nothing is sent. Raised by
//                                                              StartRequest; for a relocation
//                                                              target, the request ends failed
//   6     "HTTP response ended short: " + detail, detail one   the connection ended before the
//         of "no response", "header cut off",                  response did (not for HEAD, 204,
//         "connection broken during the header: " or           304, a relocation or a status of
//         "connection broken during the document: " +          400 or more, and not the missing
//         socket error text + " (Error #" + code + ")",        header of an "<HTML>" answer)
//         "received " + n + " of " + m + " document bytes"
//   7     "HTTP relocation limit reached: more than 20         a relocation chain went past
//         relocations"                                         HttpMaxRelocations
//   8     "HTTP request could not be sent: " + reason          composing or sending the request
//                                                              raised
//   9     "HTTP response could not be processed: " + reason    a status code or content length
//                                                              that is not a number, a
//                                                              ReceiveStream write error, an
//                                                              exception from an event handler
//                                                              run by received data; the
//                                                              connection is aborted
//   11    "HTTP component cannot post: the body stream cannot  PostStream cannot be set back to
//         be positioned at its start" (+ ": " + reason)         its start; raised by StartRequest,
//                                                              or ends a relocated POST before it
//                                                              is sent
//         "HTTP request could not be sent: the body stream     PostStream gave fewer bytes than
//         ended after n of m bytes"                            its announced size (code 8)
//   12    "HTTP request refused: unsupported protocol " +      URL (raised by StartRequest) or a
//         scheme                                               relocation names a scheme that
//                                                              IsSupportedScheme refuses; nothing
//                                                              is sent
//   404   "can't resolve hostname to IP address"               lookup failure
//   404   "can't connect: " + text + " (Error #" + n + ")"     Connect raised
//   404   text + " (Error #" + n + ")"                         connection refused or failed
//   404   "SOCKS negotiation failed: " + the SOCKS layer's     the SOCKS server refused, or
//         text + " (Error #" + n + ")"                         closed the connection before the
//                                                              way to the target was open
//   404   "HTTP request timed out (Error #10060)"              TimeLimit ran out
//   >=400 the server's reason phrase                           a status of 400 or more
//
// OnRequestDone's Error: the Windows Sockets code for a lookup or connect failure, a broken
// connection (10054, 10053), a SOCKS failure (20001-20019, or 10054 when the SOCKS server closed)
// and a time-out (10060); the HttpCode above for failures 4 to 12; 0
// otherwise (also for a server status of 400 or more).
constexpr int httpErrBusy = 1;
constexpr int httpErrNothingToPost = 2;
constexpr int httpErrLineTooLong = 4;
constexpr int httpErrControlChar = 5;
constexpr int httpErrShortResponse = 6;
constexpr int httpErrTooManyRelocations = 7;
constexpr int httpErrNotSent = 8;
constexpr int httpErrBadResponse = 9;
constexpr int httpErrPostStream = 11;
constexpr int httpErrUnsupportedScheme = 12;
constexpr int httpErrTimedOut = 10060;  // OnRequestDone Error of a time-out (HttpCode is 404)

// Relocations followed within one request before it fails with httpErrTooManyRelocations.
constexpr int HttpMaxRelocations = 20;
// A POST body goes to the socket in pieces of at most HttpDefaultBodyPieceSize bytes (one
// OnSendData each) unless SendBlockSize asks for larger ones; HttpLargeBodyPieceSize is a good
// choice for large bodies.
constexpr int HttpDefaultBodyPieceSize = 0x2001;
constexpr int HttpLargeBodyPieceSize = 256 * 1024;

class EHttpException : public Exception {
 public:
  EHttpException(std::string message, int httpCode)
      : Exception(std::move(message)), httpCode_(httpCode) {}
  int HttpCode() const noexcept { return httpCode_; }

 private:
  int httpCode_;
};

class THttpCli : public TComponent, public TWindowMessageTarget {
 public:
  // Creates the hidden window and the control socket (owned, freed with the component).
  explicit THttpCli(TComponent* Owner);
  ~THttpCli() override;

  // Starts a request and returns at once; the end is signalled by hsIdle and OnRequestDone.
  // Raises EHttpException 1, 2 or 5 (see above) before any state change.
  void StartRequest(THttpRequest RqType);
  // StartRequest, then runs the thread's messages (blocking while none is pending) until the
  // request is over; raises EHttpException for a failure or a status of 400 or more.
  void RunRequest(THttpRequest RqType);
  void GetDocument() { RunRequest(rqGet); }

  // Properties. Strings are byte strings.
  const std::string& URL() const { return url_; }
  void SetURL(const std::string& v) { url_ = v; }
  const std::string& Proxy() const { return proxy_; }
  void SetProxy(const std::string& v) { proxy_ = v; }
  const std::string& ProxyPort() const { return proxyPort_; }
  void SetProxyPort(const std::string& v) { proxyPort_ = v; }
  const std::string& Sender() const { return sender_; }
  void SetSender(const std::string& v) { sender_ = v; }
  const std::string& Agent() const { return agent_; }
  void SetAgent(const std::string& v) { agent_ = v; }
  const std::string& Accept() const { return accept_; }
  void SetAccept(const std::string& v) { accept_ = v; }
  const std::string& Reference() const { return reference_; }
  void SetReference(const std::string& v) { reference_ = v; }
  const std::string& Username() const { return username_; }
  void SetUsername(const std::string& v) { username_ = v; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& v) { password_ = v; }
  const std::string& ProxyUsername() const { return proxyUsername_; }
  void SetProxyUsername(const std::string& v) { proxyUsername_ = v; }
  const std::string& ProxyPassword() const { return proxyPassword_; }
  void SetProxyPassword(const std::string& v) { proxyPassword_ = v; }
  bool NoCache() const { return noCache_; }
  void SetNoCache(bool v) { noCache_ = v; }
  TDateTime ModifiedSince() const { return modifiedSince_; }
  void SetModifiedSince(TDateTime v) { modifiedSince_ = v; }
  const std::string& Cookie() const { return cookie_; }
  void SetCookie(const std::string& v) { cookie_ = v; }
  const std::string& ContentTypePost() const { return contentTypePost_; }
  void SetContentTypePost(const std::string& v) { contentTypePost_ = v; }
  const std::string& ContentRangeBegin() const { return contentRangeBegin_; }
  void SetContentRangeBegin(const std::string& v) { contentRangeBegin_ = v; }
  const std::string& ContentRangeEnd() const { return contentRangeEnd_; }
  void SetContentRangeEnd(const std::string& v) { contentRangeEnd_ = v; }
  // Shared with the control socket: its message pump is the one RunRequest runs.
  bool MultiThreaded() const { return ctrlSocket_->MultiThreaded(); }
  void SetMultiThreaded(bool v) { ctrlSocket_->SetMultiThreaded(v); }
  // SOCKS server for the control connection; off while SocksServer is empty (the default). The
  // settings are given to the control socket before every connection (a close clears them
  // there). With level "5" or "4A" the SOCKS server resolves the target host and no local lookup
  // is made; level "4" needs the lookup. An invalid level fails the request at the connection.
  const std::string& SocksServer() const { return socksServer_; }
  void SetSocksServer(const std::string& v) { socksServer_ = v; }
  const std::string& SocksPort() const { return socksPort_; }
  void SetSocksPort(const std::string& v) { socksPort_ = v; }
  // "4", "4A" or "5" (the default).
  const std::string& SocksLevel() const { return socksLevel_; }
  void SetSocksLevel(const std::string& v) { socksLevel_ = v; }
  const std::string& SocksUsercode() const { return socksUsercode_; }
  void SetSocksUsercode(const std::string& v) { socksUsercode_ = v; }
  const std::string& SocksPassword() const { return socksPassword_; }
  void SetSocksPassword(const std::string& v) { socksPassword_ = v; }
  TSocksAuthentication SocksAuthentication() const { return socksAuthentication_; }
  void SetSocksAuthentication(TSocksAuthentication v) { socksAuthentication_ = v; }
  // TLS for "https" URLs (port 443 unless the URL names one): the settings are given to the
  // control socket before every connection. SslVerifyPeer (on by default) checks the server's
  // certificate and its host name, against SslCAFile when set, else the system's trust store;
  // SslCertFile and SslKeyFile present a client certificate. Through an HTTP proxy an https
  // request opens a CONNECT tunnel first (a refused CONNECT ends the request with the proxy's
  // status); through SOCKS, TLS runs over the SOCKS connection. A document that ends without the
  // server's close_notify is a short response (6): the stream may have been cut. The negotiated
  // version and cipher are CtrlSocket()->SslVersion() and SslCipher().
  bool SslVerifyPeer() const { return sslVerifyPeer_; }
  void SetSslVerifyPeer(bool v) { sslVerifyPeer_ = v; }
  const std::string& SslCAFile() const { return sslCAFile_; }
  void SetSslCAFile(const std::string& v) { sslCAFile_ = v; }
  const std::string& SslCertFile() const { return sslCertFile_; }
  void SetSslCertFile(const std::string& v) { sslCertFile_ = v; }
  const std::string& SslKeyFile() const { return sslKeyFile_; }
  void SetSslKeyFile(const std::string& v) { sslKeyFile_ = v; }
  // Request time limit in milliseconds, counted from StartRequest to the end of the request
  // (relocations included); 0, the default, means none. When it runs out the connection is
  // aborted and the request ends with ResponseCode 404, "HTTP request timed out (Error #10060)"
  // and OnRequestDone Error 10060.
  int TimeLimit() const { return timeLimit_; }
  void SetTimeLimit(int ms) { timeLimit_ = ms < 0 ? 0 : ms; }
  // Opt-in for large bodies: > 0 reads PostStream and sends it in pieces of this size (at most
  // MaxSendBlockSize), each in one send block of the connection, so few stream reads and sends
  // carry the body. <= 0 (the default): pieces of HttpDefaultBodyPieceSize over the socket's
  // default blocks.
  int SendBlockSize() const { return sendBlockSize_; }
  void SetSendBlockSize(int size) {
    sendBlockSize_ = size <= 0 ? 0 : std::min<int>(size, MaxSendBlockSize);
  }

  // Borrowed streams, owned by the caller, never freed by the component. Every document byte is
  // written to ReceiveStream (when set), which is never repositioned. Every request that carries
  // a body (the first, a repeated and a relocated POST) sets PostStream back to its start and
  // sends exactly its size, the length the request announces.
  TStream* ReceiveStream() const { return receiveStream_; }
  void SetReceiveStream(TStream* v) { receiveStream_ = v; }
  // The body goes out in pieces of at most BodyPieceSize() bytes (see SendBlockSize).
  TStream* PostStream() const { return postStream_; }
  void SetPostStream(TStream* v) { postStream_ = v; }

  // Read-only attributes.
  THttpCliState RequestState() const { return state_; }
  THttpRequest RequestKind() const { return requestKind_; }
  int ResponseCode() const { return responseCode_; }
  const std::string& ResponseText() const { return responseText_; }
  std::int64_t DocumentLength() const { return documentLength_; }
  const std::string& DocumentType() const { return documentType_; }
  const TStringList& ResponseHeader() const { return responseHeader_; }
  const TStringList& AuthChallenges() const { return authChallenges_; }
  std::int64_t ReceivedBytes() const { return receivedBytes_; }
  std::int64_t SentBytes() const { return sentBytes_; }
  const std::string& CurrentLine() const;
  const std::string& DocumentName() const { return documentName_; }
  const std::string& CurrentLocation() const { return currentLocation_; }
  // HttpCode and text of a failure of codes 4 to 12 of the current or last request; 0 and empty
  // when there was none.
  int FailureCode() const { return failureCode_; }
  const std::string& FailureText() const { return failureText_; }
  // The control socket, owned by the component (for OnBgException and diagnostics).
  TWSocket* CtrlSocket() const { return ctrlSocket_.get(); }

  // Events (public members, fired only through the Fire... triggers).
  TNotifyEvent OnStateChange;
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnRequestHeaderBegin;
  TNotifyEvent OnRequestHeaderEnd;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderEnd;
  TNotifyEvent OnHeaderData;
  TNotifyEvent OnDocBegin;
  TNotifyEvent OnDocEnd;
  TDocDataEvent OnDocData;
  TNotifyEvent OnSendBegin;
  TNotifyEvent OnSendEnd;
  TDocDataEvent OnSendData;
  TNotifyEvent OnLocationChange;
  TOnCommand OnCommand;
  TCookieRcvdEvent OnCookie;
  THttpRequestDone OnRequestDone;
  TNotifyEvent OnTrace;  // stored only; nothing raises it

  // Dispatch of the hidden window's messages (called by its window procedure).
  void HandleWindowMessage(TMessage& Msg) override;

 protected:
  // Virtual operations, in slot order.
  virtual void SendHeaderLine(const std::string& S);
  virtual void BeginLookup();
  virtual void DropConnection();
  virtual void RelocationClosed(TObject* Sender, std::uint16_t Error);
  virtual void FireCookie(const std::string& Data, bool& Accept);
  virtual void FireSessionConnected();
  virtual void FireRequestHeaderBegin();
  virtual void FireRequestHeaderEnd();
  virtual void FireHeaderBegin();
  virtual void FireHeaderEnd();
  virtual void FireDocBegin();
  virtual void FireDocData(const char* Buffer, int Len);
  virtual void FireDocEnd();
  virtual void FireSendBegin();
  virtual void FireSendData(const char* Buffer, int Len);
  virtual void FireSendEnd();

  // Triggers of the events that have no trigger of their own in the slot table.
  void FireStateChange();
  void FireHeaderData();
  void FireLocationChange();
  void FireCommand(const std::string& S);
  void FireRequestDone();

 private:
  using TLineHandler = void (THttpCli::*)();

  // Request cycle (HttpCli.cpp).
  void PrepareTargets();
  void HandleLookupDone(TObject* Sender, std::uint16_t Error);
  // Gives the SOCKS settings to the control socket and connects it to addr.
  void ConnectControlSocket(const std::string& addr);
  bool SocksResolvesHost() const;
  void HandleConnected(TObject* Sender, std::uint16_t Error);
  void HandleClosed(TObject* Sender, std::uint16_t Error);
  void PostSetReady();
  void ChangeRequestState(THttpCliState NewState);
  void AttachClosedHandler(bool relocating);
  void StartTimeLimit();
  void StopTimeLimit();
  void TimeLimitReached();
  void Fail(int code, const std::string& text, std::uint16_t error = 0);
  void CheckResponseComplete(std::uint16_t closeError);
  // A SOCKS negotiation that the server ended by closing is a failed connection.
  void CheckSocksCutOff(std::uint16_t closeError);
  // Whether the request has ended failed (abort, time limit): nothing more is delivered then.
  bool RequestCutOff() const;

  // https (HttpTunnel.cpp).
  // Through a proxy, an https target goes through a tunnel to its host and port.
  void UpdateTunnelTarget();
  bool TunnelNeeded() const { return secure_ && !proxy_.empty(); }
  // Gives the TLS settings to the control socket before it connects.
  void PrepareControlTls();
  void SendConnectRequest();
  void ProcessTunnelLine();

  // Request composition (HttpRequest.cpp).
  void CheckRequestText() const;
  // Raises EHttpException 12 when Url names a scheme the client does not fetch.
  static void RefuseUnsupportedScheme(const std::string& Url);
  // Sets PostStream back to its start and records its size as the body to send.
  void RewindPostStream();
  void SendRequestHeader(const std::string& Method, const std::string& Version);
  void HandleSent(TObject* Sender, std::uint16_t Error);

  // Response processing (HttpResponse.cpp).
  void HandleIncoming(TObject* Sender, std::uint16_t Error);
  void TakeIncoming();
  void TakeDocumentData();
  void RunLineHandler();
  void ProcessHeaderLine();
  void ProcessHeaderField(const std::string& name, const std::string& value);
  void ProcessDocumentData();
  // The document chunk being delivered, wherever it lies.
  std::string_view DocumentChunk() const;
  void EndHeaderAndRelocate();
  void ComputeRelocation(const std::string& location);

  // Properties.
  std::string url_, proxy_, proxyPort_ = "80", sender_, agent_ = "Mozilla/3.0 (compatible)",
                            accept_ = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*",
                            reference_, username_, password_, proxyUsername_, proxyPassword_,
                            cookie_, contentTypePost_ = "application/x-www-form-urlencoded",
                            contentRangeBegin_, contentRangeEnd_;
  std::string socksServer_, socksPort_ = "1080", socksLevel_ = "5", socksUsercode_, socksPassword_;
  TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
  bool sslVerifyPeer_ = true;
  std::string sslCAFile_, sslCertFile_, sslKeyFile_;
  bool noCache_ = false;
  TDateTime modifiedSince_ = 0;
  int timeLimit_ = 0;
  int sendBlockSize_ = 0;
  TStream* receiveStream_ = nullptr;  // borrowed
  TStream* postStream_ = nullptr;     // borrowed

  // Attributes.
  THttpCliState state_ = hsIdle;
  THttpRequest requestKind_ = rqNone;
  int responseCode_ = 0;
  std::string responseText_;
  std::int64_t documentLength_ = -1;
  std::string documentType_;
  TStringList responseHeader_;
  TStringList authChallenges_;
  std::int64_t receivedBytes_ = 0;
  std::int64_t sentBytes_ = 0;
  // The current header line or document chunk. A chunk stays in documentBuffer_ (pendingChunk_)
  // until CurrentLine asks for it or the buffer is read into again.
  mutable std::string currentLine_;
  mutable std::string_view pendingChunk_;
  std::string documentName_;
  std::string currentLocation_;
  int failureCode_ = 0;
  std::string failureText_;

  // Internal state.
  std::unique_ptr<TWSocket> ctrlSocket_;
  TNotifyWindow notifyWindow_;
  std::string targetHost_, targetPort_, hostName_, requestTarget_;
  std::array<char, 0x2001> receiveBuffer_{};
  int receiveLength_ = 0;
  // The document phase reads into this larger block (made at the first document) and hands it
  // out in chunks of at most 8192 bytes.
  std::unique_ptr<char[]> documentBuffer_;
  std::unique_ptr<char[]> sendChunk_;  // one body piece, made at the first piece
  int sendChunkSize_ = 0;
  int BodyPieceSize() const {
    return sendBlockSize_ > 0 ? sendBlockSize_ : HttpDefaultBodyPieceSize;
  }
  TMemoryStream requestBuffer_;
  TLineHandler lineHandler_ = nullptr;
  bool sessionOpen_ = false;
  bool sendingBody_ = false;
  bool relocationPending_ = false;
  std::int64_t bodySize_ = 0;  // the announced body size of this connection's POST
  std::int64_t bodyLeft_ = 0;  // what is still to send of it
  // The line end that followed CurrentLine in the header phase ("\r\n", "\n").
  std::string lineEnd_;
  int headerLineCount_ = 0;
  int documentChunkCount_ = 0;
  std::uint16_t doneError_ = 0;
  // Added checks: relocations followed, whether the header was ended by an "<HTML>" line,
  // whether this request's end has been decided, whether a restart is posted, whether the time
  // limit timer runs, and how many closes were handled (to tell whether an abort closed).
  int relocationCount_ = 0;
  bool headerlessHtml_ = false;
  bool ending_ = false;
  bool relocatePosted_ = false;
  bool timerRunning_ = false;
  unsigned closeCount_ = 0;
  // https: the current target's scheme is https; through a proxy, the tunnel's end (host, port,
  // the origin-form target sent inside it), whether it is open, and the proxy's answer so far.
  bool secure_ = false;
  std::string tunnelHost_, tunnelPort_, tunnelPath_;
  bool tunnelOpen_ = false;
  int tunnelStatus_ = 0;
  std::string tunnelText_;
};

// Cuts a URL, a proxy setting or a location value into its parts; every output is cleared
// first. Never fails.
void SplitUrl(const std::string& Url, std::string& Proto, std::string& User, std::string& Pass,
              std::string& Host, std::string& Port, std::string& Path);
// Standard base64 (RFC 2045 alphabet, "=" padding, no line breaks).
std::string EncodeBase64(const std::string& Text);
// "Sat, 01 Jan 2000 00:00:00" for the value as stored (no time-zone conversion); the caller
// appends " GMT".
std::string FormatHttpDate(TDateTime Value);
// 1-based position where the last occurrence of Sub in S starts; 0 when there is none.
int LastPos(const std::string& Sub, const std::string& S);
// Replaces the extension of FileName (after its last ".") by NewExt, or appends "." + NewExt.
void SwapExtension(std::string& FileName, const std::string& NewExt);
// Whether THttpCli fetches URLs of this scheme (case ignored; an empty scheme means "http").
bool IsSupportedScheme(const std::string& Scheme);
// A request target with every byte that may not stand in one (space, '"', '<', '>', '\\', '^',
// '`', '{', '|', '}', bytes of 0x80 and more, and a '%' not followed by two hex digits)
// percent-encoded; everything else, an existing "%XX" included, is kept.
std::string EncodeRequestTarget(const std::string& Target);

}  // namespace vantrel
