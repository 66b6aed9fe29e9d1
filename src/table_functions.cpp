// The batch functions: reading a corpus into a table, and writing
// many files from vectors or from any Arrow table. Only the caller's own
// mistakes raise; what happens to single files goes into the reports.
#include <array>
#include <memory>
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
#include "textgrid/tables/arrow_import.hpp"
#include "textgrid/reading/diagnostics.hpp"
#include "textgrid/concurrency/parallel.hpp"

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
constexpr const char* summary_parameters[] = {"files", "strict", "file_type", "contents",
                                              "encoding"};
constexpr Signature summary_signature{"_read_files", summary_parameters, 1, 5};

constexpr const char* vector_write_parameters[] = {
    "tmins",        "tmaxs",     "labels", "tier_names", "is_intervals", "file_ids",
    "output_files", "file_type", "tmin",   "tmax",       "tier_indices"};
constexpr Signature vector_write_signature{"vectors2textgrids", vector_write_parameters, 7, 11};

constexpr const char* table_write_parameters[] = {"table", "output_files", "file_type", "bounds",
                                                  "tier_indices"};
constexpr Signature table_write_signature{"table2textgrids", table_write_parameters, 2, 5};

constexpr const char* diagnose_parameters[] = {"files", "strict",   "file_type",
                                               "encoding", "all", "contents"};
constexpr Signature diagnose_signature{"_diagnose", diagnose_parameters, 1, 3};

// File ids: integers from 0. A negative one, or one beyond any output list,
// is the caller's mistake (ValueError naming the argument), not an overflow.
bool to_ids(PyObject* sequence, const char* parameter, const char* noun,
            textgrid::Buffer<std::uint64_t>& ids) {
  return for_each_element(
      sequence, [&](std::size_t expected) { ids.reserve(expected); },
      [&](PyObject* element) {
        PyRef index = PyRef::steal(PyNumber_Index(element));
        if (!index) return false;
        int overflow = 0;
        long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (small == -1 && PyErr_Occurred()) return false;
        if (overflow < 0 || (overflow == 0 && small < 0)) {
          PyErr_Format(PyExc_ValueError, "argument '%s': %s %S is negative", parameter, noun,
                       index.get());
          return false;
        }
        if (overflow == 0) {
          ids.push_back(static_cast<std::uint64_t>(small));
          return true;
        }
        unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
        if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
          PyErr_Clear();
          PyErr_Format(PyExc_ValueError, "argument '%s': %s %S is too large", parameter, noun,
                       index.get());
          return false;
        }
        ids.push_back(id);
        return true;
      });
}

bool to_file_ids(PyObject* sequence, textgrid::Buffer<std::uint64_t>& ids) {
  return to_ids(sequence, "file_ids", "file id", ids);
}

// Tier positions: integers from 0 to 2**64 - 1, refused as file ids are.
bool to_tier_indices(PyObject* sequence, textgrid::Buffer<std::uint64_t>& ids) {
  return to_ids(sequence, "tier_indices", "tier index", ids);
}

// None: the files' own extent; a number: the same bound for every file; a
// sequence: one bound (or None) per output file.
bool to_file_bounds(PyObject* object, const char* parameter, std::size_t files,
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
    PyErr_Format(PyExc_ValueError, "argument '%s': %zu bounds given for %zu output files",
                 parameter, bounds.size(), files);
    return false;
  }
  return converted;
}

// `ids_parameter` names the argument the file ids came from.
PyRef write_and_report(textgrid::CorpusColumns&& columns,
                       const std::vector<std::string>& output_files,
                       const textgrid::FileBounds& bounds, textgrid::FileType layout,
                       const char* ids_parameter) {
  const bool long_format = layout == textgrid::FileType::long_text;
  auto reports = run_interruptibly_for(
      [columns = std::move(columns), output_files, bounds, long_format]() mutable {
        return textgrid::write_corpus(std::move(columns), output_files, bounds, long_format);
      });
  if (!reports) return {};
  if (!*reports) {
    const textgrid::CorpusRefusal& refusal = reports->error();
    using Input = textgrid::CorpusRefusal::Input;
    if (refusal.input == Input::columns) return raise_value_error(refusal.message);
    const char* parameter = refusal.input == Input::file_ids       ? ids_parameter
                            : refusal.input == Input::tier_indices ? "tier_indices"
                                                                   : "output_files";
    return raise_value_error("argument '" + std::string(parameter) + "': " + refusal.message);
  }
  return new_reports(std::move(**reports));
}

