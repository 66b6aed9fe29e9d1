#pragma once
// Binds the arguments of a fast call (positional array plus keyword names) to
// a function's parameter table, with the TypeError messages CPython gives for a
// plain Python function whose parameters are all required.
#include "pyref.hpp"

#include <span>

namespace tavrel {

struct Signature {
  const char* function;                     // e.g. "textgrid2data"
  std::span<const char* const> parameters;  // all positional-or-keyword, all required
};

// Fills `bound` (one slot per parameter) with borrowed objects. Returns false
// with a TypeError set when the call does not match the signature.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

}  // namespace tavrel
