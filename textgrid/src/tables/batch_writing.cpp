// Writing many TextGrids from rows: the rows are grouped by output file with
// one counting pass, then each file is built, validated and saved on the pool
// exactly as a single file would be, and leaves one report row.
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "textgrid/tables/corpus.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/writing/overlapped_saves.hpp"
#include "textgrid/model/textgrid.hpp"

namespace textgrid {
namespace {

using arrow::Field;

// Name given to every TextGrid built from rows.
constexpr const char* built_document_name = "TextGrid";

struct WriteOutcome {
  std::uint32_t tiers = 0;
  std::uint64_t items = 0;
  std::optional<std::string> error_kind;
  std::optional<std::string> error;
};

bool same_lengths(const CorpusColumns& columns) {
  const std::size_t n = columns.file_ids.size();
  return columns.tmins.size() == n && columns.tmaxs.size() == n && columns.labels.size() == n &&
         columns.tier_names.size() == n && columns.is_intervals.size() == n;
}

// Row numbers grouped by file: the rows of file f are order[starts[f] .. starts[f + 1]),
// in their original order.
struct Grouping {
  Buffer<std::size_t> starts;
  Buffer<std::size_t> order;
};

Grouping group_by_file(const Buffer<std::uint64_t>& file_ids, std::size_t files) {
  Grouping grouping;
  grouping.starts.append_fill(0, files + 1);
  for (std::uint64_t id : file_ids) ++grouping.starts[id + 1];
  for (std::size_t f = 0; f < files; ++f) grouping.starts[f + 1] += grouping.starts[f];
  Buffer<std::size_t> next = grouping.starts;
  grouping.order.append_fill(0, file_ids.size());
  for (std::size_t row = 0; row < file_ids.size(); ++row)
    grouping.order[next[file_ids[row]]++] = row;
  return grouping;
}

// Each row belongs to one file only, so files may move their texts out concurrently.
Vectors take_rows(CorpusColumns& columns, const Grouping& grouping, std::size_t file) {
  Vectors vectors;
  const std::size_t begin = grouping.starts[file];
  const std::size_t end = grouping.starts[file + 1];
  vectors.tmins.reserve(end - begin);
  vectors.tmaxs.reserve(end - begin);
  vectors.is_intervals.reserve(end - begin);
  vectors.labels.reserve(end - begin);
  vectors.tier_names.reserve(end - begin);
  for (std::size_t k = begin; k < end; ++k) {
    const std::size_t row = grouping.order[k];
    vectors.tmins.push_back(columns.tmins[row]);
    vectors.tmaxs.push_back(columns.tmaxs[row]);
    vectors.is_intervals.push_back(columns.is_intervals[row]);
    vectors.labels.push_back(std::move(columns.labels[row]));
    vectors.tier_names.push_back(std::move(columns.tier_names[row]));
  }
  if (!columns.tier_indices.empty())
    for (std::size_t k = begin; k < end; ++k)
      vectors.tier_indices.push_back(columns.tier_indices[grouping.order[k]]);
  return vectors;
}

template <class Value>
std::optional<Value> entry_or_none(const std::vector<std::optional<Value>>& values,
                                   std::size_t index) {
  return index < values.size() ? values[index] : std::nullopt;
}

// Without rows and without a tmax an empty TextGrid has no extent: say so,
// rather than what validating the bounds 0 to 0 would say.
std::optional<std::string> lacks_extent(const Vectors& vectors, std::size_t file,
                                        std::optional<double> tmin, std::optional<double> tmax) {
  if (!vectors.tmins.empty() || tmax) return std::nullopt;
  return "file id " + std::to_string(file) + " has no rows, and no " +
         (tmin ? "tmax bound" : "bounds") + " to give it an extent";
}

// Where a file's save ends: the batch's overlapped flushes, and the slot that
// a failure to flush it lands in.
struct SaveSlot {
  OverlappedSaves& saves;
  std::optional<std::string>& flush_failure;
};

WriteOutcome write_one(Vectors vectors, std::size_t file, const std::string& path,
                       std::optional<double> tmin, std::optional<double> tmax, bool long_format,
                       SaveSlot slot) {
  WriteOutcome outcome;
  std::optional<TextGrid> grid;
  try {
    if (std::optional<std::string> problem = lacks_extent(vectors, file, tmin, tmax)) {
      outcome.error_kind = "validation";
      outcome.error = "Failed to create TextGrid because: " + *problem;
      return outcome;
    }
    Result<TextGrid> built =
        TextGrid::from_vectors(std::move(vectors), tmin, tmax, built_document_name,
                               PointTierSpan::textgrid_when_degenerate);
    if (!built) {
      outcome.error_kind = "validation";
      outcome.error = "Failed to create TextGrid because: " + built.error().message;
      return outcome;
    }
    grid = std::move(*built);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& failure) {
    outcome.error_kind = "validation";
    outcome.error = failure.what();
    return outcome;
  }
  outcome.tiers = static_cast<std::uint32_t>(grid->tiers.size());
  for (const Tier& tier : grid->tiers) outcome.items += tier.items.size();
  try {
    const std::string text =
        long_format ? grid->to_long_textgrid_string() : grid->to_short_textgrid_string();
    slot.saves.save(path, text, slot.flush_failure);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& failure) {
    outcome.error_kind = "write";
    outcome.error = with_replacement_characters(failure.what());
  }
  return outcome;
}

Field write_reports_schema() {
  auto field = [](const char* name, const char* format, bool nullable) {
    return Field{name, format, nullable, {}, {}};
  };
  return Field{"",
               "+s",
               false,
               {field("file_id", "I", false), field("path", "u", false), field("ok", "b", false),
                field("tiers", "I", false), field("items", "L", false),
                field("error_kind", "u", true), field("error", "u", true)},
               {}};
}

BatchReports build_write_reports(std::span<const std::string> paths,
                                 std::vector<WriteOutcome>& outcomes) {
  const std::size_t n = paths.size();
  BatchReports reports;
  reports.files = n;
  Buffer<std::uint32_t> file_ids, tiers;
  Buffer<std::uint64_t> items;
  std::vector<std::optional<std::string>> path_texts, kinds, errors;
  std::unique_ptr<bool[]> ok(new bool[n]);
  for (std::size_t f = 0; f < n; ++f) {
    WriteOutcome& outcome = outcomes[f];
    ok[f] = !outcome.error_kind;
    if (!ok[f]) {
      ++reports.failures;
      if (reports.first_failures.size() < failure_notes_kept)
        reports.first_failures.push_back(
            {with_replacement_characters(paths[f]), *outcome.error_kind, *outcome.error});
    }
    file_ids.push_back(static_cast<std::uint32_t>(f));
    path_texts.emplace_back(with_replacement_characters(paths[f]));
    tiers.push_back(outcome.tiers);
    items.push_back(outcome.items);
    kinds.push_back(std::move(outcome.error_kind));
    errors.push_back(std::move(outcome.error));
  }
  std::vector<arrow::ArrayData> columns;
  columns.push_back(arrow::plain_column(std::move(file_ids)));
  columns.push_back(arrow::text_column(path_texts));
  columns.push_back(arrow::bool_column({ok.get(), n}));
  columns.push_back(arrow::plain_column(std::move(tiers)));
  columns.push_back(arrow::plain_column(std::move(items)));
  columns.push_back(arrow::text_column(kinds));
  columns.push_back(arrow::text_column(errors));
  auto table = std::make_shared<arrow::Table>();
  table->schema = write_reports_schema();
  table->batches.push_back(arrow::struct_batch(static_cast<std::int64_t>(n), std::move(columns)));
  reports.table = std::move(table);
  return reports;
}

std::optional<CorpusRefusal> refusal(const CorpusColumns& columns,
                                     std::span<const std::string> output_files) {
  using Input = CorpusRefusal::Input;
  if (!same_lengths(columns))
    return CorpusRefusal{Input::columns, "Input vectors must have the same length"};
  const std::size_t rows = columns.file_ids.size(), indices = columns.tier_indices.size();
  if (indices != 0 && indices != rows)
    return CorpusRefusal{Input::tier_indices, std::to_string(indices) + " tier indices given for " +
                                                  std::to_string(rows) + " rows"};
  const std::size_t files = output_files.size();
  for (std::uint64_t id : columns.file_ids)
    if (id >= files)
      return CorpusRefusal{Input::file_ids, "file id " + std::to_string(id) +
                                                " has no output file (" + std::to_string(files) +
                                                " given)"};
  // Rows of one file would be lost under the other's: no silent overwrite.
  if (auto shared = first_shared_target(output_files))
    return CorpusRefusal{
        Input::output_files,
        "output files " + std::to_string(shared->first) + " and " + std::to_string(shared->second) +
            " name the same file: " + with_replacement_characters(output_files[shared->second])};
  return std::nullopt;
}

}  // namespace

std::expected<BatchReports, CorpusRefusal> write_corpus(CorpusColumns columns,
                                                        std::span<const std::string> output_files,
                                                        const FileBounds& bounds,
                                                        bool long_format) {
  if (std::optional<CorpusRefusal> refused = refusal(columns, output_files))
    return std::unexpected(std::move(*refused));
  const std::size_t files = output_files.size();
  const Grouping grouping = group_by_file(columns.file_ids, files);
  std::vector<std::optional<std::string>> flush_failures(files);
  OverlappedSaves saves;
  std::vector<WriteOutcome> outcomes = ordered_parallel_map(files, [&](std::size_t file) {
    return write_one(take_rows(columns, grouping, file), file, output_files[file],
                     entry_or_none(bounds.tmins, file), entry_or_none(bounds.tmaxs, file),
                     long_format, {saves, flush_failures[file]});
  });
  saves.wait();
  for (std::size_t file = 0; file < files; ++file)
    if (flush_failures[file]) {
      outcomes[file].error_kind = "write";
      outcomes[file].error = std::move(flush_failures[file]);
    }
  return build_write_reports(output_files, outcomes);
}

}  // namespace textgrid
