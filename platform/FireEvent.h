#pragma once
// Calling a component's event handler.

#include <functional>
#include <utility>

namespace vantrel {

// Calls a copy of Handler with Args and answers whether there was one. The copy keeps the
// callable alive while it runs, so a handler may replace or clear its own event member (or
// another one) from inside itself.
template <typename... Params, typename... Args>
bool FireEvent(const std::function<void(Params...)>& Handler, Args&&... args) {
  if (!Handler) return false;
  std::function<void(Params...)> Copy = Handler;
  Copy(std::forward<Args>(args)...);
  return true;
}

}  // namespace vantrel
