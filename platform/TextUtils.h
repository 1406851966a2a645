// This is a public header file.
// The small text helpers every layer uses: printf-style formatting, decimal conversions that
// raise EConvertError, blank trimming and ASCII case folding.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Convert a decimal text (an optional sign, then digits only) to a number, raising
// EConvertError with "'<text>' is not a valid integer value" when it is not one or does not fit.
int StrToInt(const std::string& text);
std::int64_t StrToInt64(const std::string& text);
std::string IntToStr(long long value);

// Without the leading and trailing bytes up to 0x20 (blanks and control characters).
std::string Trim(const std::string& text);

// ASCII letters only: the result never depends on the process's locale, and bytes of UTF-8
// sequences pass unchanged.
std::string LowerCase(std::string text);
bool SameText(const std::string& a, const std::string& b);

}  // namespace vantrel
