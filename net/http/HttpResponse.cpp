// THttpCli response processing: received bytes cut into header lines, the status line and the
// known fields, the switch to the document, document delivery, and relocation.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "HttpProt.h"
#include "TextUtils.h"
#include "WSocket.h"

namespace vantrel {
namespace {

constexpr int kReceiveCapacity = 0x2000;
// One read of the document phase. Per byte, reading 8192 at a time costs a read and a readiness
// check per 8 KiB and falls well behind clients that read 100 KiB at a time; the chunks handed
// out stay at most kReceiveCapacity bytes.
constexpr int kDocumentReadSize = 0x20000;

// ":" and the port, or nothing for the default port.
std::string PortSuffix(const std::string& port) {
  return port.empty() || port == "80" ? std::string() : ":" + port;
}

bool IsStatusLine(const std::string& line) {
  return line.compare(0, 8, "HTTP/1.0") == 0 || line.compare(0, 8, "HTTP/1.1") == 0;
}

std::string Part(const std::string& s, std::size_t from, std::size_t count = std::string::npos) {
  return from >= s.size() ? std::string() : s.substr(from, count);
}

// A field value: what follows the colon without the optional white space around it.
std::string FieldValue(const std::string& line, std::size_t colon) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t begin = colon + 1;
  std::size_t end = line.size();
  while (begin < end && blank(line[begin])) ++begin;
  while (end > begin && blank(line[end - 1])) --end;
  return line.substr(begin, end - begin);
}

}  // namespace

void THttpCli::HandleIncoming(TObject*, std::uint16_t) {
  try {
    TakeIncoming();
  } catch (const std::exception& e) {
    // The socket drops what its data handler raises, without closing: end the request here so
    // that it cannot wait for ever on data that will never be taken.
    const auto* http = dynamic_cast<const EHttpException*>(&e);
    if (http != nullptr && http->HttpCode() == httpErrLineTooLong)
      Fail(httpErrLineTooLong, http->Message());
    else
      Fail(httpErrBadResponse, std::string("HTTP response could not be processed: ") + e.what());
    try {
      ctrlSocket_->AbortSession();
    } catch (...) {
    }
    throw;
  }
}

void THttpCli::TakeIncoming() {
  // Nothing held in the document phase (the header's end hands its rest over at once): read in
  // large pieces. Bytes held after an "<HTML>" line take the usual way first.
  if (state_ == hsAwaitingDocument && receiveLength_ == 0 && requestKind_ != rqNone) {
    TakeDocumentData();
    return;
  }
  const int freeSpace = kReceiveCapacity - receiveLength_;
  if (freeSpace <= 0) throw EHttpException("HTTP line too long", httpErrLineTooLong);
  char* const buf = receiveBuffer_.data();
  const int count = ctrlSocket_->ReadData(buf + receiveLength_, freeSpace);
  if (requestKind_ == rqNone || count <= 0) return;
  buf[receiveLength_ + count] = '\0';
  receiveLength_ += count;

  if (state_ == hsAwaitingDocument) {
    if (receiveLength_ > 0 && !RequestCutOff()) {
      currentLine_.assign(buf, static_cast<std::size_t>(receiveLength_));
      RunLineHandler();
    }
    receiveLength_ = 0;
    return;
  }

  // A handler may end the request (abort, time limit): no further line is taken in then.
  while (receiveLength_ > 0 && !RequestCutOff()) {
    // A zero byte hides any line feed after it.
    const std::size_t searchable = strnlen(buf, static_cast<std::size_t>(receiveLength_));
    const auto* lf = static_cast<const char*>(std::memchr(buf, '\n', searchable));
    if (lf == nullptr) break;
    const auto lineLength = static_cast<std::size_t>(lf - buf);
    std::size_t keep = lineLength;
    if (keep > 0 && buf[keep - 1] == '\r') --keep;
    currentLine_.assign(buf, keep);
    lineEnd_.assign(buf + keep, lineLength + 1 - keep);
    const int consumed = static_cast<int>(lineLength) + 1;
    // The rest moves forward with its trailing zero byte.
    std::memmove(buf, buf + consumed, static_cast<std::size_t>(receiveLength_ - consumed) + 1);
    receiveLength_ -= consumed;
    if (state_ == hsAwaitingHeader || state_ == hsAwaitingDocument) RunLineHandler();
  }
}

