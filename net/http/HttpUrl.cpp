// URL splitting, base64, the HTTP date and the small text helpers of HttpProt.
#include <cctype>
#include <cstdio>

#include "HttpProt.h"
#include "TextUtils.h"

namespace vantrel {
namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  std::size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= s.size()) return false;
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

void SplitUrl(const std::string& Url, std::string& Proto, std::string& User, std::string& Pass,
              std::string& Host, std::string& Port, std::string& Path) {
  Proto.clear();
  User.clear();
  Pass.clear();
  Host.clear();
  Port.clear();
  Path.clear();
  if (Url.empty()) return;

  std::string rest;
  const std::size_t scheme = Url.find("://");
  if (scheme != std::string::npos) {
    Proto = Url.substr(0, scheme);
    rest = Url.substr(scheme + 3);
  } else if (Url[0] == '/') {
    Proto = "http";
    if (Url.size() > 1 && Url[1] != '/') {
      Path = Url;
      return;
    }
    rest = Url.substr(1);
  } else if (StartsWithNoCase(Url, "http:")) {
    Proto = "http";
    if (Url.size() > 6 && Url[6] != '/') {
      Path = Url.substr(5);
      return;
    }
    rest = Url.size() > 6 ? Url.substr(6) : std::string();
  } else if (StartsWithNoCase(Url, "mailto:")) {
    Proto = "mailto";
    rest = Url.substr(Url.find(':') + 1);
  } else {
    rest = Url;
  }

  const std::size_t slash = rest.find('/');
  std::string authority;
  if (slash == std::string::npos) {
    authority = rest;
  } else {
    Path = rest.substr(slash);
    authority = rest.substr(0, slash);
  }

  const std::size_t atPos = authority.rfind('@');
  const std::size_t colonPos = authority.rfind(':');
  // 1-based positions, 0 when absent, so that "after" and "before" compare as in the rules.
  const std::size_t at = atPos == std::string::npos ? 0 : atPos + 1;
  const std::size_t colon = colonPos == std::string::npos ? 0 : colonPos + 1;
  std::string userPart;
  if (at == 0 && colon == 0) {
    Host = authority;
    return;
  }
  if (colon > at) {
    Port = authority.substr(colon);
    Host = authority.substr(at, colon - 1 - at);
    if (at == 0) return;
    userPart = authority.substr(0, at - 1);
  } else {
    Host = authority.substr(at);
    userPart = authority.substr(0, at - 1);
  }
  const std::size_t sep = userPart.find(':');
  if (sep == std::string::npos) {
    User = userPart;
  } else {
    User = userPart.substr(0, sep);
    Pass = userPart.substr(sep + 1);
  }
}

std::string EncodeBase64(const std::string& Text) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((Text.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const auto byte = [&Text](std::size_t k) { return static_cast<unsigned char>(Text[k]); };
  for (; i + 3 <= Text.size(); i += 3) {
    const unsigned v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t left = Text.size() - i;
  if (left == 1) {
    const unsigned v = byte(i) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (left == 2) {
    const unsigned v = (byte(i) << 16) | (byte(i + 1) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string FormatHttpDate(TDateTime Value) {
  static constexpr char kDays[] = "MonTueWedThuFriSatSun";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  DecodeDate(Value, year, month, day);
  DecodeTime(Value, hour, minute, second, ms);
  const long long whole = static_cast<long long>(Value);
  // A positive modulo keeps dates before 1900 (negative whole parts) inside the name table.
  const int dayIndex = static_cast<int>((((whole - 2) % 7) + 7) % 7);
  if (month < 1 || month > 12) month = 1;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d", day,
                kMonths + (month - 1) * 3, year, hour, minute, second);
  return std::string(kDays + dayIndex * 3, 3) + ", " + buf;
}

int LastPos(const std::string& Sub, const std::string& S) {
  if (Sub.empty() || Sub.size() > S.size()) return 0;
  const std::size_t pos = S.rfind(Sub);
  return pos == std::string::npos ? 0 : static_cast<int>(pos) + 1;
}

void SwapExtension(std::string& FileName, const std::string& NewExt) {
  const int i = LastPos(".", FileName);
  if (i > 0)
    FileName = FileName.substr(0, static_cast<std::size_t>(i)) + NewExt;
  else
    FileName = FileName + "." + NewExt;
}

bool IsSupportedScheme(const std::string& Scheme) {
  // The schemes this client can fetch; a request for any other is refused before it is sent.
  static constexpr const char* kSupportedSchemes[] = {"http", "https"};
  if (Scheme.empty()) return true;
  for (const char* supported : kSupportedSchemes) {
    if (SameText(Scheme, supported)) return true;
  }
  return false;
}

std::string EncodeRequestTarget(const std::string& Target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  std::string out;
  out.reserve(Target.size());
  for (std::size_t i = 0; i < Target.size(); ++i) {
    const auto b = static_cast<unsigned char>(Target[i]);
    const bool escaped =
        b == '%' && i + 2 < Target.size() && isHex(Target[i + 1]) && isHex(Target[i + 2]);
    const bool unsafe = b == ' ' || b == '"' || b == '<' || b == '>' || b == '\\' || b == '^' ||
                        b == '`' || b == '{' || b == '|' || b == '}' || b >= 0x80 ||
                        (b == '%' && !escaped);
    if (unsafe) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

}  // namespace vantrel
