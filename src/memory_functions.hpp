#pragma once
// The in-memory readers and writer (beside, not in, the module's __all__).
#include "pyref.hpp"

namespace tavrel {

PyObject* loads(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* loads_vectors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* dumps(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tavrel
