// Bodies of the batch functions: reading a corpus into a table, and writing
// many files from vectors or from any Arrow table. Only the caller's own
// mistakes raise; what happens to single files goes into the reports.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contents.hpp"
#include "convert.hpp"
#include "failures.hpp"
#include "interrupt.hpp"
#include "pyref.hpp"
#include "tables.hpp"
#include "textgrid/arrow_import.hpp"

namespace tavrel {
namespace {

[[gnu::cold]] PyRef raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return {};
}

bool parse_arguments(PyObject* args, PyObject* kwargs, const char* format,
                     const char* const* keywords, auto... slots) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                     slots...) != 0;
}

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

bool to_layout(PyObject* object, bool& long_format) {
  std::string_view word;
  if (!to_text(object, word)) return false;
  if (word != "long" && word != "short") {
    PyErr_Format(PyExc_ValueError, "file_type must be \"long\" or \"short\", not %R", object);
    return false;
  }
  long_format = word == "long";
  return true;
}

PyRef write_and_report(textgrid::CorpusColumns&& columns,
                       const std::vector<std::string>& output_files,
                       const textgrid::FileBounds& bounds, bool long_format) {
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

PyRef textgrids2table_body(PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"files",    "strict",   "file_type",
                                         "contents", "encoding", nullptr};
  PyObject *files_object = nullptr, *strict_object = Py_False, *file_type_object = nullptr;
  PyObject *contents_object = Py_None, *encoding_object = nullptr;
  if (!parse_arguments(args, kwargs, "O|OO$OO:textgrids2table", keywords, &files_object,
                       &strict_object, &file_type_object, &contents_object, &encoding_object))
    return {};
  std::vector<std::string> files;
  textgrid::CorpusOptions options;
  SharedContents contents;
  auto file_contents = [&](PyObject* object, SharedContents& held) {
    return to_file_contents(object, files.size(), held);
  };
  if (!convert_argument("files", files_object, files, to_path_list) ||
      !convert_argument("strict", strict_object, options.strict, to_bool) ||
      (file_type_object != nullptr &&
       !convert_argument("file_type", file_type_object, options.file_type, to_text)) ||
      (encoding_object != nullptr &&
       !convert_argument("encoding", encoding_object, options.encoding, to_encoding)) ||
      !convert_argument("contents", contents_object, contents, file_contents))
    return {};
  // The work may outlive the call (Ctrl-C), so it owns its file-type word and
  // a share of the contents.
  auto corpus = run_interruptibly_for(
      [files = std::move(files), options, file_type = std::string(options.file_type),
       contents]() mutable {
        options.file_type = file_type;
        if (!contents) return textgrid::read_corpus(files, options);
        return textgrid::read_corpus(files, options, contents->views());
      });
  if (!corpus) return {};
  return new_textgrid_table(std::move(*corpus));
}

PyRef vectors2textgrids_body(PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {
      "tmins",        "tmaxs", "labels", "tier_names",   "is_intervals", "file_ids",
      "output_files", "file_type", "tmin", "tmax", "tier_indices", nullptr};
  PyObject *tmins, *tmaxs, *labels, *tier_names, *is_intervals, *file_ids, *outputs;
  PyObject *file_type = nullptr, *tmin = Py_None, *tmax = Py_None, *tier_indices = Py_None;
  if (!parse_arguments(args, kwargs, "OOOOOOO|OOOO:vectors2textgrids", keywords, &tmins, &tmaxs,
                       &labels, &tier_names, &is_intervals, &file_ids, &outputs, &file_type, &tmin,
                       &tmax, &tier_indices))
    return {};
  textgrid::CorpusColumns columns;
  std::vector<std::string> output_files;
  bool long_format = true;
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
      (file_type != nullptr && !convert_argument("file_type", file_type, long_format, to_layout)))
    return {};
  auto per_file_bounds = [&](PyObject* object, std::vector<std::optional<double>>& values) {
    return to_file_bounds(object, output_files.size(), values);
  };
  if (!convert_argument("tmin", tmin, bounds.tmins, per_file_bounds) ||
      !convert_argument("tmax", tmax, bounds.tmaxs, per_file_bounds))
    return {};
  return write_and_report(std::move(columns), output_files, bounds, long_format);
}

PyRef table2textgrids_body(PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"table",  "output_files", "file_type",
                                         "bounds", "tier_indices", nullptr};
  PyObject *table = nullptr, *outputs = nullptr, *file_type = nullptr, *bounds_object = Py_None;
  PyObject* tier_indices_object = Py_None;
  if (!parse_arguments(args, kwargs, "OO|OOO:table2textgrids", keywords, &table, &outputs,
                       &file_type, &bounds_object, &tier_indices_object))
    return {};
  std::vector<std::string> output_files;
  bool long_format = true;
  textgrid::Buffer<std::uint64_t> tier_indices;
  if (!convert_argument("output_files", outputs, output_files, to_path_list) ||
      (file_type != nullptr && !convert_argument("file_type", file_type, long_format, to_layout)) ||
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
  return write_and_report(std::move(*columns), output_files, bounds, long_format);
}

}  // namespace

PyObject* textgrids2table(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] { return textgrids2table_body(args, kwargs); });
}

PyObject* vectors2textgrids(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] { return vectors2textgrids_body(args, kwargs); });
}

PyObject* table2textgrids(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] { return table2textgrids_body(args, kwargs); });
}

}  // namespace tavrel
