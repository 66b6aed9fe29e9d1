// Saving through a temporary file and an atomic rename, on POSIX systems.
#include "textgrid/writing/safe_save.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <string>

#include "textgrid/concurrency/cancel.hpp"
#include "textgrid/model/error.hpp"
#include "textgrid/model/failure.hpp"
#include "posix_descriptor.hpp"

namespace textgrid {
namespace {

using platform::Descriptor;

using namespace std::string_view_literals;

// Cancellation is checked between pieces of this size.
constexpr std::size_t write_piece = std::size_t{1} << 20;
// As many symbolic links as the system itself follows before giving up.
constexpr int max_link_hops = 40;
// Room left in a file name for the temporary file's prefix and suffix.
constexpr std::size_t max_stem_in_temporary_name = 200;
constexpr int temporary_name_attempts = 100;

// A NUL would end the path early at the system boundary; show it visibly.
std::string printable_path(std::string_view path) {
  std::string shown;
  for (char c : path) {
    if (c == '\0')
      shown += "\\0"sv;
    else
      shown += c;
  }
  return shown;
}

[[noreturn]] void fail_write(std::string_view path, std::string_view reason, int errnum = 0) {
  throw SaveFailure(
      "Failed to write TextGrid file " + printable_path(path) + ": " + std::string(reason), errnum);
}

[[noreturn]] void fail_write_os(std::string_view path, int errnum) {
  fail_write(path, std::string(os_error_kind(errnum)) + ", " + os_error(errnum).message, errnum);
}

std::string directory_part(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string name_part(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> link_target(const std::string& link) {
  std::string target(256, '\0');
  for (;;) {
    ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

// The file a path finally names once symbolic links are followed, even when
// the last link dangles (the save then creates the file it points to), and
// whether it exists: `status` is then what stat gives for it.
std::string follow_links(std::string_view shown, std::string path, struct stat& status,
                         bool& exists) {
  for (int hop = 0; hop < max_link_hops; ++hop) {
    exists = ::lstat(path.c_str(), &status) == 0;
    if (!exists || !S_ISLNK(status.st_mode)) return path;
    std::optional<std::string> target = link_target(path);
    if (!target || target->empty()) {
      exists = ::stat(path.c_str(), &status) == 0;
      return path;
    }
    path = target->front() == '/' ? *target : directory_part(path) + *target;
  }
  fail_write_os(shown, ELOOP);
}

void write_all(int fd, std::string_view shown, std::string_view text) {
  while (!text.empty()) {
    throw_if_cancelled();
    ssize_t written = ::write(fd, text.data(), std::min(text.size(), write_piece));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) fail_write_os(shown, errno);
    if (written == 0) fail_write(shown, "failed to write whole buffer");
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

// FIFOs, devices and the like: there is no file to replace, so the data goes
// straight in (opening a FIFO waits for its reader).
int open_in_place(std::string_view shown, const std::string& target) {
  int fd;
  do {
    fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) fail_write_os(shown, errno);
  return fd;
}

void write_in_place(std::string_view shown, const std::string& target, std::string_view text) {
  Descriptor file(open_in_place(shown, target));
  write_all(file.get(), shown, text);
  if (int error = file.close()) fail_write_os(shown, error);
}

// A new file beside the target, removed again unless it was renamed into place.
// Where the file system allows, it is created without a name (O_TMPFILE) and
// only named once complete, so that even a process killed while writing leaves
// nothing behind; elsewhere it has a hidden name from the start.
class TemporaryFile {
 public:
  TemporaryFile(std::string_view shown, const std::string& target)
      : prefix_(directory_part(target) + "." +
                name_part(target).substr(0, max_stem_in_temporary_name) + "."),
        file_(-1) {
#if defined(__linux__)
    std::string directory = directory_part(target);
    // Naming the file later goes through /proc; without it, name it now.
    static const bool proc_fd_usable = ::access("/proc/self/fd", X_OK) == 0;
    if (proc_fd_usable) {
      int fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                      0666);
      if (fd >= 0) {
        file_.reset(fd);
        return;
      }
      // Unsupported here (or an older kernel): fall back to a named file.
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) fail_write_os(shown, errno);
    }
#endif
    if (int error = create_named([](const std::string& name) {
          return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        }))
      fail_write_os(shown, error);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty() && !renamed_) ::unlink(path_.c_str());
  }

  int fd() const noexcept { return file_.get(); }

  // Gives the complete file its temporary name (if it has none yet), closes it
  // and renames it over `target`; errno on failure.
  int commit(const std::string& target) {
#if defined(__linux__)
    if (path_.empty()) {
      std::string self = "/proc/self/fd/" + std::to_string(file_.get());
      if (int error = create_named([&](const std::string& name) {
            return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
          }))
        return error;
    }
#endif
    if (int error = file_.close()) return error;
    if (::rename(path_.c_str(), target.c_str()) != 0) return errno;
    renamed_ = true;
    return 0;
  }

 private:
  // Tries random hidden names beside the target until `make` (open or link)
  // succeeds; the name is kept in path_. errno on failure.
  template <class Make>
  int create_named(Make make) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
      char suffix[24];
      std::snprintf(suffix, sizeof suffix, "%012llx.tmp",
                    static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFULL));
      std::string name = prefix_ + suffix;
      int result = make(name);
      if (result >= 0) {
        path_ = std::move(name);
        if (file_.get() < 0) file_.reset(result);
        return 0;
      }
      if (errno != EEXIST && errno != EINTR) return errno;
    }
    return EEXIST;
  }

