#pragma once
// Corpora as tables: many files read on the worker pool straight into Arrow
// record batches (one row per item), with one report row per file; and many
// files written from columns, with one report row per output file.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/tables/arrow.hpp"
#include "textgrid/model/buffer.hpp"
#include "textgrid/model/error.hpp"
#include "textgrid/reading/reader.hpp"

namespace textgrid {

// A failed file as the summary of a batch call shows it.
struct FailureNote {
  std::string path;
  std::string kind;
  std::string message;
};

// What a batch call gives back besides its rows: one report row per file,
// the number of failures and the first few of them.
struct BatchReports {
  std::shared_ptr<const arrow::Table> table;
  std::size_t files = 0;
  std::size_t failures = 0;
  std::vector<FailureNote> first_failures;
};

inline constexpr std::size_t failure_notes_kept = 5;

// One tier of a file as a summary lists it: tiers without items too.
struct TierSummary {
  std::string name;
  bool is_interval = true;
  std::size_t items = 0;
};

struct CorpusTable {
  std::shared_ptr<const arrow::Table> rows;
  BatchReports reports;
  // When asked for: one entry per file, its tiers; nothing for a file that failed.
  std::vector<std::optional<std::vector<TierSummary>>> tiers;
};

struct CorpusOptions {
  bool strict = false;
  FileType file_type = FileType::automatic;
  TextEncoding encoding = TextEncoding::utf8;
  bool tier_summaries = false;  // keep every read file's list of tiers
  // Label bytes per batch beyond which the offsets become 64-bit (for all batches).
  std::size_t label_offset_limit = 0x7fffffff;
};

// Reads every file; a file that cannot be read gives no rows and a report
// saying why. Only an unknown file type (an internal failure) and running
// out of memory escape. When `contents` is not empty (one entry per file),
// file k's bytes are contents[k] and files[k] only names it; an entry without
// data (a default view) leaves file k to be read from disk. When `unavailable`
// is not empty (one entry per file), an entry with a reason says why file k's
// bytes could not be had (a failed download, say): file k fails as "open" with
// that reason and nothing is read in its place.
CorpusTable read_corpus(std::span<const std::string> files, const CorpusOptions& options,
                        std::span<const std::string_view> contents = {},
                        std::span<const std::optional<std::string>> unavailable = {});

// Rows of many TextGrids in the vector form, each with the number of the
// output file it belongs to.
struct CorpusColumns {
  Buffer<double> tmins;
  Buffer<double> tmaxs;
  std::vector<std::string> labels;
  std::vector<std::string> tier_names;
  Buffer<bool> is_intervals;
  Buffer<std::uint64_t> file_ids;
  Buffer<std::uint64_t> tier_indices;  // empty, or each row's tier position in its file
};

// Per-file global bounds; absent entries (or an empty list) leave the bound
// to the file's items.
struct FileBounds {
  std::vector<std::optional<double>> tmins;
  std::vector<std::optional<double>> tmaxs;
};

// A mistake of the caller that write_corpus refuses before writing anything,
// with the input it concerns (for the caller to name).
struct CorpusRefusal {
  enum class Input { columns, file_ids, output_files, tier_indices };
  Input input;
  std::string message;
};

// Groups the rows by file, then builds, validates and saves each file on the
// pool. Columns of unequal length, an id beyond the output list and two
// outputs that name one file (see first_shared_target) are refused; failures
// of single files are reported. An output file without rows is built as
// empty vectors are: without tiers, and valid only when its bounds (at least
// its tmax) are given; without them its report says it has no rows. A point
// tier whose points share one time takes the file's bounds.
std::expected<BatchReports, CorpusRefusal> write_corpus(CorpusColumns columns,
                                                        std::span<const std::string> output_files,
                                                        const FileBounds& bounds, bool long_format);

}  // namespace textgrid
