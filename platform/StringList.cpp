#include "StringList.h"

namespace vantrel {

// Entries are byte strings: the search compares bytes exactly (case matters).
int TStringList::IndexOf(const std::string& s) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (items_[i] == s) return static_cast<int>(i);
  }
  return -1;
}

std::string TStringList::Text() const {
  std::size_t length = 0;
  for (const auto& item : items_) length += item.size() + 2;
  std::string out;
  out.reserve(length);
  for (const auto& item : items_) {
    out += item;
    out += "\r\n";
  }
  return out;
}

}  // namespace vantrel
