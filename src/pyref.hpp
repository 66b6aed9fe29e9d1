#pragma once
// An owning handle for one strong reference to a Python object, so that every
// early return and every C++ exception releases what was built so far.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tavrel {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a reference the caller owns (a "new reference"); may be null.
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for APIs that steal, or a return value).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tavrel
