// Scheduling of streamed batch reading: claims in input order, a window ahead
// of the consumer, and the pool threads that parse.
#include "textgrid/concurrency/streaming.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "textgrid/concurrency/parallel.hpp"

namespace textgrid {
namespace {

// A file of this size parses in a few milliseconds, well within the time in
// which the consumer should answer an interrupt.
constexpr off_t quick_file_size = static_cast<off_t>(quick_read_bytes);
// Files parsed ahead per thread: enough that a pool thread rarely finds the
// window full (it then leaves, and coming back costs a wake-up), few enough to
// hold little memory; the byte bound keeps large files from piling up.
constexpr std::size_t files_ahead_per_thread = 64;

}  // namespace

StreamSchedule::StreamSchedule(std::size_t files, std::size_t window, std::size_t helpers)
    : files_(files),
      window_(std::max<std::size_t>(window, 2)),
      helpers_wanted_(helpers),
      done_(std::make_unique<std::atomic<bool>[]>(files)),
      bytes_(files, 0) {}

std::size_t StreamSchedule::helpers_to_start() {
  std::lock_guard lock(mutex_);
  return helpers_to_start_locked();
}

std::size_t StreamSchedule::helpers_to_start_locked() {
  // Helpers come back only once half the window is free again, so that they
  // do not leave and return for every single file.
  if (stopped_ || next_ >= files_ || next_ > consumed_ + window_ / 2 ||
      bytes_ahead_ > stream_bytes_ahead / 2)
    return 0;
  std::size_t count = helpers_wanted_ - std::min(helpers_wanted_, helpers_active_);
  helpers_active_ += count;
  return count;
}

void StreamSchedule::helpers_not_started(std::size_t count) {
  std::lock_guard lock(mutex_);
  helpers_active_ -= std::min(count, helpers_active_);
}

bool StreamSchedule::window_full_locked() const {
  return next_ >= consumed_ + window_ || (bytes_ahead_ >= stream_bytes_ahead && next_ > consumed_);
}

std::size_t StreamSchedule::claim_next() {
  std::lock_guard lock(mutex_);
  if (stopped_ || next_ >= files_ || window_full_locked()) {
    --helpers_active_;
    return files_;
  }
  return next_++;
}

bool StreamSchedule::claim_if_untaken(std::size_t k) {
  std::lock_guard lock(mutex_);
  if (k < next_) return false;
  next_ = k + 1;
  return true;
}

std::size_t StreamSchedule::first_untaken() {
  std::lock_guard lock(mutex_);
  return stopped_ || next_ >= files_ || window_full_locked() ? files_ : next_;
}

bool StreamSchedule::claim_exactly(std::size_t k) {
  std::lock_guard lock(mutex_);
  if (stopped_ || k != next_ || k >= files_ || window_full_locked()) return false;
  ++next_;
  return true;
}

void StreamSchedule::mark_done(std::size_t k, std::size_t bytes) {
  {
    std::lock_guard lock(mutex_);
    bytes_[k] = bytes;
    bytes_ahead_ += bytes;
    done_[k].store(true, std::memory_order_release);
  }
  file_done_.notify_all();
}

bool StreamSchedule::wait_done(std::size_t k, std::chrono::milliseconds timeout) {
  if (done_[k].load(std::memory_order_acquire)) return true;
  if (timeout.count() <= 0) return false;
  std::unique_lock lock(mutex_);
  return file_done_.wait_for(lock, timeout,
                             [&] { return done_[k].load(std::memory_order_relaxed); });
}

void StreamSchedule::mark_consumed(std::size_t k) {
  std::lock_guard lock(mutex_);
  consumed_ = std::max(consumed_, k + 1);
  bytes_ahead_ -= std::exchange(bytes_[k], 0);
}

void StreamSchedule::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
}

bool quick_to_read(std::string_view path) {
  // A name with a NUL byte is refused before any file is touched.
  if (path.find('\0') != std::string_view::npos) return true;
  struct stat status{};
  if (::stat(std::string(path).c_str(), &status) != 0) return true;  // fails at once too
  return S_ISREG(status.st_mode) && status.st_size <= quick_file_size;
}

std::size_t stream_window(std::size_t threads) {
  return files_ahead_per_thread * std::max<std::size_t>(threads, 1);
}

std::size_t start_stream_helpers(std::size_t count,
                                 const std::shared_ptr<std::function<void()>>& parse_in_order,
                                 const SharedCancelToken& token) {
  return start_on_pool(count, parse_in_order, token);
}

FlatDocument read_flat_entry(const std::string& path, const ReadOptions& options) {
  Result<TextGrid> grid = read_from_file(path, options);
  return grid ? to_flat(*grid) : empty_flat_document();
}

}  // namespace textgrid
