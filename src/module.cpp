// The module object: single-phase initialisation, once per process, in the
// first interpreter that imports it; later imports get the same object.
#include <atomic>
#include <cstdint>

#include "cli_support.hpp"
#include "docstrings.hpp"
#include "failures.hpp"
#include "functions.hpp"
#include "memory_functions.hpp"
#include "nest.hpp"
#include "pyref.hpp"
#include "table_functions.hpp"
#include "tables.hpp"

namespace tavrel {
namespace {

PyObject* module_getattr(PyObject* module, PyObject* name);

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using OneArgumentFunction = PyObject* (*)(PyObject*, PyObject*);

// One function of the module: its record, and whether __all__ lists it.
struct FunctionRecord {
  PyMethodDef method;
  bool listed;
};

// Every function binds its arguments through bind_arguments.
FunctionRecord fast_function(const char* name, FastFunction function, const char* doc,
                             bool listed) {
  // The record's slot has the classic type; METH_FASTCALL tells the real one.
  return {{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
           METH_FASTCALL | METH_KEYWORDS, doc},
          listed};
}

// A private function of one positional-only argument.
FunctionRecord one_argument_function(const char* name, OneArgumentFunction function,
                                     const char* doc) {
  return {{name, function, METH_O, doc}, false};
}

constexpr bool listed = true;
constexpr bool unlisted = false;

// Every function of the module. Among the listed ones, registration order is
// also the order of __all__.
FunctionRecord function_records[] = {
    fast_function("textgrid2vectors", textgrid2vectors, docs::textgrid2vectors, listed),
    fast_function("textgrids2vectors", textgrids2vectors, docs::textgrids2vectors, listed),
    fast_function("textgrid2data", textgrid2data, docs::textgrid2data, listed),
    fast_function("textgrids2data", textgrids2data, docs::textgrids2data, listed),
    fast_function("data2textgrid", data2textgrid, docs::data2textgrid, listed),
    fast_function("vectors2textgrid", vectors2textgrid, docs::vectors2textgrid, listed),
    fast_function("textgrids2table", textgrids2table, docs::textgrids2table, unlisted),
    fast_function("vectors2textgrids", vectors2textgrids, docs::vectors2textgrids, unlisted),
    fast_function("table2textgrids", table2textgrids, docs::table2textgrids, unlisted),
    fast_function("loads", loads, docs::loads, unlisted),
    fast_function("loads_vectors", loads_vectors, docs::loads_vectors, unlisted),
    fast_function("dumps", dumps, docs::dumps, unlisted),
    fast_function("nest", nest, docs::nest, unlisted),
    fast_function("_read_files", read_files, docs::read_files, unlisted),
    fast_function("_diagnose", diagnose, docs::diagnose, unlisted),
    fast_function("_convert_files", convert_files, docs::convert_files, unlisted),
    one_argument_function("_output_open", output_open, docs::output_open),
    fast_function("_output_write", output_write, docs::output_write, unlisted),
    one_argument_function("_output_finish", output_finish, docs::output_finish),
    one_argument_function("_output_discard", output_discard, docs::output_discard),
};

// PanicException is reached through the module's __getattr__, so that the
// class is created only when someone asks for it (or on the first failure).
PyMethodDef getattr_record = {"__getattr__", module_getattr, METH_O,
                              "__getattr__(name, /)\n--\n\nLook up PanicException lazily."};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tavrel",
    docs::module,
    0,        // no per-module state
    nullptr,  // functions are added by the initialiser
    nullptr,  // single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* cached_module = nullptr;

// The package's search path when the import system gave none. An editable
// install loads this module through a finder that counts only Python files
// as a package's __init__, so without this `import tavrel.cli` would fail
// with "'tavrel' is not a package". The folder of the module file is what a
// regular install gets.
PyObject* package_path(PyObject* module) {
  PyRef file = PyRef::steal(PyModule_GetFilenameObject(module));
  if (!file) {
    // Without a file there is no folder to search: the plain "no attribute"
    // answer, which getattr(module, "__path__", None) and hasattr expect.
    PyErr_SetString(PyExc_AttributeError, "module 'tavrel' has no attribute '__path__'");
    return nullptr;
  }
  PyRef os_path = PyRef::steal(PyImport_ImportModule("os.path"));
  if (!os_path) return nullptr;
  PyRef folder = PyRef::steal(PyObject_CallMethod(os_path.get(), "dirname", "O", file.get()));
  if (!folder) return nullptr;
  PyRef path = PyRef::steal(PyList_New(1));
  if (!path) return nullptr;
  PyList_SET_ITEM(path.get(), 0, folder.release());
  if (PyObject_SetAttrString(module, "__path__", path.get()) < 0) return nullptr;
  return path.release();
}

// Parts written in Python, imported on first use: `tavrel.plot` and
// `tavrel.sources` cost nothing (and import no matplotlib) until asked for.
PyObject* python_part(PyObject* name) {
  if (PyUnicode_CompareWithASCIIString(name, "sources") == 0)
    return PyImport_ImportModule("tavrel.sources");
  PyRef part = PyRef::steal(PyImport_ImportModule("tavrel._plot"));
  return part ? PyObject_GetAttrString(part.get(), "plot") : nullptr;
}

PyObject* module_getattr(PyObject* module, PyObject* name) {
  if (PyUnicode_Check(name) && (PyUnicode_CompareWithASCIIString(name, "plot") == 0 ||
                                PyUnicode_CompareWithASCIIString(name, "sources") == 0))
    return python_part(name);
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "PanicException") == 0) {
    PyObject* type = panic_exception_type();
    Py_XINCREF(type);
    return type;
  }
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__path__") == 0)
    return package_path(module);
  PyErr_Format(PyExc_AttributeError, "module 'tavrel' has no attribute '%S'", name);
  return nullptr;
}

