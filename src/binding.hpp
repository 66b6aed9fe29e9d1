#pragma once
// Binds the arguments of a fast call (positional array plus keyword names) to
// a function's parameter table, with the TypeError messages CPython gives for
// a plain Python function of the same signature.
#include "pyref.hpp"

#include <span>

namespace tavrel {

// Parameters in order: the first `positional` may come by position or by
// keyword, the rest only by keyword; the first `required` must be given.
// Parameters past `required` are optional: their slot stays null when the
// call leaves them out, and the function applies its default.
struct Signature {
  const char* function;                     // e.g. "textgrid2data"
  std::span<const char* const> parameters;
  std::size_t required;
  std::size_t positional;
};

// A signature whose parameters are all positional-or-keyword and required.
constexpr Signature all_required(const char* function, std::span<const char* const> parameters) {
  return {function, parameters, parameters.size(), parameters.size()};
}

// Fills `bound` (one slot per parameter) with borrowed objects, null for an
// optional parameter not given. Returns false with a TypeError set when the
// call does not match the signature.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

// One fast call's arguments as the interpreter passes them.
struct CallArguments {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

inline bool bind_call(const Signature& signature, const CallArguments& call,
                      std::span<PyObject*> bound) {
  return bind_arguments(signature, call.args, call.nargs, call.kwnames, bound);
}

// The argument in `slot`, or `fallback` when the call left it out.
inline PyObject* given_or(PyObject* slot, PyObject* fallback) {
  return slot != nullptr ? slot : fallback;
}

}  // namespace tavrel
