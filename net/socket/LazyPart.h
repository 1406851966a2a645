// This is a public header file (include WSocket.h, which includes it).
// A part of a component that most instances never use: allocated by its first write, read as the
// part's defaults until then, so an idle socket does not carry it.
#pragma once

#include <memory>

namespace vantrel {

template <class T>
class TLazyPart {
 public:
  const T& Get() const {
    static const T Defaults;
    return Part_ ? *Part_ : Defaults;
  }
  T& Edit() {
    if (!Part_) Part_ = std::make_unique<T>();
    return *Part_;
  }
  // The part if it was ever written, else null.
  T* IfAny() { return Part_.get(); }

 private:
  std::unique_ptr<T> Part_;
};

}  // namespace vantrel
