#pragma once
// Where a file is wrong: the problems found by reading a failed file once more
// while recording where its values stand, each with its line and, for items,
// the tier and item numbers as the file gives them.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/reading/reader.hpp"

namespace textgrid {

struct Problem {
  std::string kind;     // "open", "encoding", "format", "structure" or "validation"
  std::size_t line = 0;  // 1-based; 0 when the file has no lines to point at
  std::size_t tier = 0;  // 1-based tier number, 0 when no tier is concerned
  std::size_t item = 0;  // 1-based item number within the tier, 0 when none
  std::string message;  // with the tier's name, item numbers and times
};

struct DiagnoseOptions {
  ReadOptions read;
  bool all = false;  // every validation fault, not only the first
};

// The problems of one file, first the one that reading reports; none when
// the file reads, or is not a regular file (which is not read again). Only
// running out of memory escapes.
std::vector<Problem> diagnose_file(std::string_view path, const DiagnoseOptions& options);
// The same for bytes already in memory.
std::vector<Problem> diagnose_bytes(std::string_view bytes, const DiagnoseOptions& options);

// Every validation fault of a grid read with `map` (or the first only).
struct SourceMap;
struct TextGrid;
std::vector<Problem> validation_problems(const TextGrid& grid, const SourceMap& map, bool all);

}  // namespace textgrid
