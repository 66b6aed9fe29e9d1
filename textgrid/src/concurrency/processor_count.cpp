// How many processors the process may use: the control-group CPU quota, the
// affinity mask and the online processors.
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/platform/platform.hpp"

namespace textgrid {
namespace {

// ---------------------------------------------------------------------------
// Control-group CPU quota

std::optional<std::string> read_text_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return std::move(text).str();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t stop = text.find(separator, start);
    parts.push_back(text.substr(start, stop - start));
    if (stop == std::string_view::npos) return parts;
    start = stop + 1;
  }
}

bool contains_word(std::string_view list, std::string_view word) {
  for (auto part : split(list, ','))
    if (part == word) return true;
  return false;
}

// Plain unsigned decimal, optionally signed with '+', nothing else around it.
std::optional<std::size_t> parse_count(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  std::size_t value = 0;
  auto [rest, status] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || status != std::errc{} || rest != text.data() + text.size())
    return std::nullopt;
  return value;
}

// Mount paths in mountinfo escape space, tab, newline and backslash as \ooo.
std::string unescape_mount_path(std::string_view text) {
  std::string path;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool octal = text[i] == '\\' && i + 3 < text.size() &&
                 std::all_of(text.begin() + i + 1, text.begin() + i + 4,
                             [](char c) { return c >= '0' && c <= '7'; });
    if (octal) {
      path += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                (text[i + 3] - '0'));
      i += 3;
    } else {
      path += text[i];
    }
  }
  return path;
}

struct Mount {
  std::string root;   // the directory of the hierarchy that is mounted
  std::string point;  // where it is mounted
  std::string fstype;
  std::string super_options;
};

std::vector<Mount> parse_mounts(std::string_view mountinfo) {
  std::vector<Mount> mounts;
  for (auto line : split(mountinfo, '\n')) {
    auto fields = split(line, ' ');
    // Fields: id parent dev root point options [optional...] - fstype source super_options
    auto dash =
        std::find(fields.begin() + std::min<std::size_t>(fields.size(), 6), fields.end(), "-");
    if (fields.size() < 6 || fields.end() - dash < 4) continue;
    mounts.push_back({unescape_mount_path(fields[3]), unescape_mount_path(fields[4]),
                      std::string(dash[1]), std::string(dash[3])});
  }
  return mounts;
}

// The directory of `group_path` below `mount`, or nothing when the group lies
// outside the mounted part of the hierarchy.
std::optional<std::string> group_directory(const Mount& mount, std::string_view group_path) {
  for (auto part : split(group_path, '/'))
    if (part == "..") return std::nullopt;
  std::string_view root = mount.root == "/" ? std::string_view{} : std::string_view(mount.root);
  if (!group_path.starts_with(root)) return std::nullopt;
  group_path.remove_prefix(root.size());
  if (!group_path.empty() && !group_path.starts_with('/')) return std::nullopt;
  std::string directory = mount.point + std::string(group_path);
  while (directory.size() > 1 && directory.ends_with('/')) directory.pop_back();
  return directory;
}

std::size_t divide_rounding_up(std::size_t quota, std::size_t period) {
  return std::max<std::size_t>(1, quota / period + (quota % period != 0 ? 1 : 0));
}

// cgroup v2: cpu.max holds "quota period" or "max period".
std::optional<std::size_t> limit_v2(const std::string& directory) {
  auto text = read_text_file(directory + "/cpu.max");
  if (!text) return std::nullopt;
  auto words = split(split(*text, '\n')[0], ' ');
  if (words.size() < 2) return std::nullopt;
  auto quota = parse_count(words[0]);
  auto period = parse_count(words[1]);
  if (!quota || !period || *period == 0) return std::nullopt;
  return divide_rounding_up(*quota, *period);
}

std::optional<std::size_t> read_single_count(const std::string& path) {
  auto text = read_text_file(path);
  if (!text) return std::nullopt;
  return parse_count(split(*text, '\n')[0]);  // "-1", meaning no quota, does not parse
}