// pyarrow passes an exception raised in a Python producer on as the text of
// its traceback; a KeyboardInterrupt there is the user's, and stays one.
bool producer_interrupted(std::string_view message) {
  if (message.find("Python exception") == std::string_view::npos) return false;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
    message.remove_suffix(1);
  std::string_view last_line = message.substr(message.rfind('\n') + 1);
  return last_line == "KeyboardInterrupt" || last_line.starts_with("KeyboardInterrupt:");
}

// Reads an imported stream with `read` off the interpreter lock (the stream's
// own callbacks take it if they need it); nothing, with the exception set,
// when reading fails or is interrupted. The stream is released either way.
template <class Read>
auto read_stream(ArrowArrayStream stream, const char* parameter, Read read)
    -> std::optional<typename decltype(read(stream))::value_type> {
  auto owned =
      std::shared_ptr<ArrowArrayStream>(new ArrowArrayStream(stream), [](ArrowArrayStream* taken) {
        if (taken->release) taken->release(taken);
        delete taken;
      });
  auto result = run_interruptibly_for([owned, read] { return read(*owned); });
  if (!result) return std::nullopt;
  if (!*result) {
    const std::string& message = result->error().message;
    if (producer_interrupted(message)) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      return std::nullopt;
    }
    raise_value_error("argument '" + std::string(parameter) + "': " + message);
    return std::nullopt;
  }
  return std::move(**result);
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
        return textgrid::read_corpus(files, options, contents->views(), contents->unavailable());
      });
  if (!corpus) return {};
  return new_textgrid_table(std::move(*corpus));
}

PyRef optional_number(std::size_t value) {
  if (value == 0) return PyRef::borrow(Py_None);
  return PyRef::steal(PyLong_FromSize_t(value));
}

// (kind, line, tier, item, message), with None for a line or number of 0.
PyRef problem_tuple(const textgrid::Problem& problem) {
  PyRef kind = PyRef::steal(PyUnicode_FromStringAndSize(
      problem.kind.data(), static_cast<Py_ssize_t>(problem.kind.size())));
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
      problem.message.data(), static_cast<Py_ssize_t>(problem.message.size()), "replace"));
  PyRef line = optional_number(problem.line), tier = optional_number(problem.tier),
        item = optional_number(problem.item);
  if (!kind || !message || !line || !tier || !item) return {};
  return PyRef::steal(PyTuple_Pack(5, kind.get(), line.get(), tier.get(), item.get(), message.get()));
}

PyRef problem_lists(const std::vector<std::vector<textgrid::Problem>>& found) {
  PyRef lists = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!lists) return {};
  for (std::size_t f = 0; f < found.size(); ++f) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found[f].size())));
    if (!list) return {};
    for (std::size_t p = 0; p < found[f].size(); ++p) {
      PyRef tuple = problem_tuple(found[f][p]);
      if (!tuple) return {};
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(p), tuple.release());
    }
    PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(f), list.release());
  }
  return lists;
}

