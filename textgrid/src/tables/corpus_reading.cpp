// Reading a corpus into record batches: the files are cut into groups, each
// group is read on the pool straight into the columns of one batch (labels
// appended to one value buffer, names dictionary-encoded), and every file
// leaves one report row, whatever happened to it.
#include "textgrid/tables/corpus.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "textgrid/writing/convert_files.hpp"
#include "textgrid/reading/diagnostics.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/concurrency/parallel.hpp"

namespace textgrid {
namespace {

using arrow::ArrayData;
using arrow::Field;
using arrow::Storage;

struct FileReport {
  bool ok = false;
  std::optional<std::string> layout;
  std::optional<std::string> encoding;
  double tmin = 0.0;
  double tmax = 0.0;
  std::uint32_t tiers = 0;
  std::uint64_t items = 0;
  std::optional<std::string> error_kind;
  std::optional<std::string> error;
  std::optional<std::uint64_t> line;
  std::optional<std::vector<TierSummary>> tier_list;  // only when asked for
};

// The columns of one record batch while its files are read. A file's items
// come from the parser as they are read, or from its tiers when its layout's
// reader keeps them there; a file that then fails leaves no row.
class BatchBuilder final : public ItemSink {
 public:
  explicit BatchBuilder(std::size_t label_offset_limit) : labels_(label_offset_limit) {}

  void begin_file() {
    file_start_ = {rows_, tier_names_.size()};
    names_added_.clear();
    tier_items_.clear();
  }

  void add(const Tier& tier, std::size_t position, std::span<const ItemView> items) override {
    append_rows(tier, position, items);
  }

  // The items a document kept in its tiers.
  void add_document(const TextGrid& grid) {
    for (std::size_t position = 0; position < grid.tiers.size(); ++position)
      append_rows(grid.tiers[position], position, grid.tiers[position].items);
  }

  std::size_t file_rows() const noexcept { return rows_ - file_start_.rows; }
  std::size_t tier_items(std::size_t position) const noexcept {
    return position < tier_items_.size() ? tier_items_[position] : 0;
  }

  // The file's rows are all there: they are named after it.
  void end_file(std::uint32_t file_id, std::string_view path) {
    const std::size_t items = file_rows();
    if (items == 0) return;
    const std::int32_t file_index = file_count_++;
    file_names_.append(path);
    file_ids_.append_fill(file_id, items);
    file_indices_.append_fill(file_index, items);
  }

  // The file failed: the rows it gave go, and the tier names only it used.
  void abandon_file() {
    const std::size_t rows = file_start_.rows;
    tier_indices_.truncate(rows);
    tier_positions_.truncate(rows);
    is_intervals_.truncate(rows);
    tmins_.truncate(rows);
    tmaxs_.truncate(rows);
    labels_.truncate(rows);
    rows_ = rows;
    for (const std::string& name : names_added_) tier_of_name_.erase(name);
    tier_names_.truncate(file_start_.tier_names);
  }

  std::size_t rows() const noexcept { return rows_; }
  bool labels_large() const noexcept { return labels_.is_large(); }
  void widen_labels() { labels_.widen(); }

  ArrayData finish() && {
    std::vector<ArrayData> columns;
    columns.push_back(arrow::plain_column(std::move(file_ids_)));
    columns.push_back(dictionary_column(std::move(file_indices_), std::move(file_names_)));
    columns.push_back(dictionary_column(std::move(tier_indices_), std::move(tier_names_)));
    columns.push_back(arrow::plain_column(std::move(tier_positions_)));
    columns.push_back(bitmap_column(std::move(is_intervals_)));
    columns.push_back(arrow::plain_column(std::move(tmins_)));
    columns.push_back(arrow::plain_column(std::move(tmaxs_)));
    columns.push_back(text_column(std::move(labels_)));
    return arrow::struct_batch(static_cast<std::int64_t>(rows_), std::move(columns));
  }

