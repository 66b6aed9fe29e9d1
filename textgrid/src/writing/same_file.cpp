// Finding output paths that name one file, so that a batch never writes two
// documents over each other.
#include <filesystem>
#include <string>
#include <system_error>
#include <unordered_map>

#include "textgrid/writing/safe_save.hpp"

namespace textgrid {
namespace {

namespace fs = std::filesystem;

// The file a save to `path` writes: its folder with every link and ".."
// resolved (folders are few, so each is resolved once), or the link's final
// target when the path itself is a symbolic link, which saving follows.
std::string target_of(const std::string& path,
                      std::unordered_map<std::string, std::string>& resolved_folders) {
  // The system would cut such a path short; saving refuses it anyway.
  if (path.find('\0') != std::string::npos) return path;
  std::error_code error;
  const fs::path given(path);
  if (fs::is_symlink(fs::symlink_status(given, error))) {
    fs::path target = fs::weakly_canonical(fs::absolute(given, error), error);
    if (!error) return target.string();
  }
  const fs::path name = given.filename();
  if (name.empty() || name == "." || name == "..") return path;  // a folder: never written
  const fs::path folder = given.has_parent_path() ? given.parent_path() : fs::path(".");
  auto [slot, added] = resolved_folders.try_emplace(folder.string());
  if (added) {
    fs::path absolute = fs::absolute(folder, error);
    if (error) absolute = folder;
    fs::path real = fs::weakly_canonical(absolute, error);
    slot->second = (error ? absolute.lexically_normal() : real).string();
  }
  return (fs::path(slot->second) / name).string();
}

}  // namespace

std::optional<std::pair<std::size_t, std::size_t>> first_shared_target(
    std::span<const std::string> paths) {
  std::unordered_map<std::string, std::string> resolved_folders;
  std::unordered_map<std::string, std::size_t> seen;
  seen.reserve(paths.size());
  for (std::size_t k = 0; k < paths.size(); ++k) {
    auto [slot, added] = seen.try_emplace(target_of(paths[k], resolved_folders), k);
    if (!added) return std::pair{slot->second, k};
  }
  return std::nullopt;
}

}  // namespace textgrid
