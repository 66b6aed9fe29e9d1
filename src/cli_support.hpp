#pragma once
// Private functions for the command line (not part of the module's API):
// converting files document to document, and writing output files through
// the core's safe save.
#include "pyref.hpp"

namespace tavrel {

// _convert_files(sources, targets, strict, long_format, contents=None, encoding="utf-8").
PyObject* convert_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
// _output_open(path, /), _output_write(output, data), _output_finish(output, /),
// _output_discard(output, /).
PyObject* output_open(PyObject* module, PyObject* path);
PyObject* output_write(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* output_finish(PyObject* module, PyObject* output);
PyObject* output_discard(PyObject* module, PyObject* output);

}  // namespace tavrel
