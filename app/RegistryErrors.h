// This is an internal header of the Vantrel program.
// The failure of a settings read or write, on either system's store.
#pragma once

#include <string>
#include <utility>

#include "Exceptions.h"

namespace vantrel {

// Raised by the settings store: "Invalid data type for '%s'", "Failed to get data for '%s'",
// "Failed to set data for '%s'".
class ERegistryException : public Exception {
 public:
  explicit ERegistryException(std::string Message, std::string Cause = {})
      : Exception(std::move(Message)), cause_(std::move(Cause)) {}
  // What stood in the way, for the user ("<file>: Permission denied"); "" when unknown.
  const std::string& Cause() const { return cause_; }

 private:
  std::string cause_;
};

}  // namespace vantrel
