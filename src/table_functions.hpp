#pragma once
// The batch functions over tables: reading a corpus into a table, writing many
// files from vectors or from any Arrow table (fast calls with keyword names).
#include "pyref.hpp"

namespace tavrel {

PyObject* textgrids2table(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
// _read_files(files, strict=False, file_type="auto", contents=None,
// encoding="utf-8"): a table
// whose _tiers() gives each file's tiers.
PyObject* read_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);
// _diagnose(files, strict=False, file_type="auto", *, encoding, all, contents):
// where each failed file is wrong, for the command line's check.
PyObject* diagnose(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* vectors2textgrids(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* table2textgrids(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

}  // namespace tavrel
