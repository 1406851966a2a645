// This is a public header file.
// The message record a component's window hands on, and the word helpers that pack and unpack
// message parameters. Included by WinTypes.h once the Windows types are declared.
#pragma once

#include <cstdint>

namespace vantrel {

// The record handed to a component's per-window dispatch (Msg, WParam, LParam, Result).
struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

constexpr WORD LoWord(LPARAM v) {
  return static_cast<WORD>(static_cast<std::uintptr_t>(v) & 0xFFFF);
}
constexpr WORD HiWord(LPARAM v) {
  return static_cast<WORD>((static_cast<std::uintptr_t>(v) >> 16) & 0xFFFF);
}
constexpr BYTE LoByte(WORD v) {
  return static_cast<BYTE>(v & 0xFF);
}
constexpr BYTE HiByte(WORD v) {
  return static_cast<BYTE>(v >> 8);
}
constexpr LPARAM MakeLong(WORD lo, WORD hi) {
  return static_cast<LPARAM>(static_cast<std::uint32_t>(lo) |
                             (static_cast<std::uint32_t>(hi) << 16));
}

}  // namespace vantrel
