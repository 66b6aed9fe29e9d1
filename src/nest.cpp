// Body of nest: any Arrow stream in, the core's join of the two tiers, an
// Arrow table out.
#include "nest.hpp"

#include <array>
#include <string>
#include <string_view>

#include "binding.hpp"
#include "convert.hpp"
#include "failures.hpp"
#include "interrupt.hpp"
#include "tables.hpp"
#include "textgrid/tables/nest.hpp"

namespace tavrel {
namespace {

constexpr const char* parameters[] = {"table", "parent", "child"};

PyRef nest_body(const CallArguments& call) {
  std::array<PyObject*, 3> bound;
  if (!bind_call(all_required("nest", parameters), call, bound)) return {};
  PyObject *table = bound[0], *parent_object = bound[1], *child_object = bound[2];
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

PyObject* nest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return nest_body({args, nargs, kwnames}); });
}

}  // namespace tavrel
