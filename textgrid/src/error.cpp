#include "textgrid/error.hpp"

#include <cstring>

namespace textgrid {

Error invalid_data(std::string message) { return {ErrorKind::InvalidData, std::move(message)}; }

Error invalid_input(std::string message) { return {ErrorKind::InvalidInput, std::move(message)}; }

Error os_error(int errnum) {
  char text[256];
  // GNU strerror_r may return a static string instead of filling `text`.
  const char* description = strerror_r(errnum, text, sizeof text);
  return {ErrorKind::Os,
          std::string(description) + " (os error " + std::to_string(errnum) + ")", errnum};
}

}  // namespace textgrid
