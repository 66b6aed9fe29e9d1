// Arrow export and import of corpus tables: bitmaps and text columns, the
// ownership rules of exported structs, the wide-offset switch, reading an
// exported stream back, and the argument checks of batch writing.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "examples.hpp"
#include "textgrid/tables/arrow.hpp"
#include "textgrid/tables/arrow_import.hpp"
#include "textgrid/tables/corpus.hpp"
#include "textgrid/model/failure.hpp"
#include "textgrid/reading/reader.hpp"

using namespace textgrid;
namespace fs = std::filesystem;

namespace {

bool bit(const std::uint8_t* bytes, std::size_t i) { return (bytes[i / 8] >> (i % 8)) & 1; }

std::vector<std::string> example_files() {
  fs::path data = fs::path(TAVREL_TESTS_DIR) / "data";
  std::vector<std::string> files;
  for (const char* name :
       {"example_long_lf.TextGrid", "example_short_crlf.TextGrid", "missing.TextGrid",
        "long_unknown_class.TextGrid", "example_long_tabs.TextGrid"})
    files.push_back((data / name).string());
  // Enough copies to reach the pool, so batches come from several threads.
  std::vector<std::string> many;
  for (int copy = 0; copy < 60; ++copy) many.insert(many.end(), files.begin(), files.end());
  return many;
}

// Each file's vectors as reading it alone gives them; none for a file that fails.
std::vector<Vectors> vectors_of_each(const std::vector<std::string>& files) {
  std::vector<Vectors> all;
  for (const std::string& file : files) {
    try {
      Result<TextGrid> grid = read_from_file(file, false, "auto");
      all.push_back(grid ? grid->to_vectors() : Vectors{});
    } catch (const InternalFailure&) {
      all.emplace_back();
    }
  }
  return all;
}

std::string text_at(const ArrowArray& array, bool large, std::int64_t row) {
  const char* values = static_cast<const char*>(array.buffers[2]);
  if (large) {
    auto offsets = static_cast<const std::int64_t*>(array.buffers[1]);
    return std::string(values + offsets[row], values + offsets[row + 1]);
  }
  auto offsets = static_cast<const std::int32_t*>(array.buffers[1]);
  return std::string(values + offsets[row], values + offsets[row + 1]);
}

}  // namespace

TEST(bitmap_matches_a_plain_list_of_flags) {
  // Runs that start and end inside bytes, cover whole bytes, and are empty.
  const std::vector<std::vector<std::pair<bool, std::size_t>>> cases = {
      {{true, 1}},
      {{false, 3}, {true, 5}, {false, 0}, {true, 17}},
      {{true, 64}, {false, 1}, {true, 63}},
      {{false, 9}, {true, 7}, {true, 1}, {false, 30}, {true, 2}},
  };
  for (const auto& runs : cases) {
    arrow::Bitmap bitmap;
    std::vector<bool> expected;
    for (auto [value, count] : runs) {
      bitmap.append(value, count);
      expected.insert(expected.end(), count, value);
    }
    CHECK_EQ(bitmap.size(), expected.size());
    CHECK_EQ(bitmap.count_zeros(),
             static_cast<std::size_t>(std::count(expected.begin(), expected.end(), false)));
    Buffer<std::uint8_t> bytes = std::move(bitmap).take();
    CHECK_EQ(bytes.size(), (expected.size() + 7) / 8);
    for (std::size_t i = 0; i < expected.size(); ++i) CHECK_EQ(bit(bytes.data(), i), expected[i]);
  }
}

