// This is a public header file.
// The base of the framework's exception family: a std::exception that carries a message text.
#pragma once

#include <exception>
#include <string>

namespace vantrel {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Raised by string-to-number conversions: "'%s' is not a valid integer value".
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Raised by file streams and other input/output failures.
class EInOutError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace vantrel
