#pragma once
// Rewriting files in another layout, document to document: whatever both
// layouts can hold (tier bounds included) comes through unchanged.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/model/error.hpp"
#include "textgrid/reading/reader.hpp"

namespace textgrid {

// What became of one file: no kind when it was written.
struct ConvertOutcome {
  std::optional<std::string> error_kind;  // "open", "encoding", "format", "validation", "structure", "write"
  std::optional<std::string> error;
};

// Reads each source (any layout, strictly or not) and saves the same document
// at the matching target in the long or short layout, on the pool. A document
// that reads but is not valid (read leniently) is not written. One outcome per
// source, in order; only running out of memory and cancellation escape.
// `contents`, when not empty, gives each source's bytes (an entry without data:
// read the source's file); `unavailable`, when not empty, why a source's bytes
// could not be had (that source fails as "open" and nothing is read for it).
// Text files are read in `encoding`.
std::vector<ConvertOutcome> convert_files(std::span<const std::string> sources,
                                          std::span<const std::string> targets, bool strict,
                                          bool long_format,
                                          std::span<const std::string_view> contents = {},
                                          std::span<const std::optional<std::string>> unavailable = {},
                                          TextEncoding encoding = TextEncoding::utf8);


}  // namespace textgrid
