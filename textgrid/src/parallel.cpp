// Processor count and the process-wide worker pool behind ordered_parallel_map.
#include "textgrid/parallel.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

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

namespace textgrid {
namespace {

// ---------------------------------------------------------------------------
// Control-group CPU quota

std::optional<std::string> read_text_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return std::move(text).str();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t stop = text.find(separator, start);
    parts.push_back(text.substr(start, stop - start));
    if (stop == std::string_view::npos) return parts;
    start = stop + 1;
  }
}

bool contains_word(std::string_view list, std::string_view word) {
  for (auto part : split(list, ','))
    if (part == word) return true;
  return false;
}

// Plain unsigned decimal, optionally signed with '+', nothing else around it.
std::optional<std::size_t> parse_count(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  std::size_t value = 0;
  auto [rest, status] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || status != std::errc{} || rest != text.data() + text.size()) return std::nullopt;
  return value;
}

// Mount paths in mountinfo escape space, tab, newline and backslash as \ooo.
std::string unescape_mount_path(std::string_view text) {
  std::string path;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool octal = text[i] == '\\' && i + 3 < text.size() &&
                 std::all_of(text.begin() + i + 1, text.begin() + i + 4,
                             [](char c) { return c >= '0' && c <= '7'; });
    if (octal) {
      path += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
      i += 3;
    } else {
      path += text[i];
    }
  }
  return path;
}

struct Mount {
  std::string root;   // the directory of the hierarchy that is mounted
  std::string point;  // where it is mounted
  std::string fstype;
  std::string super_options;
};

std::vector<Mount> parse_mounts(std::string_view mountinfo) {
  std::vector<Mount> mounts;
  for (auto line : split(mountinfo, '\n')) {
    auto fields = split(line, ' ');
    // Fields: id parent dev root point options [optional...] - fstype source super_options
    auto dash = std::find(fields.begin() + std::min<std::size_t>(fields.size(), 6), fields.end(), "-");
    if (fields.size() < 6 || fields.end() - dash < 4) continue;
    mounts.push_back({unescape_mount_path(fields[3]), unescape_mount_path(fields[4]), std::string(dash[1]),
                      std::string(dash[3])});
  }
  return mounts;
}

// The directory of `group_path` below `mount`, or nothing when the group lies
// outside the mounted part of the hierarchy.
std::optional<std::string> group_directory(const Mount& mount, std::string_view group_path) {
  for (auto part : split(group_path, '/'))
    if (part == "..") return std::nullopt;
  std::string_view root = mount.root == "/" ? std::string_view{} : std::string_view(mount.root);
  if (!group_path.starts_with(root)) return std::nullopt;
  group_path.remove_prefix(root.size());
  if (!group_path.empty() && !group_path.starts_with('/')) return std::nullopt;
  std::string directory = mount.point + std::string(group_path);
  while (directory.size() > 1 && directory.ends_with('/')) directory.pop_back();
  return directory;
}

std::size_t divide_rounding_up(std::size_t quota, std::size_t period) {
  return std::max<std::size_t>(1, quota / period + (quota % period != 0 ? 1 : 0));
}

// cgroup v2: cpu.max holds "quota period" or "max period".
std::optional<std::size_t> limit_v2(const std::string& directory) {
  auto text = read_text_file(directory + "/cpu.max");
  if (!text) return std::nullopt;
  auto words = split(split(*text, '\n')[0], ' ');
  if (words.size() < 2) return std::nullopt;
  auto quota = parse_count(words[0]);
  auto period = parse_count(words[1]);
  if (!quota || !period || *period == 0) return std::nullopt;
  return divide_rounding_up(*quota, *period);
}

std::optional<std::size_t> read_single_count(const std::string& path) {
  auto text = read_text_file(path);
  if (!text) return std::nullopt;
  return parse_count(split(*text, '\n')[0]);  // "-1", meaning no quota, does not parse
}

// cgroup v1: cpu.cfs_quota_us (-1 = none) over cpu.cfs_period_us.
std::optional<std::size_t> limit_v1(const std::string& directory) {
  auto quota = read_single_count(directory + "/cpu.cfs_quota_us");
  auto period = read_single_count(directory + "/cpu.cfs_period_us");
  if (!quota || !period || *period == 0) return std::nullopt;
  return divide_rounding_up(*quota, *period);
}

// A parent group's quota caps its children too, so take the smallest limit on
// the way up to the mount point.
template <class ReadLimit>
std::optional<std::size_t> smallest_limit_upwards(const std::string& mount_point, std::string directory,
                                                  ReadLimit read_limit) {
  std::optional<std::size_t> smallest;
  for (;;) {
    if (auto limit = read_limit(directory); limit && (!smallest || *limit < *smallest)) smallest = limit;
    if (directory.size() <= mount_point.size()) return smallest;
    std::size_t parent_end = directory.rfind('/');
    directory.resize(parent_end == 0 ? 1 : parent_end);
  }
}

