#pragma once
// The ordered parallel map: the one way the core spreads work over threads.
// Below the parallel threshold (ten elements per processor) elements are mapped
// in order on the calling thread; from it on, contiguous chunks of at least
// `min_chunk_length` elements go to the process-wide worker pool. Results come
// back in input order whatever the scheduling. When elements fail, the other
// chunks still finish and the failure of the lowest-numbered failing element is
// rethrown on the calling thread; no partial result is returned. Work run
// under a CancellationScope stops once it is cancelled: no further element is
// started (the pool threads take no further chunk) and the map throws Cancelled.
#include <cstddef>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "textgrid/concurrency/cancel.hpp"

namespace textgrid {

inline constexpr std::size_t min_chunk_length = 20;

// Processors the process may use: the smaller of the cgroup CPU quota (read
// once per process) and the affinity mask (asked afresh on each call), else the
// online processors; never less than 1.
std::size_t processor_count();

inline std::size_t parallel_threshold() { return processor_count() * 20 / 2; }

// A tier's items go to the pool (converted or rendered) only from this many
// on: one item takes tens of nanoseconds, and a round trip through the pool
// costs tens of microseconds, more on a busy machine. Smaller tiers stay on
// the calling thread, whatever the parallel threshold.
inline constexpr std::size_t items_worth_the_pool = std::size_t{1} << 15;

// Number of threads of the worker pool (creating the pool if needed).
std::size_t pool_thread_count();

namespace detail {

// The pool size asked for: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, when it
// holds a positive integer; else processor_count().
std::size_t configured_thread_count();

// Type-erased call of `fn(context, begin, end)` for each chunk of [0, n).
using ChunkFunction = void (*)(void* context, std::size_t begin, std::size_t end);

// How [0, n) is cut into `count` contiguous chunks: every chunk holds at least
// `min_chunk` elements (unless n itself is smaller), there are at most four per
// pool thread, and lengths differ by at most one (the first `longer` chunks
// hold one element more than `base_length`).
struct ChunkPlan {
  std::size_t count = 0;
  std::size_t base_length = 0;
  std::size_t longer = 0;

  std::size_t begin(std::size_t chunk) const {
    return chunk * base_length + (chunk < longer ? chunk : longer);
  }
  std::size_t end(std::size_t chunk) const {
    return begin(chunk) + base_length + (chunk < longer ? 1 : 0);
  }
};

ChunkPlan plan_chunks(std::size_t n, std::size_t min_chunk, std::size_t threads);

// The CPU limit set by the control groups in `proc_self_cgroup` (the text of
// /proc/self/cgroup) as mounted per `mountinfo` (/proc/self/mountinfo), with
// the quota files looked up below `filesystem_root` ("" for the real system):
// quota over period rounded up, the smallest along the way up the hierarchy.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup,
                                            std::string_view mountinfo,
                                            const std::string& filesystem_root);

// Runs the chunks on the worker pool and returns when all are done. A pool
// thread that calls this takes part in the work while it waits, so nested maps
// cannot deadlock; other callers just wait. Chunk functions should not throw; if one does anyway,
// the other chunks still finish and the first exception caught is rethrown here. The chunks run
// under the caller's cancellation token; once it is cancelled, the chunks not yet started are
// skipped.
void run_on_pool(std::size_t n, std::size_t min_chunk, ChunkFunction fn, void* context);

}  // namespace detail

// For its lifetime, the thread that makes it takes part in the maps it starts,
// as a pool thread does, instead of leaving them to the pool: for a thread
// that is itself one of the threads doing a batch's work.
class PoolParticipation {
 public:
  PoolParticipation() noexcept;
  ~PoolParticipation();
  PoolParticipation(const PoolParticipation&) = delete;
  PoolParticipation& operator=(const PoolParticipation&) = delete;

 private:
  bool was_participating_;
};

// Hands `copies` runs of `task` to the worker pool and returns at once, without
// waiting for them; the task (which owns everything it uses) lives until the
// last copy has run. Copies run on pool threads only, under `token`: once it is
// cancelled, copies not yet started never run. Returns how many copies were
// handed over (none when the pool has no thread).
std::size_t start_on_pool(std::size_t copies, std::shared_ptr<std::function<void()>> task,
                          SharedCancelToken token);

namespace detail {

// Keeps the failure of the lowest-numbered failing element.
class FirstFailure {
 public:
  void offer(std::size_t index, std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (index < index_) {
      index_ = index;
      error_ = std::move(error);
    }
  }
  void rethrow_if_any() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::mutex mutex_;
  std::size_t index_ = std::numeric_limits<std::size_t>::max();
  std::exception_ptr error_;
};

}  // namespace detail

template <class F>
auto ordered_parallel_map(std::size_t n, F&& map_one)
    -> std::vector<std::invoke_result_t<F&, std::size_t>> {
  using R = std::invoke_result_t<F&, std::size_t>;
  std::vector<R> results;
  if (n < parallel_threshold()) {
    results.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      throw_if_cancelled();
      results.push_back(map_one(i));
    }
    return results;
  }
  results.resize(n);
  struct Context {
    F& map_one;
    std::vector<R>& results;
    detail::FirstFailure failure;
  } context{map_one, results, {}};
  detail::run_on_pool(
      n, min_chunk_length,
      [](void* raw, std::size_t begin, std::size_t end) {
        auto& ctx = *static_cast<Context*>(raw);
        for (std::size_t i = begin; i < end; ++i) {
          if (cancellation_requested()) return;
          try {
            ctx.results[i] = ctx.map_one(i);
          } catch (...) {
            ctx.failure.offer(i, std::current_exception());
            return;  // the failing chunk stops at its failing element
          }
        }
      },
      &context);
  throw_if_cancelled();
  context.failure.rethrow_if_any();
  return results;
}

// The ordered parallel map over one tier's items: on the calling thread below
// items_worth_the_pool, where the pool would cost more than it saves.
template <class F>
auto ordered_item_map(std::size_t n, F&& map_one)
    -> std::vector<std::invoke_result_t<F&, std::size_t>> {
  if (n >= items_worth_the_pool) return ordered_parallel_map(n, map_one);
  std::vector<std::invoke_result_t<F&, std::size_t>> results;
  results.reserve(n);
  for (std::size_t i = 0; i < n; ++i) results.push_back(map_one(i));
  return results;
}

}  // namespace textgrid
