#include "binding.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace tavrel {
namespace {

[[gnu::cold]] void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  std::size_t expected = signature.parameters.size();
  PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
               signature.function, expected, expected == 1 ? "" : "s", given,
               given == 1 ? "was" : "were");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' - as CPython lists missing parameters.
std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) list += ',';
      list += i + 1 == names.size() ? " and " : " ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

[[gnu::cold]] void raise_missing(const Signature& signature, std::span<PyObject*> bound) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < bound.size(); ++i)
    if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
               signature.function, missing.size(), missing.size() == 1 ? "" : "s",
               quoted_name_list(missing).c_str());
}

// Index of the parameter named `keyword`, or -1.
Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
  const auto& names = signature.parameters;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) return Py_ssize_t(i);
  return -1;
}

bool bind_keywords(const Signature& signature, PyObject* const* values, PyObject* kwnames,
                   std::span<PyObject*> bound) {
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t index = parameter_index(signature, keyword);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                   signature.function, keyword);
      return false;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                   signature.function, keyword);
      return false;
    }
    bound[index] = values[k];
  }
  return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  if (std::size_t(nargs) > bound.size()) {
    raise_too_many_positional(signature, nargs);
    return false;
  }
  std::copy(args, args + nargs, bound.begin());
  if (kwnames != nullptr && !bind_keywords(signature, args + nargs, kwnames, bound)) return false;
  if (std::find(bound.begin(), bound.end(), nullptr) != bound.end()) {
    raise_missing(signature, bound);
    return false;
  }
  return true;
}

}  // namespace tavrel
