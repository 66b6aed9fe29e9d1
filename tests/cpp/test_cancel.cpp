// Cancellation of parallel maps, and pool threads held up by abandoned work.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "check.hpp"
#include "textgrid/concurrency/cancel.hpp"
#include "textgrid/concurrency/parallel.hpp"

using namespace textgrid;
using namespace std::chrono_literals;

namespace {

// Runs an ordered map of `n` elements under `token`; true when it ends in Cancelled.
template <class F>
bool cancelled_map(const SharedCancelToken& token, std::size_t n, F&& map_one) {
  CancellationScope scope(token);
  try {
    (void)ordered_parallel_map(n, map_one);
  } catch (const Cancelled&) {
    return true;
  }
  return false;
}

// A gate that blocked work waits at, until it is opened.
struct Gate {
  std::mutex mutex;
  std::condition_variable opened_signal;
  bool opened = false;
  void wait() {
    std::unique_lock lock(mutex);
    opened_signal.wait(lock, [&] { return opened; });
  }
  void open() {
    std::lock_guard lock(mutex);
    opened = true;
    opened_signal.notify_all();
  }
};

}  // namespace

TEST(cancelled_maps_start_no_element_on_any_path) {
  for (std::size_t n : {std::size_t{1}, parallel_threshold() - 1, parallel_threshold() * 8}) {
    auto token = std::make_shared<CancelToken>();
    token->cancel();
    std::atomic<std::size_t> calls{0};
    CHECK(cancelled_map(token, n, [&](std::size_t) { return ++calls; }));
    CHECK_EQ(calls.load(), std::size_t{0});
  }
}

TEST(cancelling_mid_map_stops_the_remaining_elements) {
  for (std::size_t n : {parallel_threshold() - 1, parallel_threshold() * 50}) {
    auto token = std::make_shared<CancelToken>();
    std::atomic<std::size_t> calls{0};
    CHECK(cancelled_map(token, n, [&](std::size_t i) {
      if (i == 0) token->cancel();
      std::this_thread::sleep_for(100us);
      return ++calls;
    }));
    // Elements already under way finish; no chunk starts after the cancel.
    CHECK(calls.load() < n / 2 + 1);
  }
}

TEST(nested_maps_on_pool_threads_see_the_outer_token) {
  auto token = std::make_shared<CancelToken>();
  std::size_t n = parallel_threshold() * 4;
  std::atomic<std::size_t> inner_cancelled{0};
  CHECK(cancelled_map(token, n, [&](std::size_t i) {
    if (i == 0) token->cancel();
    if (cancellation_requested()) ++inner_cancelled;
    return i;
  }));
  CHECK(inner_cancelled.load() > 0);
}

TEST(uncancelled_token_changes_nothing) {
  auto token = std::make_shared<CancelToken>();
  std::size_t n = parallel_threshold() * 10;
  CancellationScope scope(token);
  std::vector<std::size_t> results = ordered_parallel_map(n, [](std::size_t i) { return i * 3; });
  CHECK_EQ(results.size(), n);
  for (std::size_t i = 0; i < n; ++i) CHECK_EQ(results[i], i * 3);
}

// Work blocked for good (as on a FIFO nobody opens) must not starve later maps,
// even when it holds every pool thread.
TEST(maps_still_run_while_cancelled_work_blocks_every_pool_thread) {
  std::size_t threads = pool_thread_count();
  std::size_t n = threads * 4 * min_chunk_length;
  auto token = std::make_shared<CancelToken>();
  Gate gate;
  std::atomic<std::size_t> blocked{0};
  std::thread abandoned([&] {
    CancellationScope scope(token);
    try {
      (void)ordered_parallel_map(n, [&](std::size_t) {
        if (blocked.fetch_add(1) < threads) gate.wait();
        return 0;
      });
    } catch (const Cancelled&) {
    }
  });
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (blocked.load() < threads && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  token->cancel();
  std::vector<std::size_t> later =
      ordered_parallel_map(parallel_threshold() * 4, [](std::size_t i) { return i + 1; });
  CHECK_EQ(later.size(), parallel_threshold() * 4);
  CHECK_EQ(later.back(), parallel_threshold() * 4);
  gate.open();
  abandoned.join();
}
