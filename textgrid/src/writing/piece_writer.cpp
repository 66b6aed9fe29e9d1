// Saving a large document's text piece by piece; see piece_writer.hpp.
#include "textgrid/writing/piece_writer.hpp"

#include <system_error>
#include <utility>

#include "textgrid/platform/platform.hpp"

namespace textgrid {
namespace {
constexpr std::size_t most_waiting = 2;
}  // namespace

PieceWriter::PieceWriter(std::string_view path) : saver_(path) {
  try {
    // Like the pool's threads, it leaves Ctrl-C and the like to the application's own.
    platform::with_async_signals_blocked([&] { thread_ = std::thread([this] { run(); }); });
  } catch (const std::system_error&) {
    // No thread to be had: the caller writes each piece itself.
  }
}

PieceWriter::~PieceWriter() { stop(); }

void PieceWriter::stop() noexcept {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void PieceWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
    // Stopped by finish() (nothing left) or by an abandoned save (the rest unwanted).
    if (stopping_ || failure_) return;
    std::string piece = std::move(waiting_.front());
    waiting_.pop_front();
    writing_ = true;
    lock.unlock();
    std::exception_ptr failed;
    try {
      saver_.write(piece);
    } catch (...) {
      failed = std::current_exception();
    }
    lock.lock();
    writing_ = false;
    if (failed) {
      failure_ = failed;
      waiting_.clear();
    }
    changed_.notify_all();
  }
}

void PieceWriter::rethrow_failure() {
  if (failure_) std::rethrow_exception(failure_);
}

void PieceWriter::write(std::string&& piece) {
  if (!thread_.joinable()) return saver_.write(piece);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return failure_ || waiting_.size() < most_waiting; });
  rethrow_failure();
  waiting_.push_back(std::move(piece));
  changed_.notify_all();
}

void PieceWriter::finish() {
  if (thread_.joinable()) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return failure_ || (waiting_.empty() && !writing_); });
      rethrow_failure();
    }
    stop();
  }
  saver_.finish();
}

}  // namespace textgrid
