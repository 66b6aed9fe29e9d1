// The process-wide worker pool behind ordered_parallel_map.
#include "textgrid/concurrency/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "textgrid/platform/platform.hpp"

namespace textgrid {

namespace detail {

ChunkPlan plan_chunks(std::size_t n, std::size_t min_chunk, std::size_t threads) {
  if (n == 0) return {};
  std::size_t most = 4 * std::max<std::size_t>(threads, 1);
  std::size_t count = std::clamp<std::size_t>(n / std::max<std::size_t>(min_chunk, 1), 1, most);
  return {count, n / count, n % count};
}

}  // namespace detail

namespace {

// ---------------------------------------------------------------------------
// Worker pool

// One call of run_on_pool. The caller and any pool threads draw chunk numbers
// from `next`; the caller waits on `finished` until `done` reaches the count.
// Chunks run under the caller's cancellation token (null: not cancellable).
struct Job {
  detail::ChunkFunction fn;
  void* context;
  detail::ChunkPlan plan;
  SharedCancelToken token;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::mutex mutex;
  std::condition_variable finished;
  std::exception_ptr error;     // a chunk function broke its no-throw promise
  std::shared_ptr<void> owned;  // what a job nobody waits for runs on

  Job(detail::ChunkFunction f, void* c, detail::ChunkPlan p, SharedCancelToken t)
      : fn(f), context(c), plan(p), token(std::move(t)) {}

  bool cancelled() const noexcept { return token && token->requested(); }
};

// What one pool thread is busy with, so that threads held up in a cancelled
// job (a read blocked for good in the operating system) can be told apart.
struct WorkerRecord {
  std::shared_ptr<Job> job;
};

// Deliberately never destroyed: detached threads wait on it until the process ends.
struct Pool {
  std::mutex mutex;
  std::condition_variable work_available;
  std::vector<std::shared_ptr<Job>> jobs;  // jobs with chunks left to draw; newest (innermost) last
  std::size_t thread_count = 0;            // the configured number of working threads
  std::vector<std::shared_ptr<WorkerRecord>> workers;  // every live pool thread
};

void run_chunk(Job& job, std::size_t chunk) {
  // A cancelled job's remaining chunks are counted as done without running.
  if (!job.cancelled()) {
    try {
      job.fn(job.context, job.plan.begin(chunk), job.plan.end(chunk));
    } catch (...) {
      std::lock_guard lock(job.mutex);
      if (!job.error) job.error = std::current_exception();
    }
  }
  if (job.done.fetch_add(1, std::memory_order_acq_rel) + 1 == job.plan.count) {
    std::lock_guard lock(job.mutex);
    job.finished.notify_all();
  }
}

// Runs chunks of `job` until there is none left to draw.
void work_on(Job& job) {
  CancellationScope scope(job.token);
  for (;;) {
    std::size_t chunk = job.next.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= job.plan.count) return;
    run_chunk(job, chunk);
  }
}

void withdraw(Pool& pool, const Job& job) {
  std::lock_guard lock(pool.mutex);
  auto found = std::find_if(pool.jobs.begin(), pool.jobs.end(),
                            [&](const auto& j) { return j.get() == &job; });
  if (found != pool.jobs.end()) pool.jobs.erase(found);
}

// True on the pool's own threads. A pool thread that waits on an inner map
// works on it meanwhile (so nesting cannot deadlock); any other caller leaves
// the work to the pool, so that the configured thread count is the number of
// threads doing core work.
thread_local bool on_pool_thread = false;

// Pool threads still able to take work: those not held in a cancelled job.
// Called with the pool's mutex held.
std::size_t available_workers(const Pool& pool) {
  return static_cast<std::size_t>(
      std::count_if(pool.workers.begin(), pool.workers.end(),
                    [](const auto& record) { return !record->job || !record->job->cancelled(); }));
}

// A thread that comes back from a cancelled job finds its replacement already
// at work; the surplus thread leaves. Called with the pool's mutex held.
bool retire_if_surplus(Pool& pool, const std::shared_ptr<WorkerRecord>& self) {
  if (available_workers(pool) <= pool.thread_count) return false;
  std::erase(pool.workers, self);
  return true;
}

void worker_loop(Pool& pool, std::shared_ptr<WorkerRecord> self) {
  on_pool_thread = true;
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(pool.mutex);
      self->job.reset();
      if (retire_if_surplus(pool, self)) return;
      pool.work_available.wait(lock, [&] { return !pool.jobs.empty(); });
      job = pool.jobs.back();
      self->job = job;
    }
    work_on(*job);
    withdraw(pool, *job);
  }
}