PyRef diagnose_body(const CallArguments& call) {
  std::array<PyObject*, 6> bound;
  if (!bind_call(diagnose_signature, call, bound)) return {};
  PyObject *files_object = bound[0], *strict_object = given_or(bound[1], Py_False);
  PyObject *file_type_object = bound[2], *encoding_object = bound[3];
  PyObject *all_object = given_or(bound[4], Py_False), *contents_object = given_or(bound[5], Py_None);
  std::vector<std::string> files;
  textgrid::DiagnoseOptions options;
  SharedContents contents;
  auto file_contents = [&](PyObject* object, SharedContents& held) {
    return to_file_contents(object, files.size(), held);
  };
  if (!convert_argument("files", files_object, files, to_path_list) ||
      !convert_argument("contents", contents_object, contents, file_contents) ||
      !convert_argument("strict", strict_object, options.read.strict, to_bool) ||
      !convert_argument("all", all_object, options.all, to_bool) ||
      (file_type_object != nullptr &&
       !convert_argument("file_type", file_type_object, options.read.file_type,
                         to_checked_file_type)) ||
      (encoding_object != nullptr &&
       !convert_argument("encoding", encoding_object, options.read.encoding, to_encoding)))
    return {};
  // An entry of contents with data is the file's bytes (an archive member, say).
  auto found = run_interruptibly_for([files = std::move(files), options, contents]() mutable {
    return textgrid::ordered_parallel_map(files.size(), [&](std::size_t k) {
      if (contents && !contents->unavailable().empty() && contents->unavailable()[k])
        return std::vector<textgrid::Problem>{{"open", 0, 0, 0, *contents->unavailable()[k]}};
      if (contents && (*contents)[k].data() != nullptr)
        return textgrid::diagnose_bytes((*contents)[k], options);
      return textgrid::diagnose_file(files[k], options);
    });
  });
  if (!found) return {};
  return problem_lists(*found);
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
      !convert_argument("file_ids", file_ids, columns.file_ids, to_file_ids) ||
      (tier_indices != Py_None &&
       !convert_argument("tier_indices", tier_indices, columns.tier_indices, to_tier_indices)) ||
      !convert_argument("output_files", outputs, output_files, to_path_list) ||
      (file_type != nullptr && !convert_argument("file_type", file_type, layout, to_table_layout)))
    return {};
  auto bounds_of = [&](const char* parameter) {
    return [&, parameter](PyObject* object, std::vector<std::optional<double>>& values) {
      return to_file_bounds(object, parameter, output_files.size(), values);
    };
  };
  if (!convert_argument("tmin", tmin, bounds.tmins, bounds_of("tmin")) ||
      !convert_argument("tmax", tmax, bounds.tmaxs, bounds_of("tmax")))
    return {};
  return write_and_report(std::move(columns), output_files, bounds, layout, "file_ids");
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
       !convert_argument("tier_indices", tier_indices_object, tier_indices, to_tier_indices)))
    return {};
  textgrid::FileBounds bounds;
  if (bounds_object != Py_None) {
    ArrowArrayStream stream{};
    if (!import_stream(bounds_object, "bounds", stream)) return {};
    const std::size_t files = output_files.size();
    auto read = read_stream(stream, "bounds", [files](ArrowArrayStream& taken) {
      return textgrid::arrow::read_file_bounds(taken, files);
    });
    if (!read) return {};
    bounds = std::move(*read);
  }
  ArrowArrayStream stream{};
  if (!import_stream(table, "table", stream)) return {};
  // Tier positions given here win over the table's own column.
  const auto column_indices = tier_indices_object == Py_None
                                  ? textgrid::arrow::TierIndices::when_present
                                  : textgrid::arrow::TierIndices::ignore;
  auto columns = read_stream(stream, "table", [column_indices](ArrowArrayStream& taken) {
    return textgrid::arrow::read_corpus_columns(taken, column_indices);
  });
  if (!columns) return {};
  if (tier_indices_object != Py_None) columns->tier_indices = std::move(tier_indices);
  return write_and_report(std::move(*columns), output_files, bounds, layout, "table");
}

}  // namespace

PyObject* textgrids2table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return textgrids2table_body({args, nargs, kwnames}, false); });
}

PyObject* read_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return textgrids2table_body({args, nargs, kwnames}, true); });
}

PyObject* diagnose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return diagnose_body({args, nargs, kwnames}); });
}

PyObject* vectors2textgrids(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded_call([&] { return vectors2textgrids_body({args, nargs, kwnames}); });
}

PyObject* table2textgrids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return table2textgrids_body({args, nargs, kwnames}); });
}

}  // namespace tavrel
