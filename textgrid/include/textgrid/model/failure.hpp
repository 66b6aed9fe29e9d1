#pragma once
// The internal failure: raised (never returned) when the core meets a case its
// callers do not handle. It carries its message and where it was raised.
#include <exception>
#include <source_location>
#include <string>

namespace textgrid {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message,
                           std::source_location where = std::source_location::current())
      : message_(std::move(message)), where_(where) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
  throw InternalFailure(std::move(message), where);
}

}  // namespace textgrid
