#pragma once
// The few operating-system services that differ between Linux, macOS and
// Windows. Their implementations live in src/platform/ (posix.cpp, windows.cpp,
// and the safe save of saving.hpp); nothing else calls the system directly.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "textgrid/model/error.hpp"

namespace textgrid::platform {

namespace detail {
void run_with_async_signals_blocked(void (*body)(void*), void* context);
}  // namespace detail

// Runs `body` with the asynchronous signals (SIGINT, SIGTERM, ...) blocked in
// the calling thread, so that threads it starts inherit the mask and leave
// those signals to the application's own threads (the Python interpreter
// expects them on its main thread); faults stay deliverable. The mask is
// restored also when `body` throws. Windows has no signal masks: it just runs.
template <class Body>
void with_async_signals_blocked(Body&& body) {
  detail::run_with_async_signals_blocked([](void* context) { (*static_cast<Body*>(context))(); },
                                         &body);
}

// Registers `handler` to run in the child process after a fork (once per
// handler, registration order). Systems without fork never call it.
void on_fork_in_child(void (*handler)());

// The calling thread's name as the system knows it; empty when it has none.
std::string current_thread_name();

// The processors the affinity mask lets this process run on, where the
// system has such a mask; and the processors online (at least 1).
std::optional<std::size_t> affinity_processor_count();
std::size_t online_processor_count();

// This process's control-group membership and mount tables (Linux's
// /proc/self/cgroup and /proc/self/mountinfo), for its CPU quota; nothing on
// systems without control groups.
struct ControlGroupTables {
  std::string groups;
  std::string mounts;
};
std::optional<ControlGroupTables> own_control_group_tables();

// The system's description of an errno value ("No such file or directory").
std::string error_description(int errnum);

// The whole content of the file at `path` (UTF-8; no NUL inside) in `text`,
// whose storage is reused when large enough, or the system's error.
Status read_whole_file(const std::string& path, std::string& text);

}  // namespace textgrid::platform
