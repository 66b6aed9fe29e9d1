#pragma once
// The error value: what a core operation returns when it fails in an ordinary way.
#include <expected>
#include <string>

namespace textgrid {

enum class ErrorKind {
  InvalidData,   // validation failures, text that is not UTF-8
  InvalidInput,  // vectors of unequal length, a NUL in a path
  Os,            // an operating-system error; `os_code` holds errno
};

struct Error {
  ErrorKind kind;
  std::string message;  // the whole displayed text of the error
  int os_code = 0;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

Error invalid_data(std::string message);
Error invalid_input(std::string message);
// Worded as the system describes errno, then " (os error N)".
Error os_error(int errnum);
// The category of an errno value in a few words ("not found", "permission
// denied", "storage full", ...); "other" for the rest.
const char* os_error_kind(int errnum) noexcept;

}  // namespace textgrid
