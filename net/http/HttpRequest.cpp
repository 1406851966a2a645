// THttpCli request composition: the refusal of texts that could inject bytes into the request,
// the request header assembled in one buffer and sent at once, and the POST body transfer.
#include <algorithm>

#include "HttpProt.h"
#include "TextUtils.h"
#include "WSocket.h"

namespace vantrel {
namespace {

constexpr char kControlPrefix[] = "HTTP request refused: control character in ";

// Bytes that must never reach the request line or the host: every control byte and DEL.
bool HasControlByte(const std::string& s) {
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return true;
  }
  return false;
}

// Bytes that would end a header line early (or be cut by a peer reading C strings).
bool HasLineBreak(const std::string& s) {
  // A plain scan: this runs for every header line of every request.
  for (const char c : s) {
    if (c == '\r' || c == '\n' || c == '\0') return true;
  }
  return false;
}

void RefuseControl(const std::string& s, const char* what) {
  if (HasControlByte(s))
    throw EHttpException(std::string(kControlPrefix) + what, httpErrControlChar);
}

void RefuseLineBreak(const std::string& s, const char* what) {
  if (HasLineBreak(s)) throw EHttpException(std::string(kControlPrefix) + what, httpErrControlChar);
}

}  // namespace

void THttpCli::CheckRequestText() const {
  RefuseControl(url_, "URL");
  RefuseControl(proxy_, "Proxy");
  RefuseControl(proxyPort_, "ProxyPort");
  RefuseLineBreak(sender_, "Sender");
  RefuseLineBreak(accept_, "Accept");
  RefuseLineBreak(reference_, "Reference");
  RefuseLineBreak(contentTypePost_, "ContentTypePost");
  RefuseLineBreak(agent_, "Agent");
  RefuseLineBreak(cookie_, "Cookie");
  RefuseLineBreak(contentRangeBegin_, "ContentRangeBegin");
  RefuseLineBreak(contentRangeEnd_, "ContentRangeEnd");
  RefuseLineBreak(username_, "Username");
  RefuseLineBreak(password_, "Password");
  RefuseLineBreak(proxyUsername_, "ProxyUsername");
  RefuseLineBreak(proxyPassword_, "ProxyPassword");
}

void THttpCli::RefuseUnsupportedScheme(const std::string& Url) {
  std::string scheme, user, pass, host, port, path;
  SplitUrl(Url, scheme, user, pass, host, port, path);
  if (!IsSupportedScheme(scheme))
    throw EHttpException("HTTP request refused: unsupported protocol " + scheme,
                         httpErrUnsupportedScheme);
}

void THttpCli::SendHeaderLine(const std::string& S) {
  FireCommand(S);
  if (!S.empty()) requestBuffer_.WriteBuffer(S.data(), static_cast<std::int64_t>(S.size()));
  requestBuffer_.WriteBuffer("\r\n", 2);
}

void THttpCli::SendRequestHeader(const std::string& Method, const std::string& Version) {
  // Properties may have changed since StartRequest checked them (an event handler, a
  // content-range received): every line is checked again before it is assembled, and the
  // buffer only goes out once it is whole.
  const auto line = [this](const std::string& s, const char* what) {
    RefuseLineBreak(s, what);
    SendHeaderLine(s);
  };

  requestBuffer_.Clear();
  FireRequestHeaderBegin();
  // Inside a tunnel the origin server is spoken to directly: the target is its path.
  const std::string& target = tunnelOpen_ ? tunnelPath_ : requestTarget_;
  RefuseControl(target, "request target");
  line(Method + " " + EncodeRequestTarget(target) + " HTTP/" + Version, "request line");
  if (!sender_.empty()) line("From: " + sender_, "Sender");
  if (!accept_.empty()) line("Accept: " + accept_, "Accept");
  if (!reference_.empty()) line("Referer: " + reference_, "Reference");
  if (Method == "POST" && !contentTypePost_.empty())
    line("Content-Type: " + contentTypePost_, "ContentTypePost");
  if (!agent_.empty()) line("User-Agent: " + agent_, "Agent");
  RefuseControl(hostName_, "host");
  line("Host: " + hostName_, "host");
  if (noCache_) line("Pragma: no-cache", "Pragma");
  if (Method == "POST") line("Content-Length: " + IntToStr(bodySize_), "Content-Length");
  if (modifiedSince_ != 0.0)
    line("If-Modified-Since: " + FormatHttpDate(modifiedSince_) + " GMT", "ModifiedSince");
  if (!username_.empty())
    line("Authorization: Basic " + EncodeBase64(username_ + ":" + password_), "Username");
  if (!proxy_.empty() && !tunnelOpen_ && !proxyUsername_.empty())
    line("Proxy-Authorization: Basic " + EncodeBase64(proxyUsername_ + ":" + proxyPassword_),
         "ProxyUsername");
  if (!cookie_.empty()) line("Cookie: " + cookie_, "Cookie");
  if (!contentRangeBegin_.empty() || !contentRangeEnd_.empty()) {
    line("Range: bytes=" + contentRangeBegin_ + "-" + contentRangeEnd_, "ContentRange");
    contentRangeBegin_.clear();
    contentRangeEnd_.clear();
  }
  FireRequestHeaderEnd();
  SendHeaderLine("");
  ctrlSocket_->Send(requestBuffer_.Memory(), static_cast<int>(requestBuffer_.Size()));
  requestBuffer_.Clear();
}

void THttpCli::RewindPostStream() {
  bodySize_ = bodyLeft_ = 0;
  try {
    if (postStream_ == nullptr || postStream_->Seek(0, soBeginning) != 0)
      throw EInOutError("the position stays elsewhere");
    bodySize_ = bodyLeft_ = postStream_->Size();
  } catch (const std::exception& e) {
    throw EHttpException(
        std::string("HTTP component cannot post: the body stream cannot be positioned at its "
                    "start: ") +
            e.what(),
        httpErrPostStream);
  }
}

void THttpCli::HandleSent(TObject*, std::uint16_t) {
  if (!sendingBody_) return;
  try {
    // Exactly the announced size goes out: a stream that grew since is cut there, one that
    // shrank fails the request instead of leaving the server waiting.
    const int pieceSize = BodyPieceSize();
    const std::int64_t want = std::min<std::int64_t>(bodyLeft_, pieceSize);
    if (want > 0 && sendChunkSize_ < pieceSize) {
      sendChunk_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(pieceSize));
      sendChunkSize_ = pieceSize;
    }
    const std::int64_t count =
        want > 0 && postStream_ != nullptr ? postStream_->Read(sendChunk_.get(), want) : 0;
    if (count <= 0 && bodyLeft_ > 0)
      throw EInOutError("the body stream ended after " + IntToStr(bodySize_ - bodyLeft_) + " of " +
                        IntToStr(bodySize_) + " bytes");
    if (count <= 0) {
      sendingBody_ = false;
      FireSendEnd();
      return;
    }
    bodyLeft_ -= count;
    sentBytes_ += count;
    FireSendData(sendChunk_.get(), static_cast<int>(count));
    ctrlSocket_->Send(sendChunk_.get(), static_cast<int>(count));
  } catch (const std::exception& e) {
    // Recorded before it goes on to the socket's background handling, which aborts the
    // connection: the request then ends failed instead of looking like a server's silence.
    Fail(httpErrNotSent, std::string("HTTP request could not be sent: ") + e.what());
    throw;
  }
}

}  // namespace vantrel
