#pragma once
// nest(table, parent, child): the child tier's items joined to their parents.
#include "pyref.hpp"

namespace tavrel {

PyObject* nest(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace tavrel
