// This is an internal header of the local status service.
// Real GIF pictures of the status flower, padded to an exact size with a comment block so that
// each status lands in its size band.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>

#include "IcqStatus.h"

namespace vantrel {

// The smallest picture of the flower in Status's colours (about 190 bytes).
std::string StatusGif(TIcqStatus Status);
// The same picture grown to exactly Size bytes (comment data, and, for the few sizes a comment
// cannot make, image data cut into more sub-blocks). Below the smallest size: the first Size bytes
// of the smallest picture (0 gives an empty body).
std::string StatusGif(TIcqStatus Status, std::size_t Size);

}  // namespace vantrel
