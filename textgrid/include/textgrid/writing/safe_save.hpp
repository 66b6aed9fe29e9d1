#pragma once
// Putting a rendered file on disk without ever leaving a partial one behind.
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "textgrid/model/failure.hpp"

namespace textgrid {

// How a save fails: an internal failure that also keeps the system's error
// number, for callers that report a failed save as an ordinary error.
class SaveFailure : public InternalFailure {
 public:
  SaveFailure(std::string message, int os_code,
              std::source_location where = std::source_location::current())
      : InternalFailure(std::move(message), where), os_code_(os_code) {}
  int os_code() const noexcept { return os_code_; }  // 0 when not from the system

 private:
  int os_code_;
};

// Saves `text` at `path`. A regular file (or a new one) is written to a
// temporary file beside it, flushed to disk and renamed over the target, so
// that the path holds the complete previous or the complete new content at
// every moment; the existing file's permission bits (and, where allowed, its
// owner) carry over, and a symbolic link is followed to the file it names (the
// link itself stays). Anything else that exists at the path (a FIFO, a device)
// is opened and written in place. A failure is an internal failure that names
// `path` and leaves no temporary file behind; cancellation (see cancel.hpp) is
// honoured between pieces of the write and before the rename.
void save_file(std::string_view path, std::string_view text);

// A file saved piece by piece with the guarantees of save_file: the target is
// opened as save_file opens it (a FIFO waits for its reader), and a regular
// file appears at the path only when finish() succeeds. Destroyed unfinished,
// it leaves the path as it was. Failures are SaveFailures naming the path.
class FileSaver {
 public:
  explicit FileSaver(std::string_view path);
  FileSaver(const FileSaver&) = delete;
  FileSaver& operator=(const FileSaver&) = delete;
  ~FileSaver();

  // True when the target is written in place (a FIFO, a device).
  bool in_place() const noexcept;
  void write(std::string_view piece);
  // Flushes to disk and renames into place; the saver is spent afterwards.
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A save the caller may make on its own thread without being held up for long:
// a document of at most quick_save_items items going to a regular file, or to
// a path where nothing is yet. A FIFO or a device may block until its other
// end opens, and a large document takes long to render.
bool quick_to_save(std::string_view path, std::size_t items);
inline constexpr std::size_t quick_save_items = 20'000;

// The positions of the first two of `paths` (the first repeat, and the path
// it repeats) that saving would write to the same file: equal once their
// folders' links and ".." are resolved, or through a symbolic link to the
// file. Two spellings of one name on a case-insensitive file system are not
// recognised.
std::optional<std::pair<std::size_t, std::size_t>> first_shared_target(
    std::span<const std::string> paths);

}  // namespace textgrid
