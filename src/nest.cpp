// Body of nest: any Arrow stream in, the core's join of the two tiers, an
// Arrow table out.
#include "nest.hpp"

#include <string>
#include <string_view>

#include "convert.hpp"
#include "failures.hpp"
#include "interrupt.hpp"
#include "tables.hpp"
#include "textgrid/nest.hpp"

namespace tavrel {
namespace {

PyRef nest_body(PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"table", "parent", "child", nullptr};
  PyObject *table = nullptr, *parent_object = nullptr, *child_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:nest", const_cast<char**>(keywords), &table,
                                   &parent_object, &child_object))
    return {};
  std::string_view parent_view, child_view;
  if (!convert_argument("parent", parent_object, parent_view, to_text) ||
      !convert_argument("child", child_object, child_view, to_text))
    return {};
  ArrowArrayStream stream{};
  if (!import_stream(table, "table", stream)) return {};
  // The stream's producer may need the interpreter (pyarrow, polars): the
  // matching runs here, with the lock held, as the table writers' import does.
  auto nested = textgrid::arrow::nest_tiers(stream, parent_view, child_view);
  if (!nested) {
    PyErr_SetString(PyExc_ValueError, ("argument 'table': " + nested.error().message).c_str());
    return {};
  }
  return new_computed_table(std::move(*nested));
}

}  // namespace

PyObject* nest(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] { return nest_body(args, kwargs); });
}

}  // namespace tavrel