// cgroup v1: cpu.cfs_quota_us (-1 = none) over cpu.cfs_period_us.
std::optional<std::size_t> limit_v1(const std::string& directory) {
  auto quota = read_single_count(directory + "/cpu.cfs_quota_us");
  auto period = read_single_count(directory + "/cpu.cfs_period_us");
  if (!quota || !period || *period == 0) return std::nullopt;
  return divide_rounding_up(*quota, *period);
}

// A parent group's quota caps its children too, so take the smallest limit on
// the way up to the mount point.
template <class ReadLimit>
std::optional<std::size_t> smallest_limit_upwards(const std::string& mount_point,
                                                  std::string directory, ReadLimit read_limit) {
  std::optional<std::size_t> smallest;
  for (;;) {
    if (auto limit = read_limit(directory); limit && (!smallest || *limit < *smallest))
      smallest = limit;
    if (directory.size() <= mount_point.size()) return smallest;
    std::size_t parent_end = directory.rfind('/');
    directory.resize(parent_end == 0 ? 1 : parent_end);
  }
}

template <class IsMount, class ReadLimit>
std::optional<std::size_t> hierarchy_limit(const std::vector<Mount>& mounts,
                                           std::optional<std::string> group_path,
                                           const std::string& filesystem_root, IsMount is_mount,
                                           ReadLimit read_limit) {
  if (!group_path) return std::nullopt;
  auto mount = std::find_if(mounts.begin(), mounts.end(), is_mount);
  if (mount == mounts.end()) return std::nullopt;
  auto directory = group_directory(*mount, *group_path);
  if (!directory) return std::nullopt;
  return smallest_limit_upwards(filesystem_root + mount->point, filesystem_root + *directory,
                                read_limit);
}

}  // namespace

namespace detail {

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup,
                                            std::string_view mountinfo,
                                            const std::string& filesystem_root) {
  std::optional<std::string> unified_path, cpu_path;
  for (auto line : split(proc_self_cgroup, '\n')) {
    // "hierarchy:controllers:path"; the path itself may hold colons.
    std::size_t first = line.find(':');
    std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    auto hierarchy = line.substr(0, first);
    auto controllers = line.substr(first + 1, second - first - 1);
    auto path = std::string(line.substr(second + 1));
    if (hierarchy == "0" && controllers.empty())
      unified_path = path;
    else if (contains_word(controllers, "cpu"))
      cpu_path = path;
  }
  auto mounts = parse_mounts(mountinfo);
  auto unified = hierarchy_limit(
      mounts, unified_path, filesystem_root, [](const Mount& m) { return m.fstype == "cgroup2"; },
      limit_v2);
  if (unified) return unified;
  return hierarchy_limit(
      mounts, cpu_path, filesystem_root,
      [](const Mount& m) { return m.fstype == "cgroup" && contains_word(m.super_options, "cpu"); },
      limit_v1);
}

}  // namespace detail

namespace {

std::optional<std::size_t> own_cgroup_cpu_limit() {
  auto tables = platform::own_control_group_tables();
  if (!tables) return std::nullopt;
  return detail::cgroup_cpu_limit(tables->groups, tables->mounts, "");
}

}  // namespace

std::size_t processor_count() {
  static const std::optional<std::size_t> quota = own_cgroup_cpu_limit();
  auto affinity = platform::affinity_processor_count();
  std::size_t count = affinity && *affinity > 0 ? *affinity : platform::online_processor_count();
  if (quota) count = std::min(count, *quota);
  return std::max<std::size_t>(count, 1);
}

namespace detail {

std::size_t configured_thread_count() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    const char* value = std::getenv(name);
    if (!value) continue;
    if (auto count = parse_count(value); count && *count > 0) return *count;
  }
  return processor_count();
}

}  // namespace detail

}  // namespace textgrid
