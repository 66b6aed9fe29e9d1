// The platform services on Windows.
#include <bit>
#include <cstring>

#include "textgrid/platform/platform.hpp"
#include "windows_common.hpp"

namespace textgrid::platform {

namespace detail {
// Windows delivers Ctrl+C on a thread of its own; there are no masks to set.
void run_with_async_signals_blocked(void (*body)(void*), void* context) { body(context); }
}  // namespace detail

// No fork on Windows: a new process starts from scratch.
void on_fork_in_child(void (*)()) {}

std::string current_thread_name() { return {}; }

std::optional<std::size_t> affinity_processor_count() {
  DWORD_PTR process = 0, system = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) || process == 0)
    return std::nullopt;
  return static_cast<std::size_t>(std::popcount(static_cast<unsigned long long>(process)));
}

std::size_t online_processor_count() {
  DWORD count = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return count > 0 ? count : 1;
}

std::optional<ControlGroupTables> own_control_group_tables() { return std::nullopt; }

std::string error_description(int errnum) {
  char text[256] = {};
  if (strerror_s(text, sizeof text, errnum) != 0) return "Unknown error";
  return text;
}

Status read_whole_file(const std::string& path, std::string& text) {
  std::optional<std::wstring> name = wide_path(path);
  if (!name) return std::unexpected(os_error(ENOENT));
  Handle file(::CreateFileW(name->c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return std::unexpected(os_error(errno_from_windows(::GetLastError())));
  text.clear();
  LARGE_INTEGER size{};
  if (::GetFileSizeEx(file.get(), &size) && size.QuadPart > 0)
    text.reserve(static_cast<std::size_t>(size.QuadPart));
  char buffer[1 << 16];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
      return std::unexpected(os_error(errno_from_windows(::GetLastError())));
    if (got == 0) return {};
    text.append(buffer, got);
  }
}

}  // namespace textgrid::platform
