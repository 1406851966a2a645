// This is an internal header of the Vantrel program.
// UTF-16LE bytes to UTF-8 and back, without loss: the registry's exports and its string data are
// UTF-16, the program's texts UTF-8. A lone surrogate travels as its own three-byte sequence, and
// a byte that starts no valid UTF-8 sequence stands for the code unit of the same value, so every
// UTF-16 text comes back unit for unit.
//
// Thread rule: any thread (pure functions).
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// Pairs of bytes, low byte first; an odd last byte is ignored.
std::string Utf16LeToUtf8(std::string_view Units);
std::string Utf8ToUtf16Le(std::string_view Text);

}  // namespace vantrel
