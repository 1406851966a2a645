#include "TextUtils.h"

#include <cstdarg>
#include <cstdio>
#include <limits>

#include "Exceptions.h"

namespace vantrel {
namespace {

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

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

std::int64_t StrToInt64(const std::string& text) {
  const auto fail = [&text]() -> std::int64_t {
    throw EConvertError("'" + text + "' is not a valid integer value");
  };
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return fail();
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return fail();
    if (value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return fail();
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

int StrToInt(const std::string& text) {
  const std::int64_t value = StrToInt64(text);
  if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min())
    throw EConvertError("'" + text + "' is not a valid integer value");
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

std::string LowerCase(std::string text) {
  for (char& c : text) c = LowerAscii(c);
  return text;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

}  // namespace vantrel
