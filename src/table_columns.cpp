// Python lists of the columns of the module's own tables (rows, reports), built
// here so that the command line needs neither pyarrow nor an Arrow reader of
// its own to list them or write them as text.
#include "table_columns.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace tavrel {
namespace {

using textgrid::arrow::ArrayData;
using textgrid::arrow::Field;

bool bit(const void* bits, std::int64_t index) {
  return (static_cast<const std::uint8_t*>(bits)[index / 8] >> (index % 8)) & 1;
}

bool is_null(const ArrayData& array, std::int64_t row) {
  const void* validity = array.buffers.empty() ? nullptr : array.buffers[0].get();
  return array.null_count != 0 && validity != nullptr && !bit(validity, row);
}

template <class T>
T value_at(const ArrayData& array, std::size_t buffer, std::int64_t row) {
  T value;
  std::memcpy(&value, static_cast<const char*>(array.buffers[buffer].get()) + row * sizeof(T),
              sizeof(T));
  return value;
}

template <class Offset>
PyObject* text_at(const ArrayData& array, std::int64_t row) {
  const Offset begin = value_at<Offset>(array, 1, row), end = value_at<Offset>(array, 1, row + 1);
  const char* data = static_cast<const char*>(array.buffers[2].get()) + begin;
  return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(end - begin), "replace");
}

// One value of a column that is not dictionary-encoded; null for a format
// these tables never hold (with TypeError set).
PyObject* plain_value(std::string_view format, const ArrayData& array, std::int64_t row) {
  switch (format.size() == 1 ? format[0] : '\0') {
    case 'b': return PyBool_FromLong(bit(array.buffers[1].get(), row));
    case 'g': return PyFloat_FromDouble(value_at<double>(array, 1, row));
    case 'I': return PyLong_FromUnsignedLong(value_at<std::uint32_t>(array, 1, row));
    case 'i': return PyLong_FromLong(value_at<std::int32_t>(array, 1, row));
    case 'L': return PyLong_FromUnsignedLongLong(value_at<std::uint64_t>(array, 1, row));
    case 'l': return PyLong_FromLongLong(value_at<std::int64_t>(array, 1, row));
    case 'u': return text_at<std::int32_t>(array, row);
    case 'U': return text_at<std::int64_t>(array, row);
    default:
      PyErr_Format(PyExc_TypeError, "no Python value for the Arrow format '%.20s'",
                   std::string(format).c_str());
      return nullptr;
  }
}

PyObject* value(const Field& field, const ArrayData& array, std::int64_t row) {
  if (is_null(array, row)) Py_RETURN_NONE;
  if (field.dictionary_format.empty()) return plain_value(field.format, array, row);
  const std::int64_t index = field.format == "I" ? value_at<std::uint32_t>(array, 1, row)
                                                 : value_at<std::int32_t>(array, 1, row);
  return plain_value(field.dictionary_format, array.dictionary.at(0), index);
}

// Appends the column's values in one batch to `list`.
bool append_values(const Field& field, const ArrayData& column, PyObject* list) {
  for (std::int64_t row = 0; row < column.length; ++row) {
    PyRef item = PyRef::steal(value(field, column, row));
    if (!item || PyList_Append(list, item.get()) < 0) return false;
  }
  return true;
}

}  // namespace

PyRef table_columns(const textgrid::arrow::Table& table) {
  PyRef columns = PyRef::steal(PyDict_New());
  if (!columns) return {};
  const std::vector<Field>& fields = table.schema.children;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return {};
    for (const ArrayData& batch : table.batches)
      if (!append_values(fields[k], batch.children[k], list.get())) return {};
    if (PyDict_SetItemString(columns.get(), fields[k].name.c_str(), list.get()) < 0) return {};
  }
  return columns;
}

PyRef tier_summaries(std::span<const std::optional<std::vector<textgrid::TierSummary>>> files) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(files.size())));
  if (!list) return {};
  for (std::size_t k = 0; k < files.size(); ++k) {
    PyRef tiers = files[k] ? PyRef::steal(PyList_New(0)) : PyRef::borrow(Py_None);
    if (!tiers) return {};
    if (files[k])
      for (const textgrid::TierSummary& tier : *files[k]) {
        PyRef entry = PyRef::steal(Py_BuildValue(
            "{s:N,s:s,s:n}", "name",
            PyUnicode_DecodeUTF8(tier.name.data(), static_cast<Py_ssize_t>(tier.name.size()),
                                 "replace"),
            "class", tier.is_interval ? "IntervalTier" : "TextTier", "items",
            static_cast<Py_ssize_t>(tier.items)));
        if (!entry || PyList_Append(tiers.get(), entry.get()) < 0) return {};
      }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), tiers.release());
  }
  return list;
}

}  // namespace tavrel
