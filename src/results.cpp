#include "results.hpp"

#include <utility>

namespace tavrel {
namespace {

PyRef new_str(const std::string& text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

PyRef new_float(double value) { return PyRef::steal(PyFloat_FromDouble(value)); }

// A 3-tuple of the members made by the three calls, in order; null on the
// first failure (no Python call is made while an exception is pending).
template <class First, class Second, class Third>
PyRef new_triple(First&& make_first, Second&& make_second, Third&& make_third) {
  PyRef triple = PyRef::steal(PyTuple_New(3));
  if (!triple) return {};
  PyRef first = make_first();
  if (!first) return {};
  PyTuple_SET_ITEM(triple.get(), 0, first.release());
  PyRef second = make_second();
  if (!second) return {};
  PyTuple_SET_ITEM(triple.get(), 1, second.release());
  PyRef third = make_third();
  if (!third) return {};
  PyTuple_SET_ITEM(triple.get(), 2, third.release());
  return triple;
}

// A list of the final length, filled by `make(i)`; null on the first failure.
template <class Make>
PyRef new_list(std::size_t length, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(length)));
  if (!list) return {};
  for (std::size_t i = 0; i < length; ++i) {
    PyRef element = make(i);
    if (!element) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), element.release());
  }
  return list;
}

// Holds off the cycle collector while a nested result is built. Building
// allocates millions of tuples, and every few hundred allocations would start
// a collection that walks the lists built so far, again and again; nothing we
// build can form a cycle, so nothing is lost by collecting afterwards instead.
class CollectorPause {
 public:
#if PY_VERSION_HEX >= 0x030A0000
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  int was_enabled_;
#endif
};

PyRef items_to_python(const std::vector<textgrid::ItemData>& items) {
  return new_list(items.size(), [&](std::size_t i) {
    const textgrid::ItemData& item = items[i];
    PyRef triple =
        new_triple([&] { return new_float(item.tmin); }, [&] { return new_float(item.tmax); },
                   [&] { return new_str(item.label); });
    // Two floats and a str can never form a cycle; untracking at once (as the
    // collector would on its next pass) keeps a million items from making
    // every collection during the build walk them all.
    if (triple) PyObject_GC_UnTrack(triple.get());
    return triple;
  });
}

PyRef tier_to_python(textgrid::TierData&& tier) {
  textgrid::TierData consumed = std::move(tier);
  return new_triple([&] { return new_str(consumed.name); },
                    [&] { return PyRef::borrow(consumed.is_interval ? Py_True : Py_False); },
                    [&] { return items_to_python(consumed.items); });
}

}  // namespace

PyRef document_to_python(textgrid::TextGridData&& document) {
  CollectorPause pause;
  std::vector<textgrid::TierData> tiers = std::move(document.tiers);
  return new_triple([&] { return new_float(document.tmin); },
                    [&] { return new_float(document.tmax); },
                    [&] {
                      return new_list(tiers.size(), [&](std::size_t i) {
                        return tier_to_python(std::move(tiers[i]));
                      });
                    });
}

PyRef documents_to_python(std::vector<textgrid::TextGridData>&& documents) {
  CollectorPause pause;
  std::vector<textgrid::TextGridData> consumed = std::move(documents);
  return new_list(consumed.size(),
                  [&](std::size_t i) { return document_to_python(std::move(consumed[i])); });
}

PyRef str_list_to_python(const std::vector<std::string>& texts) {
  return new_list(texts.size(), [&](std::size_t i) { return new_str(texts[i]); });
}

}  // namespace tavrel
