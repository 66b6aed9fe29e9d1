#pragma once
// Saving many files at once with the guarantees of save_file, their flushes to
// disk overlapped: each file's bytes are written by the caller, and a few
// threads of the batch flush and rename the files, so that many flushes wait
// on the disk together (a journaling file system commits them as a group)
// instead of one after another.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "textgrid/concurrency/cancel.hpp"
#include "textgrid/writing/safe_save.hpp"

namespace textgrid {

class OverlappedSaves {
 public:
  // Flushing threads; files waiting for one are bounded to twice as many, so
  // that a batch keeps few files open.
  static constexpr std::size_t flushing_threads = 8;

  OverlappedSaves() noexcept;
  OverlappedSaves(const OverlappedSaves&) = delete;
  OverlappedSaves& operator=(const OverlappedSaves&) = delete;
  // Finishes whatever was handed over, then joins its threads.
  ~OverlappedSaves();

  // Writes `text` for `path` now (failing as a FileSaver fails), then hands the
  // flush and the rename to the batch's threads. A failure there is put in
  // `failure`, which must stay valid until wait() returns; it is left empty
  // when the file was saved. Safe to call from several threads.
  void save(std::string_view path, std::string_view text, std::optional<std::string>& failure);

  // Returns once every file handed over is finished; throws Cancelled when the
  // work was cancelled meanwhile.
  void wait();

 private:
  struct Pending {
    std::unique_ptr<FileSaver> saver;
    std::optional<std::string>* failure;
  };
  void start_thread_if_needed();  // with the lock held
  void run();
  void finish(Pending& pending);

  SharedCancelToken token_;  // the caller's, so that Ctrl-C reaches the flushes
  std::mutex mutex_;
  std::condition_variable has_work_, has_room_, idle_;
  std::deque<Pending> queue_;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  bool cancelled_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace textgrid
