// This is an internal header of the local status service.
// Reading a request for a status picture: "GET /scripts/online.dll?icq=UIN&img=N HTTP/1.0" in
// origin form, or with "http://host[:port]" before the path as a proxy receives it.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel {

inline constexpr char StatusPath[] = "/scripts/online.dll";

struct TStatusRequest {
  std::string Method;
  std::string Target;   // as sent
  std::string Version;  // "HTTP/1.0", ...
  std::string Path;     // the target without scheme, host and query
  std::string Uin;      // value of "icq" in the query
  std::string Img;      // value of "img" in the query
  bool HasUin = false;
  bool KeepAlive = false;  // a "Connection" field naming keep-alive
};

// Length of the header including its empty line (CR LF CR LF, or LF LF), or npos while it is
// incomplete.
std::size_t FindHeaderEnd(const std::string& Data);
// Reads the request line of Header and its "Connection" fields. False when the request line is not
// "METHOD TARGET HTTP/x.y". A UIN holding blanks is kept: the target is everything between the
// first and the last blank.
bool ParseStatusRequest(std::string_view Header, TStatusRequest& Out);
// A GET or HEAD of the status path with an "icq" value.
bool IsStatusQuery(const TStatusRequest& Request);

}  // namespace vantrel