TEST(text_column_widens_its_offsets_past_the_limit) {
  for (std::size_t limit : {std::size_t{0}, std::size_t{4}, std::size_t{1000}}) {
    arrow::TextColumn column(limit);
    const std::vector<std::string> texts = {"ab", "", "cde", "ü", "fghij"};
    for (const std::string& text : texts) column.append(text);
    CHECK_EQ(column.size(), texts.size());
    CHECK_EQ(column.is_large(), limit < 11);
    arrow::ArrayData data;
    data.length = static_cast<std::int64_t>(texts.size());
    data.buffers.emplace_back();
    std::move(column).finish_into(data.buffers);
    ArrowArray view{data.length, 0, 0, 3, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
    const void* buffers[3] = {data.buffers[0].get(), data.buffers[1].get(), data.buffers[2].get()};
    view.buffers = buffers;
    for (std::size_t i = 0; i < texts.size(); ++i)
      CHECK_EQ(text_at(view, limit < 11, static_cast<std::int64_t>(i)), texts[i]);
  }
}

// Labels of every length the small copies lay out differently, after and
// between one another, in narrow and widened offsets.
TEST(text_column_keeps_texts_of_every_length) {
  std::vector<std::string> texts;
  for (std::size_t length = 0; length <= 40; ++length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + (length * 7 + i) % 26);
    texts.push_back(text);
  }
  for (std::size_t limit : {std::size_t{0}, std::size_t{300}, std::size_t{0x7fffffff}}) {
    arrow::TextColumn column(limit);
    column.reserve(texts.size(), 40);
    for (const std::string& text : texts) column.append(text);
    const bool large = column.is_large();
    CHECK_EQ(large, limit < 820);
    arrow::ArrayData data;
    data.length = static_cast<std::int64_t>(texts.size());
    data.buffers.emplace_back();
    std::move(column).finish_into(data.buffers);
    ArrowArray view{data.length, 0, 0, 3, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
    const void* buffers[3] = {data.buffers[0].get(), data.buffers[1].get(), data.buffers[2].get()};
    view.buffers = buffers;
    for (std::size_t i = 0; i < texts.size(); ++i)
      CHECK_EQ(text_at(view, large, static_cast<std::int64_t>(i)), texts[i]);
  }
}

TEST(exported_schema_describes_the_rows_and_releases_its_children_once) {
  CorpusTable corpus = read_corpus(example_files(), CorpusOptions{});
  ArrowSchema schema{};
  arrow::export_schema(corpus.rows->schema, &schema);
  CHECK_EQ(std::string(schema.format), "+s");
  CHECK_EQ(schema.n_children, 8);
  std::vector<std::string> names, formats;
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    names.emplace_back(schema.children[i]->name);
    formats.emplace_back(schema.children[i]->format);
  }
  CHECK(names == (std::vector<std::string>{"file_id", "file", "tier_name", "tier_index",
                                           "is_interval", "tmin", "tmax", "label"}));
  CHECK(formats == (std::vector<std::string>{"I", "i", "i", "I", "b", "g", "g", "u"}));
  CHECK_EQ(std::string(schema.children[1]->dictionary->format), "u");
  // A consumer may move a child out and release it on its own, before or after the parent.
  ArrowSchema moved = *schema.children[2];
  schema.children[2]->release = nullptr;
  schema.release(&schema);
  CHECK(schema.release == nullptr);
  CHECK_EQ(std::string(moved.dictionary->format), "u");
  moved.release(&moved);
}

TEST(stream_keeps_the_table_alive_and_ends_cleanly) {
  const std::vector<std::string> files = example_files();
  CorpusTable corpus = read_corpus(files, CorpusOptions{});
  std::vector<Vectors> expected = vectors_of_each(files);
  std::vector<std::string> expected_labels;
  for (const Vectors& vectors : expected)
    expected_labels.insert(expected_labels.end(), vectors.labels.begin(), vectors.labels.end());
  ArrowArrayStream stream{};
  arrow::export_stream(corpus.rows, &stream);
  corpus.rows.reset();  // the stream holds its own share
  std::vector<std::string> labels;
  std::size_t batches = 0;
  for (;;) {
    ArrowArray batch{};
    CHECK_EQ(stream.get_next(&stream, &batch), 0);
    if (batch.release == nullptr) break;
    ++batches;
    CHECK_EQ(batch.n_children, 8);
    for (std::int64_t row = 0; row < batch.length; ++row)
      labels.push_back(text_at(*batch.children[7], false, row));
    batch.release(&batch);
  }
  CHECK(batches > 1);
  CHECK(labels == expected_labels);
  ArrowArray after{};
  CHECK_EQ(stream.get_next(&stream, &after), 0);
  CHECK(after.release == nullptr);
  stream.release(&stream);
  CHECK(stream.release == nullptr);
}

