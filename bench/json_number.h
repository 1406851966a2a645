// This is an internal header of the benchmarks (bench/*_bench.cpp).
// Reads a number out of a JSON report (iperf3 -J) without a JSON library: the reports are small
// and only a few fields are wanted.
//
// Thread rule: may be called from any thread; it keeps no state.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace vantrel::bench {

// The number after "key": in text, searched from the first occurrence of section; nothing when
// either is missing.
inline std::optional<double> JsonNumberAfter(const std::string& text, const std::string& section,
                                             const std::string& key) {
  std::size_t at = text.find("\"" + section + "\"");
  if (at == std::string::npos) return std::nullopt;
  at = text.find("\"" + key + "\"", at);
  if (at == std::string::npos) return std::nullopt;
  at = text.find(':', at);
  if (at == std::string::npos) return std::nullopt;
  return std::strtod(text.c_str() + at + 1, nullptr);
}

}  // namespace vantrel::bench
