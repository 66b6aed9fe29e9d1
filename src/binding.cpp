// Argument binding for fast calls, with CPython's own TypeError messages.
#include "binding.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace tavrel {
namespace {

const char* plural_s(std::size_t count) { return count == 1 ? "" : "s"; }

// "takes 3 positional arguments but 4 were given", "takes from 1 to 3 ...",
// and with keyword-only arguments in the call "... but 4 positional arguments
// (and 1 keyword-only argument) were given".
[[gnu::cold]] void raise_too_many_positional(const Signature& signature, Py_ssize_t given,
                                             PyObject* kwnames) {
  std::size_t keyword_only_given = 0;
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k)
    for (std::size_t i = signature.positional; i < signature.parameters.size(); ++i)
      if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k),
                                           signature.parameters[i]) == 0)
        ++keyword_only_given;
  const std::size_t most = signature.positional;
  const std::size_t least = std::min(signature.required, most);
  std::string takes = least == most ? std::to_string(most)
                                    : "from " + std::to_string(least) + " to " + std::to_string(most);
  std::string counted = std::to_string(given);
  if (keyword_only_given > 0)
    counted += " positional argument" + std::string(plural_s(std::size_t(given))) + " (and " +
               std::to_string(keyword_only_given) + " keyword-only argument" +
               plural_s(keyword_only_given) + ")";
  const bool one = given == 1 && keyword_only_given == 0;
  PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %s %s given",
               signature.function, takes.c_str(), least == most ? plural_s(most) : "s",
               counted.c_str(),
               one ? "was" : "were");
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
  for (std::size_t i = 0; i < signature.required; ++i)
    if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
  const char* kind = missing.empty() ? "" : "positional";
  if (missing.empty()) {  // only required keyword-only parameters are missing
    for (std::size_t i = 0; i < signature.required; ++i)
      if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
    kind = "keyword-only";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s",
               signature.function, missing.size(), kind, plural_s(missing.size()),
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
  if (std::size_t(nargs) > signature.positional) {
    raise_too_many_positional(signature, nargs, kwnames);
    return false;
  }
  std::copy(args, args + nargs, bound.begin());
  if (kwnames != nullptr && !bind_keywords(signature, args + nargs, kwnames, bound)) return false;
  const auto required_end = bound.begin() + std::ptrdiff_t(signature.required);
  if (std::find(bound.begin(), required_end, nullptr) != required_end) {
    raise_missing(signature, bound);
    return false;
  }
  return true;
}

}  // namespace tavrel
