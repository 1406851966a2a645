#include "Exceptions.h"

#include <climits>
#include <cstdarg>
#include <cstdio>

namespace vantrel {

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list probe;
  va_copy(probe, args);
  int needed = std::vsnprintf(nullptr, 0, fmt, probe);
  va_end(probe);
  std::string out;
  if (needed > 0) {
    // vsnprintf writes a terminating zero; std::string keeps room for it past size().
    out.resize(static_cast<std::size_t>(needed));
    std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  }
  va_end(args);
  return out;
}

int StrToInt(const std::string& text) {
  auto fail = [&]() -> int { throw EConvertError("'" + text + "' is not a valid integer value"); };
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return fail();
  // The bound stops the accumulation long before a long long could overflow.
  long long value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return fail();
    value = value * 10 + (c - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return fail();
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return fail();
  return static_cast<int>(value);
}

std::string IntToStr(long long value) {
  return Format("%lld", value);
}

std::string Trim(const std::string& text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace vantrel
