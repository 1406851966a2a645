// THttpCli response processing: received bytes cut into header lines, the status line and the
// known fields, the switch to the document, document delivery, and relocation.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "HttpParse.h"
#include "HttpProt.h"
#include "TextUtils.h"
#include "WSocket.h"

namespace vantrel {
namespace {

constexpr int kReceiveCapacity = 0x2000;
// One read of the document phase. Per byte, reading 8192 at a time costs a read and a readiness
// check per 8 KiB and falls well behind clients that read 100 KiB at a time, and each read also
// has the system send a window update; the chunks handed out stay at most kReceiveCapacity bytes.
constexpr int kDocumentReadSize = 0x40000;

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
  pendingChunk_ = {};  // every line from here on is assigned to CurrentLine
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
  if (!documentBuffer_) documentBuffer_ = std::make_unique_for_overwrite<char[]>(kDocumentReadSize);
  CurrentLine();  // the last chunk handed out leaves the buffer before it is read into
  const int count = ctrlSocket_->ReadData(documentBuffer_.get(), kDocumentReadSize);
  // A handler may end the request (abort, time limit) between two chunks: nothing follows then.
  for (int at = 0; at < count && !ending_ && state_ == hsAwaitingDocument; at += kReceiveCapacity) {
    pendingChunk_ =
        std::string_view(documentBuffer_.get() + at,
                         static_cast<std::size_t>(std::min(count - at, kReceiveCapacity)));
    RunLineHandler();
  }
}

const std::string& THttpCli::CurrentLine() const {
  if (pendingChunk_.data() != nullptr) {
    currentLine_.assign(pendingChunk_);
    pendingChunk_ = {};
  }
  return currentLine_;
}

std::string_view THttpCli::DocumentChunk() const {
  return pendingChunk_.data() != nullptr ? pendingChunk_ : std::string_view(currentLine_);
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
    THttpField field;
    if (IsStatusLine(line)) {
      THttpStatusLine status = ParseStatusLine(line);
      responseCode_ = status.code;
      responseText_ = std::move(status.text);
    } else if (ParseHeaderField(line, field)) {
      ProcessHeaderField(field.name, field.value);
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

void THttpCli::ProcessHeaderField(const std::string& name, const std::string& value) {
  if (name == "location") {
    relocationPending_ = true;
    ComputeRelocation(value);
    currentLocation_ = requestTarget_;
  } else if (name == "content-length") {
    documentLength_ = StrToInt64(value);
  } else if (name == "content-range") {
    TContentRange range;
    if (ParseContentRange(value, range)) {
      contentRangeBegin_ = range.first;
      contentRangeEnd_ = range.last;
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
  // Taken before the handler runs: it may ask for CurrentLine, which moves a pending chunk.
  const std::string_view chunk = DocumentChunk();
  const auto count = static_cast<int>(chunk.size());
  receivedBytes_ += count;
  FireDocData(chunk.data(), count);
  if (receiveStream_ != nullptr && count > 0) receiveStream_->WriteBuffer(chunk.data(), count);
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
  THttpTarget target{requestTarget_, targetHost_, targetPort_, hostName_, secure_};
  Relocate(location, !proxy_.empty(), target);
  requestTarget_ = target.requestTarget;
  targetHost_ = target.targetHost;
  targetPort_ = target.targetPort;
  hostName_ = target.hostName;
  secure_ = target.secure;
  currentLocation_ = requestTarget_;
}

}  // namespace vantrel
