// Bodies of the in-memory readers and writer: loads and loads_vectors read
// bytes the caller holds exactly as textgrid2data and textgrid2vectors read a
// file's bytes (the core's one reading path), and dumps returns the bytes
// data2textgrid would write.
#include "memory_functions.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding.hpp"
#include "contents.hpp"
#include "convert.hpp"
#include "failures.hpp"
#include "interrupt.hpp"
#include "results.hpp"
#include "textgrid/model/flat_document.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/concurrency/streaming.hpp"

namespace tavrel {
namespace {

// How messages name bytes that come from no file.
constexpr std::string_view memory_source = "<memory>";
// Name of every TextGrid built from Python values.
constexpr const char* built_document_name = "TextGrid";

constexpr const char* read_parameters[] = {"content", "strict", "file_type", "encoding"};
constexpr const char* dumps_parameters[] = {"data", "tmin", "tmax", "file_type"};
constexpr Signature dumps_signature{"dumps", dumps_parameters, 1, 4};

// Reads the content's bytes as a flat document; nothing, with the Python
// exception set (OSError naming the source `<memory>`), when that fails.
std::optional<textgrid::FlatDocument> read_content(const char* function,
                                                   const CallArguments& call) {
  std::array<PyObject*, 4> bound;
  if (!bind_call({function, read_parameters, 1, 4}, call, bound)) return std::nullopt;
  PyObject *content = bound[0], *strict_object = given_or(bound[1], Py_False);
  PyObject *file_type_object = bound[2], *encoding_object = bound[3];
  SharedContents held = content == Py_None ? SharedContents() : hold_content(content);
  if (!held) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_TypeError, "expected a bytes-like object or str, not 'NoneType'");
    add_argument_context("content");
    return std::nullopt;
  }
  textgrid::ReadOptions options;
  if (!convert_argument("strict", strict_object, options.strict, to_bool) ||
      (file_type_object != nullptr &&
       !convert_argument("file_type", file_type_object, options.file_type,
                         to_reading_file_type)) ||
      (encoding_object != nullptr &&
       !convert_argument("encoding", encoding_object, options.encoding, to_encoding)))
    return std::nullopt;
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

PyRef loads_body(const CallArguments& call) {
  std::optional<textgrid::FlatDocument> document = read_content("loads", call);
  if (!document) return {};
  return document_to_python(std::move(*document));
}

PyRef loads_vectors_body(const CallArguments& call) {
  std::optional<textgrid::FlatDocument> document = read_content("loads_vectors", call);
  if (!document) return {};
  return vectors_to_python(std::move(*document));
}

PyRef dumps_body(const CallArguments& call) {
  std::array<PyObject*, 4> bound;
  if (!bind_call(dumps_signature, call, bound)) return {};
  PyObject *data = bound[0], *tmin_object = given_or(bound[1], Py_None);
  PyObject *tmax_object = given_or(bound[2], Py_None), *file_type_object = bound[3];
  std::vector<textgrid::TierData> tiers;
  std::optional<double> tmin, tmax;
  textgrid::FileType layout = textgrid::FileType::long_text;
  if (!convert_argument("data", data, tiers, to_tier_data_list) ||
      !convert_argument("tmin", tmin_object, tmin, to_optional_double) ||
      !convert_argument("tmax", tmax_object, tmax, to_optional_double) ||
      (file_type_object != nullptr &&
       !convert_argument("file_type", file_type_object, layout, to_single_file_layout)))
    return {};
  const bool long_format = layout == textgrid::FileType::long_text;
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

PyObject* loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return loads_body({args, nargs, kwnames}); });
}

PyObject* loads_vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return loads_vectors_body({args, nargs, kwnames}); });
}

PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return dumps_body({args, nargs, kwnames}); });
}

}  // namespace tavrel