template <class IsMount, class ReadLimit>
std::optional<std::size_t> hierarchy_limit(const std::vector<Mount>& mounts, std::optional<std::string> group_path,
                                           const std::string& filesystem_root, IsMount is_mount,
                                           ReadLimit read_limit) {
  if (!group_path) return std::nullopt;
  auto mount = std::find_if(mounts.begin(), mounts.end(), is_mount);
  if (mount == mounts.end()) return std::nullopt;
  auto directory = group_directory(*mount, *group_path);
  if (!directory) return std::nullopt;
  return smallest_limit_upwards(filesystem_root + mount->point, filesystem_root + *directory, read_limit);
}

}  // namespace

namespace detail {

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup, std::string_view mountinfo,
                                            const std::string& filesystem_root) {
  std::optional<std::string> unified_path, cpu_path;
  for (auto line : split(proc_self_cgroup, '\n')) {
    // "hierarchy:controllers:path"; the path itself may hold colons.
    std::size_t first = line.find(':');
    std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    auto hierarchy = line.substr(0, first);
    auto controllers = line.substr(first + 1, second - first - 1);
    auto path = std::string(line.substr(second + 1));
    if (hierarchy == "0" && controllers.empty()) unified_path = path;
    else if (contains_word(controllers, "cpu")) cpu_path = path;
  }
  auto mounts = parse_mounts(mountinfo);
  auto unified = hierarchy_limit(
      mounts, unified_path, filesystem_root, [](const Mount& m) { return m.fstype == "cgroup2"; }, limit_v2);
  if (unified) return unified;
  return hierarchy_limit(
      mounts, cpu_path, filesystem_root,
      [](const Mount& m) { return m.fstype == "cgroup" && contains_word(m.super_options, "cpu"); }, limit_v1);
}

}  // namespace detail

namespace {

std::optional<std::size_t> own_cgroup_cpu_limit() {
  auto groups = read_text_file("/proc/self/cgroup");
  auto mountinfo = read_text_file("/proc/self/mountinfo");
  if (!groups || !mountinfo) return std::nullopt;
  return detail::cgroup_cpu_limit(*groups, *mountinfo, "");
}

// ---------------------------------------------------------------------------
// Affinity mask and online processors

std::optional<std::size_t> affinity_count() {
  // The mask may be wider than cpu_set_t on very large machines; grow until it fits.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 22); cpus *= 2) {
    std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(cpus), [](cpu_set_t* s) { CPU_FREE(s); });
    if (!set) return std::nullopt;
    std::size_t size = CPU_ALLOC_SIZE(cpus);
    if (sched_getaffinity(0, size, set.get()) == 0) return static_cast<std::size_t>(CPU_COUNT_S(size, set.get()));
    if (errno != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

std::size_t online_count() {
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace

std::size_t processor_count() {
  static const std::optional<std::size_t> quota = own_cgroup_cpu_limit();
  auto affinity = affinity_count();
  std::size_t count = affinity && *affinity > 0 ? *affinity : online_count();
  if (quota) count = std::min(count, *quota);
  return std::max<std::size_t>(count, 1);
}

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
  std::exception_ptr error;  // a chunk function broke its no-throw promise
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
  auto found = std::find_if(pool.jobs.begin(), pool.jobs.end(), [&](const auto& j) { return j.get() == &job; });
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

// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, when it holds a positive integer.
std::size_t configured_thread_count() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    const char* value = std::getenv(name);
    if (!value) continue;
    if (auto count = parse_count(value); count && *count > 0) return *count;
  }
  return processor_count();
}

// Workers leave asynchronous signals to the application's own threads (the
// Python interpreter expects them on its main thread); faults stay deliverable.
sigset_t worker_signal_mask() {
  sigset_t mask;
  sigfillset(&mask);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&mask, fault);
  return mask;
}

// Starts pool threads until `wanted` of them can take work. Thread creation
// may fail (resource limits); a pool with fewer threads still finishes every
// map, and one with none leaves each map to its caller. Called with the pool's
// mutex held (or before the pool is shared).
void top_up_workers(Pool& pool, std::size_t wanted) {
  std::size_t missing = wanted - std::min(wanted, available_workers(pool));
  if (missing == 0) return;
  sigset_t blocked = worker_signal_mask(), previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
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
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

Pool* start_pool() {
  auto* pool = new Pool;
  std::lock_guard lock(pool->mutex);  // the new threads wait until the count is final
  pool->thread_count = configured_thread_count();
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
  if (!registered.exchange(true)) pthread_atfork(nullptr, nullptr, forget_pool_in_child);
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
    job->finished.wait(lock, [&] { return job->done.load(std::memory_order_acquire) == job->plan.count; });
  }
  if (job->error) std::rethrow_exception(job->error);
}

}  // namespace detail

PoolParticipation::PoolParticipation() noexcept : was_participating_(std::exchange(on_pool_thread, true)) {}

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