void THttpCli::TakeDocumentData() {
  if (!documentBuffer_) documentBuffer_ = std::make_unique<char[]>(kDocumentReadSize);
  const int count = ctrlSocket_->ReadData(documentBuffer_.get(), kDocumentReadSize);
  // A handler may end the request (abort, time limit) between two chunks: nothing follows then.
  for (int at = 0; at < count && !ending_ && state_ == hsAwaitingDocument; at += kReceiveCapacity) {
    currentLine_.assign(documentBuffer_.get() + at,
                        static_cast<std::size_t>(std::min(count - at, kReceiveCapacity)));
    RunLineHandler();
  }
}

void THttpCli::RunLineHandler() {
  if (lineHandler_ != nullptr)
    (this->*lineHandler_)();
  else
    PostSetReady();
}

void THttpCli::ProcessHeaderLine() {
  if (headerLineCount_ == 0) FireHeaderBegin();
  ++headerLineCount_;
  const std::string line = currentLine_;

  if (LowerCase(line.substr(0, 6)) == "<html>") {
    // No header at all: the answer is the document.
    if (documentType_.empty()) documentType_ = "text/html";
    headerlessHtml_ = true;
    ChangeRequestState(hsAwaitingDocument);
    lineHandler_ = &THttpCli::ProcessDocumentData;
    FireHeaderEnd();
    if (RequestCutOff()) return;
    // The line goes out with its line end and the bytes held behind it: the document reaches
    // the caller as it was sent.
    currentLine_ = line + lineEnd_;
    currentLine_.append(receiveBuffer_.data(), static_cast<std::size_t>(receiveLength_));
    receiveLength_ = 0;
    ProcessDocumentData();
    return;
  }

  if (!line.empty()) {
    responseHeader_.Add(line);
    if (IsStatusLine(line)) {
      responseCode_ = StrToInt(Part(line, 9, 3));
      responseText_ = Part(line, 13);
    } else if (line.find(':') != std::string::npos) {
      ProcessHeaderField(line);
    }
    FireHeaderData();
    if (responseCode_ >= 400 && !RequestCutOff()) ctrlSocket_->CloseSession();
    return;
  }

  if (relocationPending_) {
    EndHeaderAndRelocate();
    return;
  }

  const int dot = LastPos(".", documentName_);
  if (dot > 0 && LowerCase(documentName_.substr(static_cast<std::size_t>(dot - 1))) == ".exe" &&
      documentType_ == "text/html")
    SwapExtension(documentName_, "htm");
  ChangeRequestState(hsAwaitingDocument);
  lineHandler_ = &THttpCli::ProcessDocumentData;
  FireHeaderEnd();
  if (receiveLength_ > 0 && !RequestCutOff()) {
    currentLine_.assign(receiveBuffer_.data(), static_cast<std::size_t>(receiveLength_));
    ProcessDocumentData();
    receiveLength_ = 0;
  }
}

void THttpCli::ProcessHeaderField(const std::string& line) {
  const std::size_t colon = line.find(':');
  const std::string name = LowerCase(line.substr(0, colon));
  const std::string value = FieldValue(line, colon);
  if (name == "location") {
    relocationPending_ = true;
    ComputeRelocation(value);
    currentLocation_ = requestTarget_;
  } else if (name == "content-length") {
    documentLength_ = StrToInt64(value);
  } else if (name == "content-range") {
    // "bytes first-last/total"
    const std::size_t dash = value.find('-', 6);
    const std::size_t slash = dash == std::string::npos ? std::string::npos : value.find('/', dash);
    if (value.compare(0, 6, "bytes ") == 0 && slash != std::string::npos) {
      contentRangeBegin_ = value.substr(6, dash - 6);
      contentRangeEnd_ = value.substr(dash + 1, slash - dash - 1);
    }
  } else if (name == "content-type") {
    documentType_ = LowerCase(value);
  } else if (name == "www-authenticate") {
    authChallenges_.Add(value);
  } else if (name == "set-cookie") {
    bool accept = true;
    FireCookie(value, accept);
  }
}

