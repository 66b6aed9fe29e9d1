#pragma once
// nest(table, parent, child): the child tier's items joined to their parents.
#include "pyref.hpp"

namespace tavrel {

PyObject* nest(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tavrel
