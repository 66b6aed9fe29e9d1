#pragma once
// Putting a rendered file on disk without ever leaving a partial one behind.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace textgrid {

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

// The positions of the first two of `paths` (the first repeat, and the path
// it repeats) that saving would write to the same file: equal once their
// folders' links and ".." are resolved, or through a symbolic link to the
// file. Two spellings of one name on a case-insensitive file system are not
// recognised.
std::optional<std::pair<std::size_t, std::size_t>> first_shared_target(
    std::span<const std::string> paths);

}  // namespace textgrid
