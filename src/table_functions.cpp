// The batch functions: reading a corpus into a table, and writing
// many files from vectors or from any Arrow table. Only the caller's own
// mistakes raise; what happens to single files goes into the reports.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding.hpp"
#include "contents.hpp"
#include "convert.hpp"
#include "failures.hpp"
#include "interrupt.hpp"
#include "pyref.hpp"
#include "table_functions.hpp"
#include "tables.hpp"
#include "textgrid/arrow_import.hpp"

namespace tavrel {
namespace {

[[gnu::cold]] PyRef raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return {};
}

constexpr const char* read_parameters[] = {"files", "strict", "file_type", "contents",
                                           "encoding"};
constexpr Signature read_signature{"textgrids2table", read_parameters, 1, 3};
// The command line's reading: the same table, each file's tiers kept besides.
constexpr const char* summary_parameters[] = {"files", "strict", "file_type", "contents"};
constexpr Signature summary_signature{"_read_files", summary_parameters, 1, 4};

constexpr const char* vector_write_parameters[] = {
    "tmins",        "tmaxs",     "labels", "tier_names", "is_intervals", "file_ids",
    "output_files", "file_type", "tmin",   "tmax",       "tier_indices"};
constexpr Signature vector_write_signature{"vectors2textgrids", vector_write_parameters, 7, 11};

constexpr const char* table_write_parameters[] = {"table", "output_files", "file_type", "bounds",
                                                  "tier_indices"};
constexpr Signature table_write_signature{"table2textgrids", table_write_parameters, 2, 5};

bool to_id_buffer(PyObject* sequence, textgrid::Buffer<std::uint64_t>& ids) {
  return for_each_element(
      sequence, [&](std::size_t expected) { ids.reserve(expected); },
      [&](PyObject* element) {
        PyRef index = PyRef::steal(PyNumber_Index(element));
        if (!index) return false;
        unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
        if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        ids.push_back(id);
        return true;
      });
}

// None: the files' own extent; a number: the same bound for every file; a
// sequence: one bound (or None) per output file.
bool to_file_bounds(PyObject* object, std::size_t files,
                    std::vector<std::optional<double>>& bounds) {
  if (object == Py_None) return true;
  if (!PySequence_Check(object) || PyUnicode_Check(object)) {
    double value = 0.0;
    if (!to_double(object, value)) return false;
    bounds.assign(files, value);
    return true;
  }
  bool converted = for_each_element(
      object, [&](std::size_t expected) { bounds.reserve(expected); },
      [&](PyObject* element) {
        std::optional<double> bound;
        if (!to_optional_double(element, bound)) return false;
        bounds.push_back(bound);
        return true;
      });
  if (converted && bounds.size() != files) {
    PyErr_Format(PyExc_ValueError, "%zu bounds given for %zu output files", bounds.size(), files);
    return false;
  }
  return converted;
}

PyRef write_and_report(textgrid::CorpusColumns&& columns,
                       const std::vector<std::string>& output_files,
                       const textgrid::FileBounds& bounds, textgrid::FileType layout) {
  const bool long_format = layout == textgrid::FileType::long_text;
  auto reports = run_interruptibly_for(
      [columns = std::move(columns), output_files, bounds, long_format]() mutable {
        return textgrid::write_corpus(std::move(columns), output_files, bounds, long_format);
      });
  if (!reports) return {};
  if (!*reports) return raise_value_error(reports->error().message);
  return new_reports(std::move(**reports));
}

// The contents argument: nothing held for None, else one buffer per file.
bool to_file_contents(PyObject* object, std::size_t files, SharedContents& held) {
  if (object == Py_None) return true;
  held = hold_content_list(object);
  if (!held) return false;
  if (held->size() != files) {
    PyErr_Format(PyExc_ValueError, "%zu contents given for %zu files", held->size(), files);
    return false;
  }
  return true;
}

PyRef textgrids2table_body(const CallArguments& call, bool tier_summaries) {
  std::array<PyObject*, 5> bound;
  if (!bind_call(tier_summaries ? summary_signature : read_signature, call, bound)) return {};
  PyObject *files_object = bound[0], *strict_object = given_or(bound[1], Py_False);
  PyObject *file_type_object = bound[2], *contents_object = given_or(bound[3], Py_None);
  PyObject* encoding_object = bound[4];
  std::vector<std::string> files;
  textgrid::CorpusOptions options;
  options.tier_summaries = tier_summaries;
  SharedContents contents;
  auto file_contents = [&](PyObject* object, SharedContents& held) {
    return to_file_contents(object, files.size(), held);
  };
  if (!convert_argument("files", files_object, files, to_path_list) ||
      !convert_argument("strict", strict_object, options.strict, to_bool) ||
      (file_type_object != nullptr &&
       !convert_argument("file_type", file_type_object, options.file_type,
                         to_reading_file_type)) ||
      (encoding_object != nullptr &&
       !convert_argument("encoding", encoding_object, options.encoding, to_encoding)) ||
      !convert_argument("contents", contents_object, contents, file_contents))
    return {};
  // The work may outlive the call (Ctrl-C), so it owns a share of the contents.
  auto corpus = run_interruptibly_for(
      [files = std::move(files), options, contents]() mutable {
        if (!contents) return textgrid::read_corpus(files, options);
        return textgrid::read_corpus(files, options, contents->views());
      });
  if (!corpus) return {};
  return new_textgrid_table(std::move(*corpus));
}

PyRef vectors2textgrids_body(const CallArguments& call) {
  std::array<PyObject*, 11> bound;
  if (!bind_call(vector_write_signature, call, bound)) return {};
  PyObject *tmins = bound[0], *tmaxs = bound[1], *labels = bound[2], *tier_names = bound[3];
  PyObject *is_intervals = bound[4], *file_ids = bound[5], *outputs = bound[6];
  PyObject *file_type = bound[7], *tmin = given_or(bound[8], Py_None);
  PyObject *tmax = given_or(bound[9], Py_None), *tier_indices = given_or(bound[10], Py_None);
  textgrid::CorpusColumns columns;
  std::vector<std::string> output_files;
  textgrid::FileType layout = textgrid::FileType::long_text;
  textgrid::FileBounds bounds;
  if (!convert_argument("tmins", tmins, columns.tmins, to_double_buffer) ||
      !convert_argument("tmaxs", tmaxs, columns.tmaxs, to_double_buffer) ||
      !convert_argument("labels", labels, columns.labels, to_text_list) ||
      !convert_argument("tier_names", tier_names, columns.tier_names, to_text_list) ||
      !convert_argument("is_intervals", is_intervals, columns.is_intervals, to_bool_buffer) ||
      !convert_argument("file_ids", file_ids, columns.file_ids, to_id_buffer) ||
      (tier_indices != Py_None &&
       !convert_argument("tier_indices", tier_indices, columns.tier_indices, to_id_buffer)) ||
      !convert_argument("output_files", outputs, output_files, to_path_list) ||
      (file_type != nullptr && !convert_argument("file_type", file_type, layout, to_table_layout)))
    return {};
  auto per_file_bounds = [&](PyObject* object, std::vector<std::optional<double>>& values) {
    return to_file_bounds(object, output_files.size(), values);
  };
  if (!convert_argument("tmin", tmin, bounds.tmins, per_file_bounds) ||
      !convert_argument("tmax", tmax, bounds.tmaxs, per_file_bounds))
    return {};
  return write_and_report(std::move(columns), output_files, bounds, layout);
}

PyRef table2textgrids_body(const CallArguments& call) {
  std::array<PyObject*, 5> bound;
  if (!bind_call(table_write_signature, call, bound)) return {};
  PyObject *table = bound[0], *outputs = bound[1], *file_type = bound[2];
  PyObject *bounds_object = given_or(bound[3], Py_None);
  PyObject* tier_indices_object = given_or(bound[4], Py_None);
  std::vector<std::string> output_files;
  textgrid::FileType layout = textgrid::FileType::long_text;
  textgrid::Buffer<std::uint64_t> tier_indices;
  if (!convert_argument("output_files", outputs, output_files, to_path_list) ||
      (file_type != nullptr && !convert_argument("file_type", file_type, layout, to_table_layout)) ||
      (tier_indices_object != Py_None &&
       !convert_argument("tier_indices", tier_indices_object, tier_indices, to_id_buffer)))
    return {};
  textgrid::FileBounds bounds;
  if (bounds_object != Py_None) {
    ArrowArrayStream stream{};
    if (!import_stream(bounds_object, "bounds", stream)) return {};
    auto read = textgrid::arrow::read_file_bounds(stream, output_files.size());
    if (!read) return raise_value_error("argument 'bounds': " + read.error().message);
    bounds = std::move(*read);
  }
  ArrowArrayStream stream{};
  if (!import_stream(table, "table", stream)) return {};
  // Tier positions given here win over the table's own column.
  const bool column_indices =
      tier_indices_object == Py_None && textgrid::arrow::has_column(stream, "tier_index");
  textgrid::Result<textgrid::CorpusColumns> columns =
      textgrid::arrow::read_corpus_columns(stream, column_indices);
  if (!columns) return raise_value_error("argument 'table': " + columns.error().message);
  if (tier_indices_object != Py_None) columns->tier_indices = std::move(tier_indices);
  return write_and_report(std::move(*columns), output_files, bounds, layout);
}

}  // namespace

PyObject* textgrids2table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return textgrids2table_body({args, nargs, kwnames}, false); });
}

PyObject* read_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return textgrids2table_body({args, nargs, kwnames}, true); });
}

PyObject* vectors2textgrids(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded_call([&] { return vectors2textgrids_body({args, nargs, kwnames}); });
}

PyObject* table2textgrids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return table2textgrids_body({args, nargs, kwnames}); });
}

}  // namespace tavrel
