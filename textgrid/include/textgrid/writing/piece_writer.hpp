#pragma once
// A large document saved from pieces of its text: a thread of the save's own
// writes each piece while the caller formats the next, with the guarantees of
// FileSaver (nothing at the path until finished, the old file kept on failure).
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "textgrid/writing/safe_save.hpp"

namespace textgrid {

class PieceWriter {
 public:
  explicit PieceWriter(std::string_view path);
  PieceWriter(const PieceWriter&) = delete;
  PieceWriter& operator=(const PieceWriter&) = delete;
  // Unfinished, it stops its thread and the path keeps what it held.
  ~PieceWriter();

  // Waits while two pieces are waiting; a failure of an earlier write is thrown here.
  void write(std::string&& piece);
  // Writes what is waiting, then flushes and renames into place.
  void finish();

 private:
  void run();
  void stop() noexcept;
  void rethrow_failure();

  FileSaver saver_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> waiting_;
  bool writing_ = false;  // the thread holds a piece
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // not joinable when none could be started: the caller writes
};

}  // namespace textgrid
