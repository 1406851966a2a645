#include "Utf16Text.h"

namespace vantrel {
namespace {

void PutUtf8(std::string& Out, char32_t C) {
  if (C < 0x80) {
    Out += static_cast<char>(C);
  } else if (C < 0x800) {
    Out += static_cast<char>(0xC0 | (C >> 6));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  } else if (C < 0x10000) {
    Out += static_cast<char>(0xE0 | (C >> 12));
    Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (C >> 18));
    Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  }
}

void PutUnit(std::string& Out, char32_t Unit) {
  Out += static_cast<char>(Unit & 0xFF);
  Out += static_cast<char>(Unit >> 8);
}

bool IsHigh(char32_t U) {
  return U >= 0xD800 && U < 0xDC00;
}
bool IsLow(char32_t U) {
  return U >= 0xDC00 && U < 0xE000;
}

// The code point of the sequence at Text[At], and its length; 0 when it is no valid sequence
// (overlong forms are refused, so the fallback keeps such bytes apart from real characters).
std::size_t ReadUtf8(std::string_view Text, std::size_t At, char32_t& C) {
  const auto Byte = [&](std::size_t I) { return static_cast<unsigned char>(Text[I]); };
  const unsigned char Lead = Byte(At);
  std::size_t Length;
  char32_t Min;
  if (Lead >= 0xC2 && Lead < 0xE0) {
    Length = 2, Min = 0x80, C = Lead & 0x1F;
  } else if (Lead >= 0xE0 && Lead < 0xF0) {
    Length = 3, Min = 0x800, C = Lead & 0x0F;
  } else if (Lead >= 0xF0 && Lead < 0xF5) {
    Length = 4, Min = 0x10000, C = Lead & 0x07;
  } else {
    return 0;
  }
  if (At + Length > Text.size()) return 0;
  for (std::size_t I = 1; I < Length; ++I) {
    if ((Byte(At + I) & 0xC0) != 0x80) return 0;
    C = (C << 6) | (Byte(At + I) & 0x3F);
  }
  return C >= Min && C < 0x110000 ? Length : 0;
}

}  // namespace

std::string Utf16LeToUtf8(std::string_view Units) {
  std::string Out;
  const std::size_t Count = Units.size() / 2;
  const auto Unit = [&](std::size_t I) -> char32_t {
    return static_cast<unsigned char>(Units[2 * I]) | static_cast<unsigned char>(Units[2 * I + 1])
                                                          << 8;
  };
  for (std::size_t I = 0; I < Count; ++I) {
    const char32_t U = Unit(I);
    if (IsHigh(U) && I + 1 < Count && IsLow(Unit(I + 1))) {
      PutUtf8(Out, 0x10000 + ((U - 0xD800) << 10) + (Unit(I + 1) - 0xDC00));
      ++I;
    } else {
      PutUtf8(Out, U);
    }
  }
  return Out;
}

std::string Utf8ToUtf16Le(std::string_view Text) {
  std::string Out;
  for (std::size_t I = 0; I < Text.size();) {
    char32_t C = 0;
    const std::size_t Length = ReadUtf8(Text, I, C);
    if (Length == 0) {
      PutUnit(Out, static_cast<unsigned char>(Text[I]));
      ++I;
      continue;
    }
    I += Length;
    if (C >= 0x10000) {
      PutUnit(Out, 0xD800 + ((C - 0x10000) >> 10));
      PutUnit(Out, 0xDC00 + ((C - 0x10000) & 0x3FF));
    } else {
      PutUnit(Out, C);
    }
  }
  return Out;
}

}  // namespace vantrel