PyRef new_function(PyMethodDef* record, PyObject* module, PyObject* module_name) {
  return PyRef::steal(PyCMethod_New(record, module, module_name, nullptr));
}

// __all__ of the module, created empty when absent (a borrowed reference).
PyObject* all_list(PyObject* module) {
  PyObject* dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (all != nullptr) return all;
  PyRef created = PyRef::steal(PyList_New(0));
  if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) return nullptr;
  return created.get();  // the dict keeps it alive
}

bool add_function(PyObject* module, PyObject* module_name, FunctionRecord& record) {
  PyRef function = new_function(&record.method, module, module_name);
  if (!function) return false;
  PyRef name = PyRef::steal(PyUnicode_FromString(record.method.ml_name));
  if (!name) return false;
  if (record.listed) {
    PyObject* all = all_list(module);
    if (all == nullptr || PyList_Append(all, name.get()) < 0) return false;
  }
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

bool initialise(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  if (all_list(module) == nullptr || !add_table_types(module)) return false;
  for (FunctionRecord& record : function_records)
    if (!add_function(module, module_name.get(), record)) return false;
  PyRef getattr = new_function(&getattr_record, module, module_name.get());
  return getattr && PyObject_SetAttrString(module, "__getattr__", getattr.get()) == 0;
}

// Claims the module for the current interpreter; false with ImportError set
// when another interpreter has it already.
bool claim_interpreter() {
  std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1 && PyErr_Occurred()) return false;
  std::int64_t expected = -1;
  if (owning_interpreter.compare_exchange_strong(expected, current) || expected == current)
    return true;
  PyErr_SetString(PyExc_ImportError,
                  "tavrel does not support sub-interpreters: it is already loaded in another "
                  "interpreter of this process");
  return false;
}

}  // namespace
}  // namespace tavrel

PyMODINIT_FUNC PyInit_tavrel() {
  using namespace tavrel;
  if (!claim_interpreter()) return nullptr;
  if (cached_module == nullptr) {
    PyRef module = PyRef::steal(PyModule_Create(&module_definition));
    if (!module || !initialise(module.get())) return nullptr;
#ifdef Py_GIL_DISABLED
    // Every function is safe without the interpreter lock: containers are read
    // through strong references and first-use objects are made under a lock.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
    cached_module = module.release();
  }
  Py_INCREF(cached_module);
  return cached_module;
}
