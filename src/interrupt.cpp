#include "interrupt.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "textgrid/concurrency/cancel.hpp"
#include "textgrid/platform/platform.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;

// How often the waiting caller looks for signals, and how long it then gives
// cancelled work to wind up (remove a temporary file, stop the pool) before
// it returns anyway.
constexpr auto signal_poll_interval = 20ms;
constexpr auto cancelled_grace_period = 60ms;
// Idle helper threads leave after this long without work.
constexpr auto helper_idle_lifetime = 30s;

// One call's work and what became of it, owned jointly by the caller and the
// helper thread, so that either may be the last to let go.
struct Errand {
  explicit Errand(std::function<void()> w) : work(std::move(w)) {}

  std::function<void()> work;
  textgrid::SharedCancelToken token = std::make_shared<textgrid::CancelToken>();
  std::mutex mutex;
  std::condition_variable finished_signal;
  bool finished = false;
  std::exception_ptr error;

  void run() noexcept {
    {
      textgrid::CancellationScope scope(token);
      try {
        work();
      } catch (...) {
        error = std::current_exception();
      }
      work = nullptr;  // what the work owned goes with it, on this thread
    }
    std::lock_guard lock(mutex);
    finished = true;
    finished_signal.notify_all();
  }

  template <class Duration>
  bool wait_for(Duration timeout) {
    std::unique_lock lock(mutex);
    return finished_signal.wait_for(lock, timeout, [&] { return finished; });
  }
};

// Helper threads: one per call in progress, kept for a while when idle. A
// thread blocked for good in the operating system (a FIFO nobody opens) just
// never comes back; the next call gets another thread.
struct Helpers {
  std::mutex mutex;
  std::condition_variable work_available;
  std::deque<std::shared_ptr<Errand>> queue;
  std::size_t idle = 0;  // waiting threads not yet promised an errand
};

// Never destroyed (detached threads use it until the process ends); replaced
// in a forked child, which has none of the parent's threads.
std::atomic<Helpers*> current_helpers{new Helpers};

void forget_helpers_in_child() { current_helpers.store(new Helpers, std::memory_order_relaxed); }

void helper_loop(Helpers& helpers, std::shared_ptr<Errand> errand) {
  for (;;) {
    errand->run();
    errand.reset();
    std::unique_lock lock(helpers.mutex);
    ++helpers.idle;
    if (!helpers.work_available.wait_for(lock, helper_idle_lifetime,
                                         [&] { return !helpers.queue.empty(); })) {
      --helpers.idle;
      return;
    }
    errand = std::move(helpers.queue.front());
    helpers.queue.pop_front();
  }
}

// Helpers leave asynchronous signals to the interpreter's own threads.
void start_helper(Helpers& helpers, std::shared_ptr<Errand> errand) {
  textgrid::platform::with_async_signals_blocked(
      [&] { std::thread(helper_loop, std::ref(helpers), std::move(errand)).detach(); });
}

void dispatch(const std::shared_ptr<Errand>& errand) {
  static const bool registered = (textgrid::platform::on_fork_in_child(forget_helpers_in_child), true);
  (void)registered;
  Helpers& helpers = *current_helpers.load(std::memory_order_relaxed);
  {
    std::lock_guard lock(helpers.mutex);
    if (helpers.idle > 0) {
      --helpers.idle;
      helpers.queue.push_back(errand);
      helpers.work_available.notify_one();
      return;
    }
  }
  start_helper(helpers, errand);
}

}  // namespace

bool wait_answering_signals(const std::function<bool(std::chrono::milliseconds)>& done) {
  PyThreadState* released = PyEval_SaveThread();
  for (;;) {
    bool finished = done(signal_poll_interval);
    PyEval_RestoreThread(released);
    if (finished) return true;
    if (PyErr_CheckSignals() != 0) return false;
    released = PyEval_SaveThread();
  }
}

namespace {

// True when the errand finished; false with the handler's exception set when a
// signal handler raised, after giving the cancelled work a moment to wind up.
bool wait_for_errand(Errand& errand) {
  if (wait_answering_signals(
          [&](std::chrono::milliseconds timeout) { return errand.wait_for(timeout); }))
    return true;
  errand.token->cancel();
  PyThreadState* released = PyEval_SaveThread();
  (void)errand.wait_for(cancelled_grace_period);
  PyEval_RestoreThread(released);
  return false;
}

}  // namespace

namespace {

// Runs the work here when it is quick: whether it finished (false with the
// handler's exception set when a signal handler raised meanwhile); nothing,
// without having run it, when it is not quick.
std::optional<bool> run_here_if_quick(const std::function<void()>& work,
                                      const QuickCheck& is_quick) {
  std::exception_ptr error;
  bool quick = false;
  PyThreadState* released = PyEval_SaveThread();
  try {
    quick = is_quick();
    if (quick) work();
  } catch (...) {
    error = std::current_exception();
  }
  PyEval_RestoreThread(released);
  if (!quick) return std::nullopt;  // a check that failed counts as "not quick"
  if (error) std::rethrow_exception(error);
  return PyErr_CheckSignals() == 0;
}

}  // namespace

bool run_interruptibly(std::function<void()> work, const QuickCheck& is_quick) {
  if (is_quick) {
    if (std::optional<bool> finished = run_here_if_quick(work, is_quick)) return *finished;
  }
  auto errand = std::make_shared<Errand>(std::move(work));
  try {
    dispatch(errand);
  } catch (const std::system_error&) {
    // No thread to be had: do the work here, still without the lock.
    PyThreadState* released = PyEval_SaveThread();
    errand->run();
    PyEval_RestoreThread(released);
  }
  if (!wait_for_errand(*errand)) return false;
  if (errand->error) std::rethrow_exception(errand->error);
  return true;
}

}  // namespace tavrel
