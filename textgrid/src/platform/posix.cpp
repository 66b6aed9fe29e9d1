// The platform services on POSIX systems (Linux, macOS, the BSDs).
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "textgrid/platform/platform.hpp"
#include "posix_descriptor.hpp"

namespace textgrid::platform {
namespace {

constexpr std::size_t initial_read_capacity = 8192;

// Reads into `buffer` from `filled` until it is full or the file ends; returns
// the new fill level, or leaves `error` set to errno.
std::size_t read_into(int fd, char* buffer, std::size_t filled, std::size_t capacity, int& error) {
  while (filled < capacity) {
    ssize_t got = ::read(fd, buffer + filled, capacity - filled);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  return filled;
}

// Reads the rest of the file; the size hint makes one read enough for regular files.
Status read_all(int fd, std::size_t size_hint, std::string& text) {
  std::size_t filled = 0;
  // One byte beyond the hint, so that the end of the file is seen without growing.
  std::size_t capacity = size_hint < initial_read_capacity ? initial_read_capacity : size_hint + 1;
  for (;;) {
    int error = 0;
    text.resize_and_overwrite(capacity, [&](char* buffer, std::size_t size) {
      filled = read_into(fd, buffer, filled, size, error);
      return filled;
    });
    if (error != 0) return std::unexpected(os_error(error));
    if (filled < capacity) return {};
    capacity *= 2;
  }
}

#if defined(__linux__)
std::optional<std::string> read_text_file(const char* path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return std::move(text).str();
}
#endif

// GNU's strerror_r returns the text (possibly a static one), the XSI variant
// (macOS, musl) fills the buffer and returns a status; both are handled.
[[maybe_unused]] const char* described(const char* returned, const char*) { return returned; }
[[maybe_unused]] const char* described(int status, const char* buffer) {
  return status == 0 ? buffer : "Unknown error";
}

struct SignalMaskGuard {
  sigset_t previous;
  SignalMaskGuard() {
    sigset_t blocked;
    sigfillset(&blocked);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
      sigdelset(&blocked, fault);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  }
  SignalMaskGuard(const SignalMaskGuard&) = delete;
  SignalMaskGuard& operator=(const SignalMaskGuard&) = delete;
  ~SignalMaskGuard() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
};

}  // namespace

namespace detail {
void run_with_async_signals_blocked(void (*body)(void*), void* context) {
  SignalMaskGuard guard;
  body(context);
}
}  // namespace detail

void on_fork_in_child(void (*handler)()) { pthread_atfork(nullptr, nullptr, handler); }

std::string current_thread_name() {
#if defined(__linux__) || defined(__APPLE__)
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0) return name;
#endif
  return {};
}

std::optional<std::size_t> affinity_processor_count() {
#if defined(__linux__)
  // The mask may be wider than cpu_set_t on very large machines; grow until it fits.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 22); cpus *= 2) {
    std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(cpus),
                                                         [](cpu_set_t* s) { CPU_FREE(s); });
    if (!set) return std::nullopt;
    std::size_t size = CPU_ALLOC_SIZE(cpus);
    if (sched_getaffinity(0, size, set.get()) == 0)
      return static_cast<std::size_t>(CPU_COUNT_S(size, set.get()));
    if (errno != EINVAL) return std::nullopt;
  }
#endif
  return std::nullopt;
}

std::size_t online_processor_count() {
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::optional<ControlGroupTables> own_control_group_tables() {
#if defined(__linux__)
  auto groups = read_text_file("/proc/self/cgroup");
  auto mounts = read_text_file("/proc/self/mountinfo");
  if (groups && mounts) return ControlGroupTables{std::move(*groups), std::move(*mounts)};
#endif
  return std::nullopt;
}

std::string error_description(int errnum) {
  char text[256] = {};
  return described(strerror_r(errnum, text, sizeof text), text);
}

Status read_whole_file(const std::string& path, std::string& text) {
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return std::unexpected(os_error(errno));
  struct stat status{};
  std::size_t size_hint = 0;
  if (::fstat(file.get(), &status) == 0 && status.st_size > 0)
    size_hint = static_cast<std::size_t>(status.st_size);
  return read_all(file.get(), size_hint, text);
}

}  // namespace textgrid::platform