void THttpCli::ProcessDocumentData() {
  if (documentChunkCount_ == 0) FireDocBegin();
  ++documentChunkCount_;
  const auto count = static_cast<int>(currentLine_.size());
  receivedBytes_ += count;
  FireDocData(currentLine_.data(), count);
  if (receiveStream_ != nullptr && count > 0)
    receiveStream_->WriteBuffer(currentLine_.data(), count);
}

void THttpCli::EndHeaderAndRelocate() {
  FireHeaderEnd();
  receiveLength_ = 0;
  headerLineCount_ = 0;
  documentChunkCount_ = 0;
  bool refused = false;
  if (++relocationCount_ > HttpMaxRelocations) {
    Fail(httpErrTooManyRelocations, "HTTP relocation limit reached: more than " +
                                        IntToStr(HttpMaxRelocations) + " relocations");
    refused = true;
  } else {
    try {
      RefuseUnsupportedScheme(requestTarget_);
    } catch (const EHttpException& e) {
      Fail(e.HttpCode(), e.Message());
      refused = true;
    }
    for (const std::string* s : {&requestTarget_, &targetHost_, &targetPort_, &hostName_}) {
      for (const char c : *s) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) refused = true;
      }
    }
    if (refused)
      Fail(httpErrControlChar, "HTTP request refused: control character in relocation target");
  }
  if (refused) {
    // The request ends here, through the ordinary close.
    relocationPending_ = false;
    ctrlSocket_->CloseSession();
    return;
  }
  AttachClosedHandler(true);
  ctrlSocket_->CloseSession();
}

void THttpCli::ComputeRelocation(const std::string& location) {
  std::string scheme, user, pass, host, port, path;
  SplitUrl(location, scheme, user, pass, host, port, path);
  // A location without a scheme keeps the current request's.
  const std::string schemeOrHttp = !scheme.empty() ? scheme
                                   : secure_       ? std::string("https")
                                                   : std::string("http");
  if (!proxy_.empty()) {
    // The next request goes to the proxy again, with an absolute URL. A path or a bare name
    // resolves against the URL of the request that received it: its scheme, host and port.
    std::string curScheme, curUser, curPass, curHost, curPort, curPath;
    SplitUrl(requestTarget_, curScheme, curUser, curPass, curHost, curPort, curPath);
    const std::string origin = (curScheme.empty() ? schemeOrHttp : curScheme) + "://" +
                               (curHost.empty() ? hostName_ : curHost) + PortSuffix(curPort);
    if (path.empty()) {
      requestTarget_ = origin + "/" + host;
    } else if (host.empty()) {
      requestTarget_ = origin + path;
    } else {
      requestTarget_ = location;
      hostName_ = host;  // the Host line names the server the URL names
    }
  } else if (!location.empty() && location[0] == '/') {
    requestTarget_ = location;
  } else if (!scheme.empty() && !host.empty()) {
    // As a first request to that URL: its host, its port (80 when it names none) and a Host
    // line naming it; the request line keeps the absolute form with the port.
    targetHost_ = host;
    hostName_ = host;
    secure_ = IsHttps(scheme);
    targetPort_ = port.empty() ? DefaultPort(scheme) : port;
    requestTarget_ = scheme + "://" + host + PortSuffix(port) + path;
  } else if (path.empty() || host.empty()) {
    // An absolute target built from HostName names the port the request goes to.
    targetHost_ = hostName_;
    if (!port.empty()) targetPort_ = port;
    const std::string origin =
        schemeOrHttp + "://" + hostName_ +
        (targetPort_ == DefaultPort(schemeOrHttp) ? std::string() : PortSuffix(targetPort_));
    requestTarget_ = path.empty() ? origin + "/" + host : origin + path;
  } else {
    targetHost_ = host;
    hostName_ = host;
    requestTarget_ = path;
    if (!port.empty()) targetPort_ = port;
  }
  currentLocation_ = requestTarget_;
}

}  // namespace vantrel
