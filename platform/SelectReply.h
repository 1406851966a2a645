// This is a public header file.
// Packing and unpacking the lParam of socket notices and lookup completions.
#pragma once

#include "WinTypes.h"

namespace vantrel {

constexpr LPARAM WSAMakeSelectReply(WORD event, WORD error) {
  return MakeLong(event, error);
}
constexpr WORD WSAGetSelectEvent(LPARAM l) {
  return LoWord(l);
}
constexpr WORD WSAGetSelectError(LPARAM l) {
  return HiWord(l);
}
constexpr WORD WSAGetAsyncBufLen(LPARAM l) {
  return LoWord(l);
}
constexpr WORD WSAGetAsyncError(LPARAM l) {
  return HiWord(l);
}

}  // namespace vantrel
