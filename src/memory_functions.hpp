#pragma once
// The in-memory readers and writer (beside, not in, the module's __all__).
#include "pyref.hpp"

namespace tavrel {

PyObject* loads(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* loads_vectors(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* dumps(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace tavrel
