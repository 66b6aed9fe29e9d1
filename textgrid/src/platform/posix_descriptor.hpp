#pragma once
// The owner of one POSIX file descriptor, shared by the file reading and the
// safe save of the platform layer.
#include <unistd.h>

#include <cerrno>

namespace textgrid::platform {

class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  void reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports the result; on Linux (and for a plain file
  // elsewhere) the descriptor is released even when close is interrupted, so
  // EINTR counts as closed.
  int close() noexcept {
    int result = ::close(fd_);
    fd_ = -1;
    return result != 0 && errno != EINTR ? errno : 0;
  }

 private:
  int fd_;
};

}  // namespace textgrid::platform
