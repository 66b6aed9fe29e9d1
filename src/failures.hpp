#pragma once
// The one place where failures of the core become Python exceptions: error
// values become OSError with a fixed template, internal failures become
// PanicException (plus one report on stderr), C++ out-of-memory MemoryError.
#include "pyref.hpp"

#include <exception>
#include <new>
#include <string_view>

#include "textgrid/model/error.hpp"
#include "textgrid/model/failure.hpp"

namespace tavrel {

// The lazily created PanicException class (borrowed), or null with an error set.
PyObject* panic_exception_type() noexcept;

[[gnu::cold]] void raise_internal_failure(const textgrid::InternalFailure& failure) noexcept;
[[gnu::cold]] void raise_unexpected_exception(const char* what) noexcept;

// "Failed to read TextGrid file <path> because: <message>", the path being the
// str shown for the caller's path argument.
[[gnu::cold]] void raise_read_error(PyObject* shown_path, const textgrid::Error& error);
// "Failed to create TextGrid because: <message>"
[[gnu::cold]] void raise_create_error(const textgrid::Error& error);

// Runs a function body (returning a PyRef, null with a Python error set on
// failure) and translates whatever C++ exception escapes it (work done off
// the calling thread rethrows its exceptions here, so the report names the
// calling thread).
template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const textgrid::InternalFailure& failure) {
    raise_internal_failure(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    raise_unexpected_exception(unexpected.what());
  } catch (...) {
    raise_unexpected_exception("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace tavrel
