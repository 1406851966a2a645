// This is an internal header of the local status service.
// TStatusResponses: every answer the service sends, built once as the bytes that go on the wire
// (head and body together), so that answering a request copies bytes and builds nothing.
//
// Thread rule: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "StatusTable.h"

namespace vantrel {

// A whole HTTP/1.0 answer, head and body, in its two forms: one that ends the connection
// ("Connection: close") and one that keeps it open ("Connection: keep-alive").
struct TResponseBytes {
  std::string Closing, KeepingOpen;
  std::size_t ClosingHead = 0, KeepingOpenHead = 0;

  // Without the body: what a HEAD request gets.
  std::string_view Bytes(bool WithBody, bool KeepAlive) const {
    const std::string_view Whole = KeepAlive ? KeepingOpen : Closing;
    return WithBody ? Whole : Whole.substr(0, KeepAlive ? KeepingOpenHead : ClosingHead);
  }
};

class TStatusResponses {
 public:
  TStatusResponses();

  // The answer of kind akPicture (or akSlow) for a status and size, built on first use.
  const TResponseBytes& Picture(const TAnswer& Answer);
  const TResponseBytes& NotFound() const { return notFound_; }
  const TResponseBytes& BadRequest() const { return badRequest_; }
  const TResponseBytes& NotImplemented() const { return notImplemented_; }

 private:
  TResponseBytes notFound_, badRequest_, notImplemented_;
  std::unordered_map<std::int64_t, TResponseBytes> pictures_[3];  // by status, then size
};

}  // namespace vantrel
