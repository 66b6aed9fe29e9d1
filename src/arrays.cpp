#include "arrays.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tavrel_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstddef>
#include <string>

#include "made_once.hpp"
#include "textgrid/model/failure.hpp"

namespace tavrel {
namespace {

// Owns one released buffer and the routine that frees a buffer of its element type.
struct SliceContainer {
  PyObject_HEAD
  void* data;
  std::size_t length;
  std::size_t capacity;
  void (*free)(void* data, std::size_t length, std::size_t capacity) noexcept;
};

template <class T>
void free_released(void* data, std::size_t length, std::size_t capacity) noexcept {
  textgrid::free_buffer<T>(static_cast<T*>(data), length, capacity);
}

void slice_container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  if (container->free != nullptr)
    container->free(container->data, container->length, container->capacity);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Keeps the memory of a tavrel array alive and frees it.")},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long slice_container_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long slice_container_flags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec slice_container_spec = {
    "tavrel.PySliceContainer", sizeof(SliceContainer), 0,
    static_cast<unsigned int>(slice_container_flags), slice_container_slots};

MadeOnce<PyObject> slice_container_type;
MadeOnce<void> numpy_api;

// The text of the pending Python exception, which is cleared.
std::string take_error_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  PyObject* shown = value != nullptr ? value : type;
  if (shown == nullptr) return "unknown error";
  PyRef text = PyRef::steal(PyObject_Str(shown));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "unknown error";
  }
  return utf8;
}

// NumPy's C interface is looked up on the first array, never at import.
void ensure_numpy_api() {
  void* api = numpy_api.get([]() -> void* {
    return _import_array() < 0 ? nullptr : static_cast<void*>(PyArray_API);
  });
  if (api == nullptr)
    textgrid::fail("Failed to access NumPy array API capsule: " + take_error_text());
}

PyTypeObject* container_type() {
  PyObject* type = slice_container_type.get([] {
    PyObject* created = PyType_FromSpec(&slice_container_spec);
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    // Without the flag (before Python 3.10), no constructor keeps it internal.
    if (created != nullptr) reinterpret_cast<PyTypeObject*>(created)->tp_new = nullptr;
#endif
    return created;
  });
  return reinterpret_cast<PyTypeObject*>(type);
}

// The keeper owns the buffer from here on; if it cannot be made, the buffer
// is freed and the call ends in an internal failure.
template <class T>
PyRef make_keeper(textgrid::ReleasedBuffer<T> released) {
  PyTypeObject* type = container_type();
  PyObject* keeper = type != nullptr ? type->tp_alloc(type, 0) : nullptr;
  if (keeper == nullptr) {
    textgrid::free_buffer<T>(released.data, released.length, released.capacity);
    PyErr_Clear();
    textgrid::fail("Failed to create slice container");
  }
  auto* container = reinterpret_cast<SliceContainer*>(keeper);
  container->data = released.data;
  container->length = released.length;
  container->capacity = released.capacity;
  container->free = free_released<T>;
  return PyRef::steal(keeper);
}

// Zero entries may come with no storage at all; NumPy still wants a pointer.
alignas(std::max_align_t) unsigned char empty_storage[sizeof(std::max_align_t)];

template <class T>
PyRef adopt_buffer(textgrid::Buffer<T>& values, int type_number) {
  ensure_numpy_api();
  textgrid::ReleasedBuffer<T> released = values.release();
  PyRef keeper = make_keeper(released);
  npy_intp dimensions[1] = {static_cast<npy_intp>(released.length)};
  npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
  void* data = released.data != nullptr ? static_cast<void*>(released.data) : empty_storage;
  PyArray_Descr* descriptor = PyArray_DescrFromType(type_number);
  if (descriptor == nullptr) return {};
  PyRef array = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descriptor, 1, dimensions,
                                                  strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return {};
  // Steals the keeper even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), keeper.release()) < 0)
    return {};
  return array;
}

}  // namespace

PyRef to_array(textgrid::Buffer<double>&& values) { return adopt_buffer(values, NPY_DOUBLE); }

PyRef to_array(textgrid::Buffer<bool>&& values) {
  static_assert(sizeof(bool) == 1, "NumPy's bool is one byte");
  return adopt_buffer(values, NPY_BOOL);
}

PyRef to_array(textgrid::Buffer<std::uint32_t>&& values) {
  return adopt_buffer(values, NPY_UINT32);
}

}  // namespace tavrel
