// Which saves are quick enough for the caller's own thread; see safe_save.hpp.
#include <filesystem>
#include <string>
#include <system_error>

#include "textgrid/writing/safe_save.hpp"

namespace textgrid {

bool quick_to_save(std::string_view path, std::size_t items) {
  if (items > quick_save_items) return false;
  // A name with a NUL byte is refused before any file is touched.
  if (path.find('\0') != std::string_view::npos) return true;
  std::error_code error;
  const std::filesystem::file_status status =
      std::filesystem::status(std::filesystem::path(std::string(path)), error);
  // Nothing there yet, or a path that cannot be looked at: the save creates a
  // file, or fails at once.
  if (error || status.type() == std::filesystem::file_type::not_found) return true;
  return status.type() == std::filesystem::file_type::regular;
}

}  // namespace textgrid
