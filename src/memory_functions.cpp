// Bodies of the in-memory readers and writer: loads and loads_vectors read
// bytes the caller holds exactly as textgrid2data and textgrid2vectors read a
// file's bytes (the core's one reading path), and dumps returns the bytes
// data2textgrid would write.
#include "memory_functions.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "contents.hpp"
#include "convert.hpp"
#include "failures.hpp"
#include "interrupt.hpp"
#include "results.hpp"
#include "textgrid/flat.hpp"
#include "textgrid/lib.hpp"
#include "textgrid/streaming.hpp"

namespace tavrel {
namespace {

// How messages name bytes that come from no file.
constexpr std::string_view memory_source = "<memory>";
// Name of every TextGrid built from Python values.
constexpr const char* built_document_name = "TextGrid";

bool parse_arguments(PyObject* args, PyObject* kwargs, const char* format,
                     const char* const* keywords, auto... slots) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                     slots...) != 0;
}

// Reads the content's bytes as a flat document; nothing, with the Python
// exception set (OSError naming the source `<memory>`), when that fails.
std::optional<textgrid::FlatDocument> read_content(const char* format, PyObject* args,
                                                   PyObject* kwargs) {
  static const char* const keywords[] = {"content", "strict", "file_type", "encoding", nullptr};
  PyObject *content = nullptr, *strict_object = Py_False, *file_type_object = nullptr,
           *encoding_object = nullptr;
  if (!parse_arguments(args, kwargs, format, keywords, &content, &strict_object,
                       &file_type_object, &encoding_object))
    return std::nullopt;
  SharedContents held = content == Py_None ? SharedContents() : hold_content(content);
  if (!held) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_TypeError, "expected a bytes-like object or str, not 'NoneType'");
    add_argument_context("content");
    return std::nullopt;
  }
  textgrid::ReadOptions options;
  std::string_view file_type = "auto";
  if (!convert_argument("strict", strict_object, options.strict, to_bool) ||
      (file_type_object != nullptr &&
       !convert_argument("file_type", file_type_object, file_type, to_text)) ||
      (encoding_object != nullptr &&
       !convert_argument("encoding", encoding_object, options.encoding, to_encoding)))
    return std::nullopt;
  options.file_type = textgrid::reading_file_type(file_type);
  const bool quick = held->total_bytes() <= textgrid::quick_read_bytes;
  auto outcome = run_interruptibly_for(
      [held, options]() -> textgrid::Result<textgrid::FlatDocument> {
        textgrid::Result<textgrid::TextGrid> grid =
            textgrid::read_from_bytes((*held)[0], std::string(memory_source), options);
        if (!grid) return std::unexpected(std::move(grid.error()));
        return textgrid::to_flat(*grid);
      },
      [quick] { return quick; });
  if (!outcome) return std::nullopt;
  if (!*outcome) {
    PyRef shown = PyRef::steal(PyUnicode_FromStringAndSize(
        memory_source.data(), static_cast<Py_ssize_t>(memory_source.size())));
    if (shown) raise_read_error(shown.get(), outcome->error());
    return std::nullopt;
  }
  return std::move(**outcome);
}

PyRef loads_body(PyObject* args, PyObject* kwargs) {
  std::optional<textgrid::FlatDocument> document = read_content("O|OOO:loads", args, kwargs);
  if (!document) return {};
  return document_to_python(std::move(*document));
}

PyRef loads_vectors_body(PyObject* args, PyObject* kwargs) {
  std::optional<textgrid::FlatDocument> document =
      read_content("O|OOO:loads_vectors", args, kwargs);
  if (!document) return {};
  return vectors_to_python(std::move(*document));
}

PyRef dumps_body(PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"data", "tmin", "tmax", "file_type", nullptr};
  PyObject *data = nullptr, *tmin_object = Py_None, *tmax_object = Py_None,
           *file_type_object = nullptr;
  if (!parse_arguments(args, kwargs, "O|OOO:dumps", keywords, &data, &tmin_object, &tmax_object,
                       &file_type_object))
    return {};
  std::vector<textgrid::TierData> tiers;
  std::optional<double> tmin, tmax;
  std::string_view file_type = "long";
  if (!convert_argument("data", data, tiers, to_tier_data_list) ||
      !convert_argument("tmin", tmin_object, tmin, to_optional_double) ||
      !convert_argument("tmax", tmax_object, tmax, to_optional_double) ||
      (file_type_object != nullptr &&
       !convert_argument("file_type", file_type_object, file_type, to_text)))
    return {};
  // As the single-file writers do: exactly "long" is the long layout, any other word short.
  const bool long_format = file_type == "long";
  auto outcome = run_interruptibly_for(
      [tiers = std::move(tiers), tmin, tmax, long_format]() mutable
          -> textgrid::Result<std::string> {
        textgrid::Result<textgrid::TextGrid> grid =
            textgrid::TextGrid::from_data(std::move(tiers), built_document_name, tmin, tmax);
        if (!grid) return std::unexpected(std::move(grid.error()));
        return long_format ? grid->to_long_textgrid_string() : grid->to_short_textgrid_string();
      });
  if (!outcome) return {};
  if (!*outcome) {
    raise_create_error(outcome->error());
    return {};
  }
  const std::string& text = **outcome;
  return PyRef::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

PyObject* loads(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] { return loads_body(args, kwargs); });
}

PyObject* loads_vectors(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] { return loads_vectors_body(args, kwargs); });
}

PyObject* dumps(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] { return dumps_body(args, kwargs); });
}

}  // namespace tavrel
