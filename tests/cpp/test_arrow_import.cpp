// The Arrow import against producers with mistakes: record batches and
// schemas broken in one place each are refused with a message that says
// where, and type names read as words.
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "textgrid/tables/arrow.hpp"
#include "textgrid/tables/arrow_import.hpp"
#include "textgrid/tables/corpus.hpp"

using namespace textgrid;

namespace {

// Two rows in the six columns the import reads.
std::shared_ptr<arrow::Table> two_rows() {
  auto field = [](const char* name, const char* format) {
    return arrow::Field{name, format, true, {}, {}};
  };
  auto table = std::make_shared<arrow::Table>();
  table->schema =
      arrow::Field{"",
                   "+s",
                   false,
                   {field("file_id", "I"), field("tier_name", "u"), field("is_interval", "b"),
                    field("tmin", "g"), field("tmax", "g"), field("label", "u")},
                   {}};
  Buffer<std::uint32_t> ids;
  ids.push_back(0);
  ids.push_back(0);
  const std::vector<std::optional<std::string>> names = {"w", "w"}, labels = {"a", "bc"};
  const bool flags[] = {true, true};
  const std::vector<std::optional<double>> starts = {0.0, 1.0}, ends = {1.0, 2.0};
  std::vector<arrow::ArrayData> columns;
  columns.push_back(arrow::plain_column(std::move(ids)));
  columns.push_back(arrow::text_column(names));
  columns.push_back(arrow::bool_column(flags));
  columns.push_back(arrow::double_column(starts));
  columns.push_back(arrow::double_column(ends));
  columns.push_back(arrow::text_column(labels));
  table->batches.push_back(arrow::struct_batch(2, std::move(columns)));
  return table;
}

using Mistake = std::function<void(ArrowSchema&, ArrowArray&)>;

// The import's outcome for the two rows, exported and then broken by `mistake`.
std::string import_with(const Mistake& mistake) {
  std::shared_ptr<arrow::Table> table = two_rows();
  ArrowSchema schema{};
  ArrowArray batch{};
  arrow::export_schema(table->schema, &schema);
  arrow::export_batch(table, 0, &batch);
  mistake(schema, batch);
  ArrowArrayStream stream{};
  arrow::single_batch_stream(schema, batch, stream);
  Result<CorpusColumns> columns = arrow::read_corpus_columns(stream);
  CHECK(stream.release == nullptr);
  if (!columns) return columns.error().message;
  return "read " + std::to_string(columns->labels.size()) + " rows, last label " +
         columns->labels.back();
}

}  // namespace

TEST(batches_broken_in_one_place_are_refused_saying_where) {
  struct Case {
    Mistake mistake;
    const char* message;
  };
  const Case cases[] = {
      {[](ArrowSchema&, ArrowArray&) {}, "read 2 rows, last label bc"},
      {[](ArrowSchema&, ArrowArray& b) { b.length = -1; }, "record batch 0 has a negative length"},
      {[](ArrowSchema&, ArrowArray& b) { b.n_children = 5; },
       "record batch 0 does not match the schema: it has 5 columns where the schema has 6"},
      {[](ArrowSchema&, ArrowArray& b) { b.children[2] = nullptr; },
       "record batch 0 lacks its column 2"},
      {[](ArrowSchema&, ArrowArray& b) { b.children[1]->n_buffers = 2; },
       "column 'tier_name' in record batch 0 does not match its type string: it has 2 buffers "
       "where 3 are needed"},
      {[](ArrowSchema&, ArrowArray& b) { b.children[3]->length = 1; },
       "column 'tmin' in record batch 0 does not match its type float64: it has fewer rows than "
       "its record batch"},
      {[](ArrowSchema&, ArrowArray& b) { b.children[0]->offset = -1; },
       "column 'file_id' in record batch 0 does not match its type uint32: it has a negative "
       "offset"},
      {[](ArrowSchema&, ArrowArray& b) { b.children[0]->null_count = 1; },
       "column 'file_id' in record batch 0 does not match its type uint32: it has nulls but no "
       "validity bitmap"},
      {[](ArrowSchema&, ArrowArray& b) { b.children[4]->buffers[1] = nullptr; },
       "column 'tmax' in record batch 0 does not match its type float64: it has a missing data "
       "buffer"},
      {[](ArrowSchema&, ArrowArray& b) { b.children[1]->dictionary = b.children[5]; },
       "column 'tier_name' in record batch 0 does not match its type string: it has a dictionary "
       "its type does not declare"},
      {[](ArrowSchema&, ArrowArray& b) { b.children[5]->buffers[2] = nullptr; },
       "column 'label' has a missing value buffer"},
      {[](ArrowSchema&, ArrowArray& b) {
         const std::int32_t beyond = 7;  // the first label ends beyond the last offset (3)
         std::memcpy(static_cast<char*>(const_cast<void*>(b.children[5]->buffers[1])) + 4, &beyond,
                     4);
       },
       "column 'label' holds a text outside its buffers at row 0"},
      {[](ArrowSchema& s, ArrowArray&) { s.children[2]->format = "tsm:"; },
       "column 'is_interval' has Arrow type timestamp[ms]; expected bool"},
      {[](ArrowSchema& s, ArrowArray&) { s.children[4]->name = "tmin"; },
       "the table has two columns named 'tmin'"},
      {[](ArrowSchema& s, ArrowArray&) { s.children[0] = nullptr; },
       "the Arrow stream's schema is malformed: field 0 has no type"},
      {[](ArrowSchema& s, ArrowArray&) { s.format = "+l"; },
       "the Arrow stream does not hold record batches (its type is list)"},
  };
  // Each mistake leaves what the exporter's release callbacks use intact.
  for (const Case& c : cases) CHECK_EQ(import_with(c.mistake), std::string(c.message));
}

TEST(arrow_types_read_as_their_names) {
  const std::pair<const char*, const char*> names[] = {
      {"e", "float16"},
      {"g", "float64"},
      {"vu", "string_view"},
      {"tss:", "timestamp[s]"},
      {"tsu:Europe/Paris", "timestamp[us, tz=Europe/Paris]"},
      {"d:5,2", "decimal128(5, 2)"},
      {"d:40,10,256", "decimal256(40, 10)"},
      {"w:4", "fixed_size_binary[4]"},
      {"ttm", "time32[ms]"},
      {"tDn", "duration[ns]"},
      {"+us:0,1", "sparse_union[0,1]"},
      {"q", "an unknown type (format 'q')"},
  };
  for (auto [format, name] : names) {
    ArrowSchema field{};
    field.format = format;
    CHECK_EQ(arrow::describe_type(field), std::string(name));
  }
  ArrowSchema values{}, indices{};
  values.format = "u";
  indices.format = "c";
  indices.dictionary = &values;
  CHECK_EQ(arrow::describe_type(indices), std::string("dictionary<values=string, indices=int8>"));
}
