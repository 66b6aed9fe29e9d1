#pragma once
// Cancellation of long core work. A caller that may give up on a piece of work
// (the Python layer on Ctrl-C) runs it under a CancellationScope; the core asks
// `cancellation_requested()` between units of work and stops by throwing
// `Cancelled`. The token travels with the work: ordered_parallel_map hands it to
// the pool threads that run its chunks, so nested maps are cancelled too.
#include <atomic>
#include <exception>
#include <memory>

namespace textgrid {

class CancelToken {
 public:
  void cancel() noexcept { requested_.store(true, std::memory_order_release); }
  bool requested() const noexcept { return requested_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> requested_{false};
};

using SharedCancelToken = std::shared_ptr<CancelToken>;

// Thrown by the core when the work it is doing has been cancelled. Not an
// error of the work itself: whoever cancelled has already answered for it.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "cancelled"; }
};

// The token of the work running on this thread, or null.
const SharedCancelToken& current_cancel_token() noexcept;

// True once the work running on this thread has been cancelled.
bool cancellation_requested() noexcept;
void throw_if_cancelled();

// Makes `token` the current token of this thread for the scope's lifetime.
class CancellationScope {
 public:
  explicit CancellationScope(SharedCancelToken token) noexcept;
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  SharedCancelToken previous_;
};

}  // namespace textgrid