 private:
  // Items are Items (labels kept as strings) or ItemViews (labels still in the text).
  template <class Items>
  void append_rows(const Tier& tier, std::size_t position, const Items& items) {
    const std::size_t count = std::size(items);
    if (count == 0) return;
    if (tier_items_.size() <= position) tier_items_.resize(position + 1);
    tier_items_[position] += count;
    tier_indices_.append_fill(tier_index(tier.name), count);
    tier_positions_.append_fill(static_cast<std::uint32_t>(position), count);
    is_intervals_.append(tier.is_interval, count);
    double* tmins = tmins_.extend(count);
    double* tmaxs = tmaxs_.extend(count);
    std::size_t label_bytes = 0;
    for (std::size_t i = 0; i < count; ++i) {
      tmins[i] = items[i].tmin;
      tmaxs[i] = items[i].tmax;
      label_bytes += items[i].label.size();
    }
    labels_.reserve(count, label_bytes);
    for (std::size_t i = 0; i < count; ++i) labels_.append(items[i].label);
    rows_ += count;
  }

  std::int32_t tier_index(const std::string& name) {
    auto [slot, added] =
        tier_of_name_.try_emplace(name, static_cast<std::int32_t>(tier_names_.size()));
    if (added) {
      tier_names_.append(name);
      names_added_.push_back(name);
    }
    return slot->second;
  }

  static ArrayData text_column(arrow::TextColumn&& texts) {
    ArrayData data;
    data.length = static_cast<std::int64_t>(texts.size());
    data.buffers.emplace_back();
    std::move(texts).finish_into(data.buffers);
    return data;
  }

  static ArrayData dictionary_column(Buffer<std::int32_t>&& indices, arrow::TextColumn&& values) {
    ArrayData data = arrow::plain_column(std::move(indices));
    data.dictionary.push_back(text_column(std::move(values)));
    return data;
  }

  static ArrayData bitmap_column(arrow::Bitmap&& bits) {
    ArrayData data;
    data.length = static_cast<std::int64_t>(bits.size());
    data.buffers.emplace_back();
    data.buffers.push_back(Storage::adopt(std::move(bits).take()));
    return data;
  }

