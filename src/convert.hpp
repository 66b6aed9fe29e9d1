#pragma once
// Conversions of Python argument values into the core's types. Each returns
// false with a Python exception set when it refuses a value.
#include "pyref.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/model/buffer.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/model/textgrid.hpp"

namespace tavrel {

// A view of the str's own UTF-8 data, valid while the object lives.
bool to_any_text(PyObject* object, std::string_view& text);
inline bool to_text(PyObject* object, std::string_view& text) {
  // A pure-ASCII str holds its UTF-8 text itself: no call needed for labels.
  if (PyUnicode_Check(object) && PyUnicode_IS_COMPACT_ASCII(object)) {
    text = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    return true;
  }
  return to_any_text(object, text);
}
// A file-system path as the caller gave it: str, bytes or any os.PathLike.
struct PathArgument {
  std::string encoded;  // the bytes os.fsencode gives
  PyRef shown;          // a str for messages: as given, or as os.fsdecode gives it
};
bool to_path(PyObject* object, PathArgument& path);
// The encoded paths of a sequence of paths.
bool to_path_list(PyObject* sequence, std::vector<std::string>& paths);

// The file_type word, turned into the layout once here, by one rule per use.
// Reading: "long", "short" or "auto"; any other word is an internal failure.
bool to_reading_file_type(PyObject* object, textgrid::FileType& type);
// The command line's check: "long", "short" or "auto"; any other word is a ValueError.
bool to_checked_file_type(PyObject* object, textgrid::FileType& type);
// The single-file writers: exactly "long" is the long layout, any other word short.
bool to_single_file_layout(PyObject* object, textgrid::FileType& type);
// The table writers: "long" or "short"; any other word is a ValueError.
bool to_table_layout(PyObject* object, textgrid::FileType& type);

// True/False, or a NumPy boolean scalar; never an integer.
bool to_bool(PyObject* object, bool& value);
bool to_optional_double(PyObject* object, std::optional<double>& value);

inline bool to_double(PyObject* object, double& value) {
  if (PyFloat_CheckExact(object)) {
    value = PyFloat_AS_DOUBLE(object);
    return true;
  }
  value = PyFloat_AsDouble(object);
  return !(value == -1.0 && PyErr_Occurred());
}

// A tuple (subclasses too) of exactly three members.
[[gnu::cold]] bool refuse_as_triple(PyObject* object);
inline bool check_triple(PyObject* object) {
  return (PyTuple_Check(object) && PyTuple_GET_SIZE(object) == 3) || refuse_as_triple(object);
}

// Refuses str and non-sequences; otherwise the number of entries worth
// reserving (the reported length, bounded so that an absurd __len__ cannot
// exhaust memory). -1 with an exception set on refusal.
Py_ssize_t begin_sequence(PyObject* object);

// A long conversion handles pending signals (Ctrl-C) every this many elements.
inline constexpr std::size_t signal_check_interval = std::size_t{1} << 14;

// Element i of an exact list or tuple as a strong reference, or null when a
// list has shrunk below i meanwhile (no error set). Without the interpreter
// lock another thread may replace a list's entry and free it between reading
// the entry and taking a reference: the list hands it over with its own lock.
inline PyRef list_or_tuple_element(PyObject* sequence, Py_ssize_t i) {
#ifdef Py_GIL_DISABLED
  if (PyList_CheckExact(sequence)) {
    PyRef element = PyRef::steal(PyList_GetItemRef(sequence, i));
    if (!element) PyErr_Clear();  // only IndexError: it shrank
    return element;
  }
#endif
  if (i >= PySequence_Fast_GET_SIZE(sequence)) return {};
  return PyRef::borrow(PySequence_Fast_GET_ITEM(sequence, i));
}

// Sequence conversion: reserve, then every element in iteration order (which
// may differ from what indexing would give) through `append`.
template <class Reserve, class Append>
bool for_each_element(PyObject* sequence, Reserve&& reserve, Append&& append) {
  Py_ssize_t expected = begin_sequence(sequence);
  if (expected < 0) return false;
  reserve(static_cast<std::size_t>(expected));
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
    // Walked by index exactly as their iterators walk them (a list's length
    // is read again at every step), without making an iterator.
    for (Py_ssize_t i = 0;; ++i) {
      PyRef element = list_or_tuple_element(sequence, i);
      if (!element) break;
      if (!append(element.get())) return false;
      const auto converted = static_cast<std::size_t>(i + 1);
      if (converted % signal_check_interval == 0 && PyErr_CheckSignals() != 0) return false;
    }
    return true;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  std::size_t converted = 0;
  while (PyObject* next = PyIter_Next(iterator.get())) {
    PyRef element = PyRef::steal(next);
    if (!append(element.get())) return false;
    if (++converted % signal_check_interval == 0 && PyErr_CheckSignals() != 0) return false;
  }
  return !PyErr_Occurred();
}

bool to_text_list(PyObject* sequence, std::vector<std::string>& texts);
bool to_double_buffer(PyObject* sequence, textgrid::Buffer<double>& values);
bool to_bool_buffer(PyObject* sequence, textgrid::Buffer<bool>& values);
// The tier list of the nested data form: (name, is_interval, [(tmin, tmax, label)]).
bool to_tier_data_list(PyObject* sequence, std::vector<textgrid::TierData>& tiers);

// After a failed conversion of `parameter`: an exception of exactly TypeError
// becomes TypeError("argument '<parameter>': <message>") caused by the original;
// any other exception is left as it is.
[[gnu::cold]] void add_argument_context(const char* parameter);

// Converts one bound argument, naming the parameter on a TypeError.
template <class Value, class Convert>
bool convert_argument(const char* parameter, PyObject* object, Value& value, Convert&& convert) {
  if (convert(object, value)) return true;
  add_argument_context(parameter);
  return false;
}

}  // namespace tavrel
