// Flushing a batch's files on threads of its own; see overlapped_saves.hpp.
#include "textgrid/writing/overlapped_saves.hpp"

#include <exception>
#include <system_error>
#include <utility>

#include "textgrid/platform/platform.hpp"
#include "textgrid/reading/reader.hpp"

namespace textgrid {

OverlappedSaves::OverlappedSaves() noexcept : token_(current_cancel_token()) {}

OverlappedSaves::~OverlappedSaves() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  has_work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void OverlappedSaves::save(std::string_view path, std::string_view text,
                           std::optional<std::string>& failure) {
  auto saver = std::make_unique<FileSaver>(path);
  saver->write(text);
  Pending pending{std::move(saver), &failure};
  // A FIFO or a device is written in place: there is nothing to flush.
  if (pending.saver->in_place()) {
    pending.saver->finish();
    return;
  }
  std::unique_lock lock(mutex_);
  start_thread_if_needed();
  if (threads_.empty()) {  // no thread could be started: finish it here
    lock.unlock();
    finish(pending);
    return;
  }
  has_room_.wait(lock, [&] { return queue_.size() < 2 * flushing_threads; });
  queue_.push_back(std::move(pending));
  lock.unlock();
  has_work_.notify_one();
}

void OverlappedSaves::wait() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [&] { return queue_.empty() && busy_ == 0; });
  if (cancelled_) throw Cancelled();
}

void OverlappedSaves::start_thread_if_needed() {
  if (threads_.size() >= flushing_threads || queue_.size() < threads_.size()) return;
  try {
    // Like the pool's threads, these leave Ctrl-C and the like to the application's own.
    platform::with_async_signals_blocked([&] { threads_.emplace_back([this] { run(); }); });
  } catch (const std::system_error&) {
    // Out of threads: the ones running (or the caller) do the work.
  }
}

void OverlappedSaves::run() {
  CancellationScope scope(token_);
  std::unique_lock lock(mutex_);
  for (;;) {
    has_work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Pending pending = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    lock.unlock();
    has_room_.notify_one();
    finish(pending);
    lock.lock();
    --busy_;
    if (queue_.empty() && busy_ == 0) idle_.notify_all();
  }
}

void OverlappedSaves::finish(Pending& pending) {
  try {
    pending.saver->finish();
  } catch (const Cancelled&) {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  } catch (const std::exception& failure) {
    *pending.failure = with_replacement_characters(failure.what());
  }
  // An unfinished saver removes its temporary file and leaves the target as it was.
  pending.saver.reset();
}

}  // namespace textgrid
