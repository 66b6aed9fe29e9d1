#pragma once
// Things the module makes on first use and keeps for the life of the process:
// classes, NumPy's C interface, interned attribute names.
//
// Without the interpreter lock (free-threaded builds) a PyMutex lets one thread
// make each while the others wait detached from the interpreter, so that a
// collection can still stop the world. With the lock, making one may run
// Python code that lets another thread in: the first one stored wins and the
// later one is dropped.
#include <atomic>
#include <type_traits>

#include "pyref.hpp"

namespace tavrel {

// T is PyObject, PyTypeObject (strong references, dropped when another thread
// won) or void (a pointer the maker owns elsewhere).
template <class T>
class MadeOnce {
 public:
  // The kept value, or what `make` returns (null with an error set on failure).
  template <class Make>
  T* get(Make&& make) {
    if (T* made = made_.load(std::memory_order_acquire)) return made;
    Holder hold(*this);
    if (T* made = made_.load(std::memory_order_acquire)) return made;
    T* created = make();
    if (created == nullptr) return nullptr;
    T* earlier = nullptr;
    if (made_.compare_exchange_strong(earlier, created, std::memory_order_acq_rel)) return created;
    if constexpr (!std::is_void_v<T>) Py_DECREF(reinterpret_cast<PyObject*>(created));
    return earlier;
  }
  T* peek() const noexcept { return made_.load(std::memory_order_acquire); }

 private:
  struct Holder {
#ifdef Py_GIL_DISABLED
    explicit Holder(MadeOnce& once) noexcept : mutex(once.mutex_) { PyMutex_Lock(&mutex); }
    ~Holder() { PyMutex_Unlock(&mutex); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    PyMutex& mutex;
#else
    explicit Holder(MadeOnce&) noexcept {}
#endif
  };

  std::atomic<T*> made_{nullptr};
#ifdef Py_GIL_DISABLED
  PyMutex mutex_{};
#endif
};

// An attribute name interned once: looking attributes up by a C string makes
// a fresh str per call, which the free-threaded allocator keeps for a while.
class InternedName {
 public:
  explicit constexpr InternedName(const char* text) noexcept : text_(text) {}
  // Borrowed (the interned str lives as long as the process); null with an error set.
  PyObject* get() {
    return object_.get([this] { return PyUnicode_InternFromString(text_); });
  }

 private:
  const char* text_;
  MadeOnce<PyObject> object_;
};

// getattr(object, name), or null with an error set.
inline PyRef attribute_of(PyObject* object, InternedName& name) {
  PyObject* key = name.get();
  return PyRef::steal(key != nullptr ? PyObject_GetAttr(object, key) : nullptr);
}

}  // namespace tavrel