  std::string prefix_;
  std::string path_;  // empty while the file has no name
  Descriptor file_;
  bool renamed_ = false;
};

// The replacement takes over what the old file's owner set up; an owner that
// cannot be carried over (not privileged) is left as the creator's.
void carry_over_attributes(int fd, const struct stat& old) {
  if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
    (void)::fchown(fd, old.st_uid, old.st_gid);
  (void)::fchmod(fd, old.st_mode & 07777);
}

int flush_to_disk(int fd) noexcept {
  int result;
#if defined(__APPLE__)
  // macOS's fsync leaves the data in the drive's cache; F_FULLFSYNC writes it
  // out. File systems that cannot (network shares) get the plain fsync.
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  // Some file systems (and pseudo-files) cannot sync; there is nothing to flush there.
  return result != 0 && errno != EINVAL && errno != EROFS ? errno : 0;
}

void replace_file(std::string_view shown, const std::string& target, const struct stat* old,
                  std::string_view text) {
  // A file the caller may not write stays untouched, as an in-place write would leave it.
  if (old != nullptr && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
    fail_write_os(shown, errno);
  TemporaryFile temporary(shown, target);
  if (old != nullptr) carry_over_attributes(temporary.fd(), *old);
  write_all(temporary.fd(), shown, text);
  if (int error = flush_to_disk(temporary.fd())) fail_write_os(shown, error);
  throw_if_cancelled();
  // The folder is not synced: should the system crash before it writes the
  // rename out, the path still holds the complete previous file.
  if (int error = temporary.commit(target)) fail_write_os(shown, error);
}

}  // namespace

void save_file(std::string_view path, std::string_view text) {
  if (path.find('\0') != std::string_view::npos)
    fail_write(path, "file name contained an unexpected NUL byte");
  struct stat status{};
  bool exists = false;
  std::string target = follow_links(path, std::string(path), status, exists);
  // A path naming a folder ("out/") has no file name to put a temporary beside.
  if ((exists && !S_ISREG(status.st_mode)) || name_part(target).empty()) {
    write_in_place(path, target, text);
    return;
  }
  replace_file(path, target, exists ? &status : nullptr, text);
}


// The saver keeps what save_file decides at the start (where the bytes go, and
// what the old file's attributes were) across its writes.
struct FileSaver::State {
  std::string shown;
  std::string target;
  Descriptor in_place{-1};
  std::optional<TemporaryFile> temporary;
  bool finished = false;
};

FileSaver::FileSaver(std::string_view path) : state_(std::make_unique<State>()) {
  if (path.find('\0') != std::string_view::npos)
    fail_write(path, "file name contained an unexpected NUL byte");
  State& state = *state_;
  state.shown = path;
  struct stat status{};
  bool exists = false;
  state.target = follow_links(path, std::string(path), status, exists);
  if ((exists && !S_ISREG(status.st_mode)) || name_part(state.target).empty()) {
    state.in_place.reset(open_in_place(path, state.target));
    return;
  }
  if (exists && ::faccessat(AT_FDCWD, state.target.c_str(), W_OK, AT_EACCESS) != 0)
    fail_write_os(path, errno);
  state.temporary.emplace(path, state.target);
  if (exists) carry_over_attributes(state.temporary->fd(), status);
}

FileSaver::~FileSaver() = default;

bool FileSaver::in_place() const noexcept { return !state_->temporary; }

void FileSaver::write(std::string_view piece) {
  State& state = *state_;
  if (state.finished) fail_write(state.shown, "the file was already finished");
  write_all(state.temporary ? state.temporary->fd() : state.in_place.get(), state.shown, piece);
}

void FileSaver::finish() {
  State& state = *state_;
  if (state.finished) fail_write(state.shown, "the file was already finished");
  state.finished = true;
  if (!state.temporary) {
    if (int error = state.in_place.close()) fail_write_os(state.shown, error);
    return;
  }
  if (int error = flush_to_disk(state.temporary->fd())) fail_write_os(state.shown, error);
  throw_if_cancelled();
  if (int error = state.temporary->commit(state.target)) fail_write_os(state.shown, error);
}

}  // namespace textgrid
