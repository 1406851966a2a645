#include "StatusCheck.h"

namespace vantrel {

std::string StatusUrl(const std::string& Uin) {
  return std::string(StatusServicePrefix) + Uin + StatusUrlSuffix;
}

TIcqStatus ClassifyStatusSize(std::int64_t Size) {
  if (Size < 460) return isOnline;
  if (Size > 460 && Size < 1000) return isOffline;
  return isUnknown;
}

const char* StatusSuffix(TIcqStatus Status) {
  switch (Status) {
    case isOnline:
      return " : Online";
    case isOffline:
      return " : Offline";
    case isUnknown:
    default:
      return " : Unknown";
  }
}

void ConfigureStatusClient(THttpCli& Http) {
  Http.SetProxyPort("80");
  Http.SetAgent("Mozilla/3.0 (compatible)");
  Http.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
  Http.SetNoCache(true);
  Http.SetContentTypePost("application/x-www-form-urlencoded");
  Http.SetMultiThreaded(false);
  Http.SetProxy("");
  Http.SetTimeLimit(StatusTimeLimitMs);
}

TStatusCheck::TStatusCheck(THttpCli& Http) : http_(Http) {}

TStatusCheck::~TStatusCheck() {
  if (file_ && http_.ReceiveStream() == file_.get()) http_.SetReceiveStream(nullptr);
}

void TStatusCheck::Fetch(const std::string& Uin) {
  http_.SetURL(StatusUrl(Uin));
  file_ = std::make_unique<TFreshFileStream>(StatusFileName);
  http_.SetReceiveStream(file_.get());
  http_.GetDocument();
  http_.SetReceiveStream(nullptr);
  file_.reset();
}

std::int64_t TStatusCheck::MeasureFile() {
  TFileStream File(StatusFileName, fmOpenRead);
  return File.Size();
}

void TStatusCheck::DeleteFile() {
  vantrel::DeleteFile(StatusFileName);
}

void TStatusCheck::Abandon() {
  if (http_.ReceiveStream() != nullptr) {
    http_.SetReceiveStream(nullptr);
    file_.reset();
  }
  DeleteFile();
}

}  // namespace vantrel
