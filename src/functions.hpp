#pragma once
// The six module functions, in the fast calling convention with keyword names.
#include "pyref.hpp"

namespace tavrel {

PyObject* textgrid2vectors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* textgrids2vectors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* textgrid2data(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* textgrids2data(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* data2textgrid(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* vectors2textgrid(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace tavrel
