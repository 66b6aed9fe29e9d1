#pragma once
// Running core work so that the caller stays responsive: the work runs on a
// helper thread while the calling thread, with the interpreter lock released,
// waits for it and checks for signals every few milliseconds. When a signal
// handler raises (Ctrl-C), the work is cancelled (see textgrid/cancel.hpp) and
// the call returns at once with the handler's exception. This is the one place
// where the module functions let go of the interpreter lock.
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "pyref.hpp"

namespace tavrel {

// Tells, called without the interpreter lock, whether the work is quick: a few
// milliseconds at most, such as reading and parsing a small regular file.
// Quick work runs on the calling thread, because handing it to a helper would
// cost more than the work itself; signals are looked at as soon as it is done.
using QuickCheck = std::function<bool()>;

// Runs `work` without the interpreter lock: off the calling thread, waiting
// for it, unless `is_quick` (when given) says otherwise. Returns true when it
// finished (an exception it threw is rethrown here); false, with the Python
// exception set, when a signal handler raised (work on a helper is then
// abandoned). The work must own everything it reads (it may outlive the call)
// and must not touch any Python object. Called with the interpreter lock held.
bool run_interruptibly(std::function<void()> work, const QuickCheck& is_quick = {});

// Waits with the interpreter lock released until `done(timeout)` (which waits
// at most `timeout`) reports true, looking for signals between its waits. True
// when done; false, with the handler's exception set, when a signal handler
// raised. `done` must not touch any Python object. Called with the lock held.
bool wait_answering_signals(const std::function<bool(std::chrono::milliseconds)>& done);

// The result of `work`, or nothing (with the Python exception set) when it was
// interrupted. The result lives in shared storage, so that abandoned work
// writes into memory of its own when it finishes.
template <class Work>
auto run_interruptibly_for(Work work, const QuickCheck& is_quick = {})
    -> std::optional<decltype(work())> {
  using Result = decltype(work());
  auto slot = std::make_shared<std::optional<Result>>();
  if (!run_interruptibly([slot, work = std::move(work)]() mutable { slot->emplace(work()); },
                         is_quick))
    return std::nullopt;
  return std::move(*slot);
}

}  // namespace tavrel
