// This is a public header file.
// TStringList: an ordered list of byte strings.
#pragma once

#include <string>
#include <vector>

namespace vantrel {

class TStringList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Strings(int index) const { return items_.at(index); }
  const std::string& operator[](int index) const { return items_.at(index); }
  int Add(const std::string& s) {
    items_.push_back(s);
    return Count() - 1;
  }
  void Clear() { items_.clear(); }
  void Delete(int index) { items_.erase(items_.begin() + index); }
  int IndexOf(const std::string& s) const;
  // The lines joined, each followed by CR LF.
  std::string Text() const;
  const std::vector<std::string>& Items() const { return items_; }

 private:
  std::vector<std::string> items_;
};

}  // namespace vantrel
