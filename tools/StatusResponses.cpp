#include "StatusResponses.h"

#include "GifPicture.h"

namespace vantrel {
namespace {

TResponseBytes Build(const std::string& Status, const std::string& Type, const std::string& Body) {
  const std::string Head =
      "HTTP/1.0 " + Status + "\r\nServer: vantrel-status-service\r\nContent-Type: " + Type +
      "\r\nContent-Length: " + std::to_string(Body.size()) + "\r\nPragma: no-cache\r\nConnection: ";
  TResponseBytes Out;
  Out.Closing = Head + "close\r\n\r\n";
  Out.ClosingHead = Out.Closing.size();
  Out.Closing += Body;
  Out.KeepingOpen = Head + "keep-alive\r\n\r\n";
  Out.KeepingOpenHead = Out.KeepingOpen.size();
  Out.KeepingOpen += Body;
  return Out;
}

}  // namespace

TStatusResponses::TStatusResponses()
    : notFound_(Build("404 Not Found", "text/html",
                      "<html><body><h1>404 Not Found</h1></body></html>\r\n")),
      badRequest_(Build("400 Bad Request", "text/plain", "Bad Request\r\n")),
      notImplemented_(Build("501 Not Implemented", "text/plain", "Not Implemented\r\n")) {}

const TResponseBytes& TStatusResponses::Picture(const TAnswer& Chosen) {
  const std::int64_t Size =
      Chosen.Size >= 0 ? Chosen.Size : static_cast<std::int64_t>(DefaultPictureSize(Chosen.Status));
  auto [It, Added] = pictures_[Chosen.Status].try_emplace(Size);
  if (Added)
    It->second =
        Build("200 OK", "image/gif", StatusGif(Chosen.Status, static_cast<std::size_t>(Size)));
  return It->second;
}

}  // namespace vantrel
