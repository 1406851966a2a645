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

// A whole HTTP/1.0 answer; Head() is what a HEAD request gets.
struct TResponseBytes {
  std::string Bytes;
  std::size_t HeadSize = 0;

  std::string_view Whole() const { return Bytes; }
  std::string_view Head() const { return std::string_view(Bytes).substr(0, HeadSize); }
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
