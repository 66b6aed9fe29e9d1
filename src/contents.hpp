#pragma once
// Bytes the caller gave in memory (bytes, bytearray, memoryview, any buffer,
// or a str as its UTF-8), held without a copy for core work that reads them
// without the interpreter lock.
#include "pyref.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/reading/reader.hpp"

namespace tavrel {

// The buffers stay exported (a bytearray cannot be resized meanwhile) until
// the last share goes. Shares are taken by work that may outlive the call
// (Ctrl-C): if the last one goes on a thread without the interpreter lock,
// the buffers are released later by the interpreter, never touched there.
class HeldContents {
 public:
  HeldContents() = default;
  HeldContents(const HeldContents&) = delete;
  HeldContents& operator=(const HeldContents&) = delete;
  ~HeldContents();

  // Adds one object's bytes; false with TypeError set when it has none.
  // None adds a view without data (for a file to be read from disk instead);
  // with `failures_allowed`, an exception instance says why the bytes could
  // not be had (its message), and the file is not read at all.
  bool add(PyObject* object, bool failures_allowed = false);
  std::size_t size() const noexcept { return views_.size(); }
  std::string_view operator[](std::size_t i) const noexcept { return views_[i]; }
  const std::vector<std::string_view>& views() const noexcept { return views_; }
  // Empty when no entry failed, else one entry per file: the reason, if any.
  const std::vector<std::optional<std::string>>& unavailable() const noexcept {
    return unavailable_;
  }
  std::size_t total_bytes() const noexcept { return total_bytes_; }

 private:
  bool add_failure(PyObject* exception);

  std::vector<Py_buffer> buffers_;
  std::vector<PyObject*> texts_;  // str objects whose UTF-8 is viewed
  std::vector<std::string_view> views_;
  std::vector<std::optional<std::string>> unavailable_;
  std::size_t total_bytes_ = 0;
};

using SharedContents = std::shared_ptr<const HeldContents>;

// One object's bytes (the content of loads), or a sequence of them, one per
// file (contents of textgrids2table, where an entry may be an exception: the
// file's bytes could not be had). Null with a Python exception set.
SharedContents hold_content(PyObject* object);
SharedContents hold_content_list(PyObject* sequence);

// The encoding word, once: ValueError for a word it does not know.
bool to_encoding(PyObject* object, textgrid::TextEncoding& encoding);

}  // namespace tavrel