// Starts pool threads until `wanted` of them can take work. Thread creation
// may fail (resource limits); a pool with fewer threads still finishes every
// map, and one with none leaves each map to its caller. Called with the pool's
// mutex held (or before the pool is shared).
void top_up_workers(Pool& pool, std::size_t wanted) {
  std::size_t missing = wanted - std::min(wanted, available_workers(pool));
  if (missing == 0) return;
  // Workers leave asynchronous signals to the application's own threads.
  platform::with_async_signals_blocked([&] {
    try {
      for (; missing > 0; --missing) {
        auto record = std::make_shared<WorkerRecord>();
        pool.workers.push_back(record);
        try {
          std::thread(worker_loop, std::ref(pool), record).detach();
        } catch (...) {
          pool.workers.pop_back();
          throw;
        }
      }
    } catch (const std::system_error&) {
    }
  });
}

Pool* start_pool() {
  auto* pool = new Pool;
  std::lock_guard lock(pool->mutex);  // the new threads wait until the count is final
  pool->thread_count = detail::configured_thread_count();
  top_up_workers(*pool, pool->thread_count);
  pool->thread_count = pool->workers.size();
  return pool;
}

// Plain atomics, so that a forked child can reset them without touching any
// lock a vanished parent thread may hold.
std::atomic<Pool*> current{nullptr};
std::atomic<bool> starting{false};

// The child of a fork has none of the pool's threads: abandon the parent's
// pool object (its mutex may be held by a thread that no longer exists) and let
// the next map start a fresh one.
void forget_pool_in_child() {
  current.store(nullptr, std::memory_order_relaxed);
  starting.store(false, std::memory_order_relaxed);
}

void register_fork_handler() {
  static std::atomic<bool> registered{false};
  if (!registered.exchange(true)) platform::on_fork_in_child(forget_pool_in_child);
}

Pool& the_pool() {
  for (;;) {
    if (Pool* pool = current.load(std::memory_order_acquire)) return *pool;
    bool expected = false;
    if (starting.compare_exchange_strong(expected, true)) {
      try {
        register_fork_handler();
        Pool* pool = start_pool();
        current.store(pool, std::memory_order_release);
        return *pool;
      } catch (...) {
        starting.store(false);
        throw;
      }
    }
    std::this_thread::yield();  // another thread is starting the pool right now
  }
}

}  // namespace

std::size_t pool_thread_count() { return the_pool().thread_count; }

namespace detail {

void run_on_pool(std::size_t n, std::size_t min_chunk, ChunkFunction fn, void* context) {
  if (n == 0) return;
  Pool& pool = the_pool();
  ChunkPlan plan = plan_chunks(n, min_chunk, pool.thread_count);
  if (plan.count == 1 || pool.thread_count == 0) {
    fn(context, 0, n);
    return;
  }
  auto job = std::make_shared<Job>(fn, context, plan, current_cancel_token());
  {
    std::lock_guard lock(pool.mutex);
    // Threads held up for good by an abandoned job must not starve this one.
    top_up_workers(pool, pool.thread_count);
    pool.jobs.push_back(job);
  }
  pool.work_available.notify_all();
  if (on_pool_thread) {
    work_on(*job);
    withdraw(pool, *job);
  }
  {
    std::unique_lock lock(job->mutex);
    job->finished.wait(
        lock, [&] { return job->done.load(std::memory_order_acquire) == job->plan.count; });
  }
  if (job->error) std::rethrow_exception(job->error);
}

}  // namespace detail

PoolParticipation::PoolParticipation() noexcept
    : was_participating_(std::exchange(on_pool_thread, true)) {}

PoolParticipation::~PoolParticipation() { on_pool_thread = was_participating_; }

std::size_t start_on_pool(std::size_t copies, std::shared_ptr<std::function<void()>> task,
                          SharedCancelToken token) {
  Pool& pool = the_pool();
  if (copies == 0 || pool.thread_count == 0) return 0;
  detail::ChunkFunction run_task = [](void* raw, std::size_t, std::size_t) {
    (*static_cast<std::function<void()>*>(raw))();
  };
  auto job = std::make_shared<Job>(run_task, task.get(), detail::ChunkPlan{copies, 1, 0},
                                   std::move(token));
  job->owned = std::move(task);
  {
    std::lock_guard lock(pool.mutex);
    top_up_workers(pool, pool.thread_count);
    pool.jobs.push_back(job);
  }
  pool.work_available.notify_all();
  return copies;
}

}  // namespace textgrid