  Buffer<std::uint32_t> file_ids_;
  Buffer<std::int32_t> file_indices_;
  arrow::TextColumn file_names_;
  std::int32_t file_count_ = 0;
  Buffer<std::int32_t> tier_indices_;
  arrow::TextColumn tier_names_;
  std::unordered_map<std::string, std::int32_t> tier_of_name_;
  Buffer<std::uint32_t> tier_positions_;  // each row's tier position in its file
  arrow::Bitmap is_intervals_;
  Buffer<double> tmins_;
  Buffer<double> tmaxs_;
  arrow::TextColumn labels_;
  std::size_t rows_ = 0;
  // Where the file being read began, to take its rows back if it fails.
  struct FileStart {
    std::size_t rows = 0;
    std::size_t tier_names = 0;
  } file_start_;
  std::vector<std::string> names_added_;   // tier names first seen in this file
  std::vector<std::size_t> tier_items_;  // this file's items per tier position
};

std::optional<std::string> known(std::string_view word) {
  if (word.empty() || word == "unknown") return std::nullopt;
  return std::string(word);
}


// Where a failed file is wrong: it is read once more to place the fault, so
// that reading files that succeed keeps no account of lines. A text that no
// parser could read and that has no TextGrid header is reported as no TextGrid.
void place_failure(FileReport& report, const std::string& path, const std::string_view* contents,
                   const ReadOptions& options) {
  std::vector<Problem> problems = contents && contents->data() != nullptr
                                      ? diagnose_bytes(*contents, {options, false})
                                      : diagnose_file(path, {options, false});
  if (problems.empty()) return;
  const Problem& first = problems.front();
  if (first.kind == "format" && report.error_kind == "structure") {
    report.error_kind = first.kind;
    report.error = read_failure_message(path, invalid_data(first.message));
    report.layout.reset();  // what the layout detection guessed says nothing here
  } else if (first.kind == report.error_kind && first.line != 0) {
    report.line = first.line;
  }
}

// A file's bytes come from `contents` when the caller gave them (a view with
// data), else from the file.
FileReport read_into(const std::string& path, const std::string_view* contents,
                     const std::optional<std::string>* unavailable, std::uint32_t file_id,
                     const ReadOptions& options, bool tier_summaries, BatchBuilder& builder) {
  FileReport report;
  if (unavailable && *unavailable) {
    report.error_kind = "open";
    report.error = read_failure_message(path, Error{ErrorKind::Os, **unavailable});
    return report;
  }
  SourceInfo info;
  std::optional<TextGrid> grid;
  builder.begin_file();
  try {
    Result<TextGrid> read =
        contents && contents->data() != nullptr
            ? read_from_bytes(*contents, file_stem(path), options, &info, &builder)
            : read_from_file(path, options, &info, &builder);
    if (read) {
      grid = std::move(*read);
    } else {
      report.error_kind = read_error_kind(read.error(), info);
      report.error = read_failure_message(path, read.error());
    }
  } catch (const std::bad_alloc&) {
    throw;                                   // the whole call is out of memory, not this file
  } catch (const std::exception& failure) {  // an InternalFailure, or a stray library exception
    report.error_kind = "structure";
    report.error = failure.what();
  }
  report.layout = known(info.layout);
  report.encoding = known(info.encoding);
  if (!grid) {
    builder.abandon_file();
    place_failure(report, path, contents, options);
    return report;
  }
  builder.add_document(*grid);
  report.ok = true;
  report.tmin = grid->tmin;
  report.tmax = grid->tmax;
  report.tiers = static_cast<std::uint32_t>(grid->tiers.size());
  report.items = builder.file_rows();
  if (tier_summaries) {
    report.tier_list.emplace();
    for (std::size_t position = 0; position < grid->tiers.size(); ++position) {
      const Tier& tier = grid->tiers[position];
      report.tier_list->push_back({tier.name, tier.is_interval, builder.tier_items(position)});
    }
  }
  builder.end_file(file_id, with_replacement_characters(path));
  return report;
}

struct BatchPart {
  std::unique_ptr<BatchBuilder> builder;
  std::vector<FileReport> reports;
};

// At least enough groups for the pool's full four chunks per thread (rounding
// the group size down), so that the threads' shares of the work even out.
// Too few groups for two pool chunks are read in order anyway: then one batch.
std::size_t files_per_batch(std::size_t files) {
  if (files < 2 * min_chunk_length) return std::max<std::size_t>(1, files);
  const std::size_t wanted_batches = 4 * min_chunk_length * pool_thread_count();
  return std::max<std::size_t>(1, files / wanted_batches);
}

Field text_field(std::string name, bool nullable = false) {
  return Field{std::move(name), "u", nullable, {}, {}};
}

Field rows_schema(bool large_labels) {
  return Field{"",
               "+s",
               false,
               {Field{"file_id", "I", false, {}, {}}, Field{"file", "i", false, {}, "u"},
                Field{"tier_name", "i", false, {}, "u"}, Field{"tier_index", "I", false, {}, {}},
                Field{"is_interval", "b", false, {}, {}},
                Field{"tmin", "g", false, {}, {}}, Field{"tmax", "g", false, {}, {}},
                Field{"label", large_labels ? "U" : "u", false, {}, {}}},
               {}};
}

Field reports_schema() {
  return Field{
      "",
      "+s",
      false,
      {Field{"file_id", "I", false, {}, {}}, text_field("path"), Field{"ok", "b", false, {}, {}},
       text_field("layout", true), text_field("encoding", true), Field{"tmin", "g", true, {}, {}},
       Field{"tmax", "g", true, {}, {}}, Field{"tiers", "I", false, {}, {}},
       Field{"items", "L", false, {}, {}}, text_field("error_kind", true),
       text_field("error", true), Field{"line", "L", true, {}, {}}},
      {}};
}

void note_failure(BatchReports& reports, const std::string& path,
                  const std::optional<std::string>& kind,
                  const std::optional<std::string>& message) {
  ++reports.failures;
  if (reports.first_failures.size() < failure_notes_kept)
    reports.first_failures.push_back({path, kind.value_or(""), message.value_or("")});
}

BatchReports build_reports(std::span<const std::string> files, std::vector<BatchPart>& parts) {
  const std::size_t n = files.size();
  Buffer<std::uint32_t> file_ids, tiers;
  Buffer<std::uint64_t> items;
  std::vector<std::optional<std::string>> paths, layouts, encodings, kinds, errors;
  std::vector<std::optional<double>> tmins, tmaxs;
  std::vector<std::optional<std::uint64_t>> lines;
  std::vector<bool> ok_flags;
  BatchReports reports;
  reports.files = n;
  std::size_t file_id = 0;
  for (BatchPart& part : parts) {
    for (FileReport& report : part.reports) {
      file_ids.push_back(static_cast<std::uint32_t>(file_id));
      paths.emplace_back(with_replacement_characters(files[file_id]));
      ok_flags.push_back(report.ok);
      if (!report.ok) note_failure(reports, *paths.back(), report.error_kind, report.error);
      layouts.push_back(std::move(report.layout));
      encodings.push_back(std::move(report.encoding));
      tmins.push_back(report.ok ? std::optional(report.tmin) : std::nullopt);
      tmaxs.push_back(report.ok ? std::optional(report.tmax) : std::nullopt);
      tiers.push_back(report.tiers);
      items.push_back(report.items);
      kinds.push_back(std::move(report.error_kind));
      errors.push_back(std::move(report.error));
      lines.push_back(report.line);
      ++file_id;
    }
  }
  std::vector<ArrayData> columns;
  std::unique_ptr<bool[]> ok_values(new bool[n]);
  std::copy(ok_flags.begin(), ok_flags.end(), ok_values.get());
  columns.push_back(arrow::plain_column(std::move(file_ids)));
  columns.push_back(arrow::text_column(paths));
  columns.push_back(arrow::bool_column({ok_values.get(), n}));
  columns.push_back(arrow::text_column(layouts));
  columns.push_back(arrow::text_column(encodings));
  columns.push_back(arrow::double_column(tmins));
  columns.push_back(arrow::double_column(tmaxs));
  columns.push_back(arrow::plain_column(std::move(tiers)));
  columns.push_back(arrow::plain_column(std::move(items)));
  columns.push_back(arrow::text_column(kinds));
  columns.push_back(arrow::text_column(errors));
  columns.push_back(arrow::count_column(lines));
  auto table = std::make_shared<arrow::Table>();
  table->schema = reports_schema();
  table->batches.push_back(arrow::struct_batch(static_cast<std::int64_t>(n), std::move(columns)));
  reports.table = std::move(table);
  return reports;
}

std::shared_ptr<const arrow::Table> build_rows(std::vector<BatchPart>& parts) {
  const bool large = std::any_of(parts.begin(), parts.end(), [](const BatchPart& part) {
    return part.builder->labels_large();
  });
  auto table = std::make_shared<arrow::Table>();
  table->schema = rows_schema(large);
  for (BatchPart& part : parts) {
    if (part.builder->rows() == 0) continue;
    if (large) part.builder->widen_labels();
    table->batches.push_back(std::move(*part.builder).finish());
    part.builder.reset();
  }
  return table;
}

}  // namespace

CorpusTable read_corpus(std::span<const std::string> files, const CorpusOptions& options,
                        std::span<const std::string_view> contents,
                        std::span<const std::optional<std::string>> unavailable) {
  const ReadOptions reading{options.strict, options.file_type, options.encoding};
  if ((!contents.empty() && contents.size() != files.size()) ||
      (!unavailable.empty() && unavailable.size() != files.size()))
    fail("contents must give one entry per file");
  const std::size_t group = files_per_batch(files.size());
  const std::size_t batches = (files.size() + group - 1) / group;
  std::vector<BatchPart> parts = ordered_parallel_map(batches, [&](std::size_t batch) {
    BatchPart part{std::make_unique<BatchBuilder>(options.label_offset_limit), {}};
    const std::size_t begin = batch * group;
    const std::size_t end = std::min(files.size(), begin + group);
    part.reports.reserve(end - begin);
    for (std::size_t k = begin; k < end; ++k)
      part.reports.push_back(read_into(files[k], contents.empty() ? nullptr : &contents[k],
                                       unavailable.empty() ? nullptr : &unavailable[k],
                                       static_cast<std::uint32_t>(k), reading,
                                       options.tier_summaries, *part.builder));
    return part;
  });
  CorpusTable table;
  if (options.tier_summaries) {
    table.tiers.reserve(files.size());
    for (BatchPart& part : parts)
      for (FileReport& report : part.reports) table.tiers.push_back(std::move(report.tier_list));
  }
  table.reports = build_reports(files, parts);
  table.rows = build_rows(parts);
  return table;
}

}  // namespace textgrid
