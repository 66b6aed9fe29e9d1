// Processor count, cgroup quota reading, chunk planning and the worker pool.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/concurrency/parallel.hpp"

using namespace textgrid;
namespace fs = std::filesystem;

namespace {

std::vector<std::size_t> sequential_squares(std::size_t n) {
  std::vector<std::size_t> expected(n);
  for (std::size_t i = 0; i < n; ++i) expected[i] = i * i + 7;
  return expected;
}

std::vector<std::size_t> parallel_squares(std::size_t n) {
  return ordered_parallel_map(n, [](std::size_t i) { return i * i + 7; });
}

// Runs `body` in a forked child; true when the child returned true and exited
// normally. The child is killed by its own alarm if the pool hangs in it.
template <class F>
bool succeeds_in_child(F&& body) {
  pid_t child = fork();
  if (child == 0) {
    alarm(20);
    bool ok = false;
    try {
      ok = body();
    } catch (...) {
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

}  // namespace

TEST(processor_count_is_positive_and_within_online_processors) {
  std::size_t count = processor_count();
  CHECK(count >= 1);
  CHECK(count <= static_cast<std::size_t>(std::max(1L, sysconf(_SC_NPROCESSORS_CONF))));
  CHECK_EQ(parallel_threshold(), count * 10);
}

TEST(chunk_plans_cover_the_range_in_even_contiguous_chunks) {
  for (std::size_t threads : {1, 2, 3, 16}) {
    for (std::size_t min_chunk : {1, 7, 20}) {
      for (std::size_t n : {1, 6, 19, 20, 21, 39, 40, 41, 100, 159, 160, 161, 1000, 99991}) {
        auto plan = detail::plan_chunks(n, min_chunk, threads);
        CHECK(plan.count >= 1 && plan.count <= 4 * threads);
        CHECK_EQ(plan.begin(0), std::size_t{0});
        CHECK_EQ(plan.end(plan.count - 1), n);
        for (std::size_t c = 0; c < plan.count; ++c) {
          std::size_t length = plan.end(c) - plan.begin(c);
          CHECK(length == plan.base_length || length == plan.base_length + 1);
          CHECK(length >= std::min(n, min_chunk));
          if (c > 0) CHECK_EQ(plan.begin(c), plan.end(c - 1));
        }
      }
    }
  }
  CHECK_EQ(detail::plan_chunks(0, 20, 4).count, std::size_t{0});
  CHECK_EQ(detail::plan_chunks(100000, 20, 2).count, std::size_t{8});
}

TEST(ordered_map_keeps_input_order_around_the_threshold) {
  std::size_t threshold = parallel_threshold();
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, threshold - 1, threshold, threshold + 1, 2 * threshold,
                        std::size_t{79}, std::size_t{80}, std::size_t{81}, std::size_t{4099}, std::size_t{100003}})
    CHECK(parallel_squares(n) == sequential_squares(n));
}

TEST(run_on_pool_visits_every_index_exactly_once) {
  for (std::size_t min_chunk : {1, 3, 20, 1000}) {
    for (std::size_t n : {1, 2, 20, 21, 999, 5000}) {
      std::vector<std::atomic<int>> visits(n);
      detail::run_on_pool(
          n, min_chunk,
          [](void* raw, std::size_t begin, std::size_t end) {
            auto& v = *static_cast<std::vector<std::atomic<int>>*>(raw);
            for (std::size_t i = begin; i < end; ++i) v[i].fetch_add(1);
          },
          &visits);
      bool once = std::all_of(visits.begin(), visits.end(), [](const auto& v) { return v.load() == 1; });
      CHECK(once);
    }
  }
}

TEST(nested_maps_from_pool_work_finish_with_correct_results) {
  std::vector<std::size_t> sums(40);
  detail::run_on_pool(
      sums.size(), 1,
      [](void* raw, std::size_t begin, std::size_t end) {
        auto& out = *static_cast<std::vector<std::size_t>*>(raw);
        for (std::size_t outer = begin; outer < end; ++outer) {
          auto inner = ordered_parallel_map(10000, [outer](std::size_t i) { return outer + i; });
          out[outer] = std::accumulate(inner.begin(), inner.end(), std::size_t{0});
        }
      },
      &sums);
  for (std::size_t outer = 0; outer < sums.size(); ++outer) CHECK_EQ(sums[outer], outer * 10000 + 49995000);
}

TEST(lowest_failing_element_is_rethrown_after_other_chunks_finish) {
  const std::size_t n = 5000;
  const std::vector<std::size_t> failing = {4321, 1700, 4999, 1710};
  std::atomic<std::size_t> mapped{0};
  std::string message;
  try {
    ordered_parallel_map(n, [&](std::size_t i) {
      if (std::find(failing.begin(), failing.end(), i) != failing.end()) fail("bad element " + std::to_string(i));
      mapped.fetch_add(1);
      return i;
    });
  } catch (const InternalFailure& failure) {
    message = failure.message();
  }
  CHECK_EQ(message, std::string("bad element 1700"));
  // Each chunk runs to its end except a failing chunk, which stops at its first failure.
  auto plan = detail::plan_chunks(n, min_chunk_length, pool_thread_count());
  std::size_t expected = 0;
  for (std::size_t c = 0; c < plan.count; ++c) {
    std::size_t stop = plan.end(c);
    for (std::size_t f : failing)
      if (f >= plan.begin(c) && f < stop) stop = f;
    expected += stop - plan.begin(c);
  }
  CHECK_EQ(mapped.load(), expected);
}

TEST(a_throwing_chunk_function_reaches_the_caller_and_the_pool_survives) {
  auto throw_in_late_chunks = [](void*, std::size_t begin, std::size_t) {
    if (begin > 0) throw std::runtime_error("chunk failed");
  };
  CHECK_THROWS(detail::run_on_pool(1000, 20, throw_in_late_chunks, nullptr));
  CHECK(parallel_squares(20000) == sequential_squares(20000));
}

TEST(pool_works_in_a_forked_child_and_in_the_parent_afterwards) {
  CHECK(parallel_squares(50000) == sequential_squares(50000));  // the pool exists before the fork
  CHECK(succeeds_in_child([] { return parallel_squares(50000) == sequential_squares(50000); }));
  // A fork while no pool exists (the child has abandoned its parent's), then both use one.
  CHECK(succeeds_in_child([] {
    bool grandchild_ok = succeeds_in_child([] { return parallel_squares(30000) == sequential_squares(30000); });
    return grandchild_ok && parallel_squares(30000) == sequential_squares(30000);
  }));
  CHECK(parallel_squares(50000) == sequential_squares(50000));
}

TEST(environment_sets_the_pool_thread_count) {
  // A forked child starts its own pool, so it sees the environment set in it.
  auto pool_size_with = [](const char* threads, const char* cpus) {
    return [=] {
      threads ? setenv("RAYON_NUM_THREADS", threads, 1) : unsetenv("RAYON_NUM_THREADS");
      cpus ? setenv("RAYON_RS_NUM_CPUS", cpus, 1) : unsetenv("RAYON_RS_NUM_CPUS");
      return pool_thread_count();
    };
  };
  struct Case {
    const char* threads;
    const char* cpus;
    std::size_t expected;
  };
  std::size_t own = processor_count();
  for (auto c : {Case{"1", nullptr, 1}, Case{"3", "5", 3}, Case{nullptr, "5", 5}, Case{"0", "2", 2},
                 Case{"x3", nullptr, own}, Case{"-2", nullptr, own}, Case{"", nullptr, own}}) {
    auto size = pool_size_with(c.threads, c.cpus);
    CHECK(succeeds_in_child([&] {
      return size() == c.expected && parallel_squares(9999) == sequential_squares(9999);
    }));
  }
}

TEST(work_runs_on_exactly_the_configured_number_of_threads) {
  // The caller of a map only waits, so a pool of k threads means k threads of
  // core work; with one, the work is serial and never on the calling thread.
  for (const char* threads : {"1", "2", "3"}) {
    CHECK(succeeds_in_child([&] {
      setenv("RAYON_NUM_THREADS", threads, 1);
      const auto caller = pthread_self();
      std::mutex mutex;
      std::vector<pthread_t> seen;
      ordered_parallel_map(4000, [&](std::size_t i) {
        std::lock_guard lock(mutex);
        pthread_t self = pthread_self();
        bool known = std::any_of(seen.begin(), seen.end(),
                                 [&](pthread_t t) { return pthread_equal(t, self); });
        if (!known) seen.push_back(self);
        return i;
      });
      bool caller_worked = std::any_of(seen.begin(), seen.end(),
                                       [&](pthread_t t) { return pthread_equal(t, caller); });
      return !caller_worked && seen.size() <= std::strtoul(threads, nullptr, 10);
    }));
  }
}

TEST(cgroup_quota_is_read_from_either_hierarchy) {
  fs::path root = fs::temp_directory_path() / ("tavrel_cgroup_" + std::to_string(getpid()));
  const std::string v2_mount = "30 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
  const std::string v1_mount = "32 31 0:29 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu,cpuacct\n";
  struct Case {
    const char* name;
    std::string proc_cgroup;
    std::string mountinfo;
    std::vector<std::pair<std::string, std::string>> files;
    std::optional<std::size_t> expected;
  };
  const std::vector<Case> cases = {
      {"v2 no limit", "0::/app\n", v2_mount, {{"sys/fs/cgroup/app/cpu.max", "max 100000\n"}}, std::nullopt},
      {"v2 half cpu", "0::/app\n", v2_mount, {{"sys/fs/cgroup/app/cpu.max", "50000 100000\n"}}, 1},
      {"v2 rounds up", "0::/app\n", v2_mount, {{"sys/fs/cgroup/app/cpu.max", "250000 100000\n"}}, 3},
      {"v2 parent is smaller",
       "0::/a/b\n",
       v2_mount,
       {{"sys/fs/cgroup/a/cpu.max", "100000 100000\n"}, {"sys/fs/cgroup/a/b/cpu.max", "max 100000\n"}},
       1},
      {"v2 mounted below its root", "0::/docker/x\n",
       "30 23 0:26 /docker/x /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
       {{"sys/fs/cgroup/cpu.max", "400000 100000\n"}}, 4},
      {"v2 group outside the mount", "0::/other\n",
       "30 23 0:26 /docker/x /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
       {{"sys/fs/cgroup/cpu.max", "100000 100000\n"}}, std::nullopt},
      {"v1 no quota", "3:cpu,cpuacct:/job\n", v1_mount,
       {{"sys/fs/cgroup/cpu/job/cpu.cfs_quota_us", "-1\n"}, {"sys/fs/cgroup/cpu/job/cpu.cfs_period_us", "100000\n"}},
       std::nullopt},
      {"v1 quota", "3:cpu,cpuacct:/job\n", v1_mount,
       {{"sys/fs/cgroup/cpu/job/cpu.cfs_quota_us", "150000\n"},
        {"sys/fs/cgroup/cpu/job/cpu.cfs_period_us", "100000\n"}},
       2},
      {"hybrid uses v1 when v2 has no cpu controller", "3:cpu,cpuacct:/job\n0::/job\n",
       "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n" + v1_mount,
       {{"sys/fs/cgroup/cpu/job/cpu.cfs_quota_us", "600000\n"},
        {"sys/fs/cgroup/cpu/job/cpu.cfs_period_us", "100000\n"}},
       6},
      {"escaped mount point", "0::/\n", "30 23 0:26 / /my\\040cgroups rw - cgroup2 cgroup2 rw\n",
       {{"my cgroups/cpu.max", "200000 100000\n"}}, 2},
      {"no cgroup mount", "0::/app\n", "", {{"sys/fs/cgroup/app/cpu.max", "50000 100000\n"}}, std::nullopt},
  };
  for (const auto& c : cases) {
    fs::remove_all(root);
    for (const auto& [path, text] : c.files) write_file(root / path, text);
    auto limit = detail::cgroup_cpu_limit(c.proc_cgroup, c.mountinfo, root.string());
    if (limit != c.expected) check::report(__FILE__, __LINE__, std::string("cgroup case: ") + c.name);
  }
  fs::remove_all(root);
}