TEST(wide_labels_in_one_batch_make_every_batch_wide_and_read_back_alike) {
  // One file whose labels pass the limit of 40 bytes that the other files' batches stay below.
  const fs::path wide = fs::temp_directory_path() / "tavrel_arrow_wide_labels.TextGrid";
  std::ofstream(wide, std::ios::binary) << long_example_text("\"" + std::string(100, 'x') + "\"");
  std::vector<std::string> files = example_files();
  files.insert(files.begin() + 7, wide.string());
  for (std::size_t limit : {std::size_t{0}, std::size_t{40}, std::size_t{0x7fffffff}}) {
    CorpusOptions options;
    options.label_offset_limit = limit;
    CorpusTable corpus = read_corpus(files, options);
    const bool large = limit < 0x7fffffff;
    CHECK_EQ(corpus.rows->schema.children[7].format, std::string(large ? "U" : "u"));
    ArrowArrayStream stream{};
    arrow::export_stream(corpus.rows, &stream);
    Result<CorpusColumns> columns = arrow::read_corpus_columns(stream);
    CHECK(columns.has_value());
    CHECK(stream.release == nullptr);  // taken over and released
    if (!columns) continue;
    std::vector<std::string> labels, names;
    std::vector<std::uint64_t> ids;
    std::vector<Vectors> expected = vectors_of_each(files);
    for (std::size_t k = 0; k < expected.size(); ++k) {
      labels.insert(labels.end(), expected[k].labels.begin(), expected[k].labels.end());
      names.insert(names.end(), expected[k].tier_names.begin(), expected[k].tier_names.end());
      ids.insert(ids.end(), expected[k].labels.size(), k);
    }
    CHECK(columns->labels == labels);
    CHECK(columns->tier_names == names);
    CHECK(std::vector<std::uint64_t>(columns->file_ids.begin(), columns->file_ids.end()) == ids);
  }
  fs::remove(wide);
}

TEST(reports_name_every_file_and_count_failures) {
  const std::vector<std::string> files = example_files();
  CorpusTable corpus = read_corpus(files, CorpusOptions{});
  CHECK_EQ(corpus.reports.files, files.size());
  CHECK_EQ(corpus.reports.failures, files.size() / 5 * 2);
  CHECK_EQ(corpus.reports.first_failures.size(), failure_notes_kept);
  CHECK_EQ(corpus.reports.first_failures[0].kind, std::string("open"));
  CHECK_EQ(corpus.reports.first_failures[1].kind, std::string("structure"));
  CHECK_EQ(corpus.reports.table->num_rows(), static_cast<std::int64_t>(files.size()));
}

TEST(batch_writing_refuses_inconsistent_columns_before_writing) {
  const std::vector<std::string> outputs = {"/nonexistent/a.TextGrid"};
  struct Case {
    const char* what;
    std::vector<std::uint64_t> ids;
    std::size_t labels;
    const char* message;
  };
  for (const Case& c : {Case{"unequal", {0, 0}, 1, "Input vectors must have the same length"},
                        Case{"beyond", {0, 1}, 2, "file id 1 has no output file (1 given)"}}) {
    CorpusColumns columns;
    for (std::uint64_t id : c.ids) {
      columns.file_ids.push_back(id);
      columns.tmins.push_back(0.0);
      columns.tmaxs.push_back(1.0);
      columns.tier_names.push_back("w");
      columns.is_intervals.push_back(true);
    }
    columns.labels.resize(c.labels);
    auto written = write_corpus(std::move(columns), outputs, FileBounds{}, true);
    CHECK(!written.has_value());
    if (!written) CHECK_EQ(written.error().message, std::string(c.message));
  }
}
