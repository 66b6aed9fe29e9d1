#include "results.hpp"

#include "arrays.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace tavrel {
namespace {

PyRef new_str(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

PyRef new_float(double value) { return PyRef::steal(PyFloat_FromDouble(value)); }

bool same_bits(double a, double b) noexcept {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

std::uint64_t hash_bytes(std::string_view text) noexcept {
  std::uint64_t hash = 0x9E3779B97F4A7C15ULL ^ text.size();
  std::size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    hash = (hash ^ word) * 0xFF51AFD7ED558CCDULL;
    hash ^= hash >> 32;
  }
  std::uint64_t tail = 0;
  if (at < text.size()) std::memcpy(&tail, text.data() + at, text.size() - at);
  hash = (hash ^ tail) * 0xC4CEB9FE1A85EC53ULL;
  return hash ^ (hash >> 29);
}

}  // namespace

// One str per distinct text within one call: labels repeat constantly (phones,
// words, silences), and one object per distinct text saves both the allocation
// and the memory of a million copies. Long texts, which rarely repeat, and
// texts beyond a bounded number of distinct ones are made afresh each time;
// when the bound is reached while most texts were new (unique labels), the
// table is given up, since lookups would then cost more than they save.
class SharedTexts {
 public:
  SharedTexts() : slots_(initial_slots) {}
  SharedTexts(const SharedTexts&) = delete;
  SharedTexts& operator=(const SharedTexts&) = delete;
  ~SharedTexts() {
    for (Slot& slot : slots_) Py_XDECREF(slot.object);
  }

  // A new reference to a str of `text`; null with a Python error set.
  PyRef get(std::string_view text) {
    if (given_up_ || text.size() > max_shared_length) return new_str(text);
    const std::uint64_t hash = hash_bytes(text);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.object == nullptr) return insert(slot, hash, text);
      if (slot.hash == hash && key(slot) == text) {
        ++hits_;
        return PyRef::borrow(slot.object);
      }
    }
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
    PyObject* object = nullptr;
  };
  static constexpr std::size_t initial_slots = 256;
  static constexpr std::size_t max_slots = std::size_t{1} << 15;
  static constexpr std::size_t max_shared_length = 1024;

  std::string_view key(const Slot& slot) const {
    return std::string_view(keys_).substr(slot.offset, slot.length);
  }

  PyRef insert(Slot& slot, std::uint64_t hash, std::string_view text) {
    PyRef made = new_str(text);
    if (!made) return made;
    // Half full at most, so that probes stay short; once at the bound, new
    // texts are no longer kept.
    if (2 * (used_ + 1) > max_slots) {
      given_up_ = hits_ < used_;
      return made;
    }
    slot = Slot{hash, keys_.size(), text.size(), PyRef::borrow(made.get()).release()};
    keys_.append(text);
    if (2 * ++used_ > slots_.size()) grow();
    return made;
  }

  void grow() {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(2 * slots_.size()));
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.object == nullptr) continue;
      std::size_t at = slot.hash & mask;
      while (slots_[at].object != nullptr) at = (at + 1) & mask;
      slots_[at] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::string keys_;
  std::size_t used_ = 0;
  std::size_t hits_ = 0;
  bool given_up_ = false;
};

namespace {

// A 3-tuple taking over the three members; null if any is null.
PyRef new_triple(PyRef first, PyRef second, PyRef third) {
  if (!first || !second || !third) return {};
  PyRef triple = PyRef::steal(PyTuple_New(3));
  if (!triple) return {};
  PyTuple_SET_ITEM(triple.get(), 0, first.release());
  PyTuple_SET_ITEM(triple.get(), 1, second.release());
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

// Times mostly chain (an interval starts where the previous one ended) and a
// point's two times are one: equal times share one float object.
class SharedTimes {
 public:
  PyRef get(double value) {
    if (last_ != nullptr && same_bits(value, last_value_)) return PyRef::borrow(last_);
    PyRef made = new_float(value);
    last_ = made.get();  // borrowed: the result being built holds it
    last_value_ = value;
    return made;
  }

 private:
  PyObject* last_ = nullptr;
  double last_value_ = 0.0;
};

PyRef items_to_python(const std::vector<textgrid::ItemData>& items, SharedTexts& texts) {
  SharedTimes times;
  return new_list(items.size(), [&](std::size_t i) {
    const textgrid::ItemData& item = items[i];
    PyRef tmin = times.get(item.tmin);
    PyRef tmax = tmin ? times.get(item.tmax) : PyRef();
    PyRef label = tmax ? texts.get(item.label) : PyRef();
    PyRef triple = new_triple(std::move(tmin), std::move(tmax), std::move(label));
    // Two floats and a str can never form a cycle; untracking at once (as the
    // collector would on its next pass) keeps a million items from making
    // every collection during the build walk them all.
    if (triple) PyObject_GC_UnTrack(triple.get());
    return triple;
  });
}

PyRef tier_to_python(textgrid::TierData&& tier, SharedTexts& texts) {
  textgrid::TierData consumed = std::move(tier);
  PyRef name = texts.get(consumed.name);
  if (!name) return {};
  PyRef items = items_to_python(consumed.items, texts);
  return new_triple(std::move(name), PyRef::borrow(consumed.is_interval ? Py_True : Py_False),
                    std::move(items));
}

PyRef document_to_python(textgrid::TextGridData&& document, SharedTexts& texts) {
  std::vector<textgrid::TierData> tiers = std::move(document.tiers);
  PyRef tmin = new_float(document.tmin);
  PyRef tmax = tmin ? new_float(document.tmax) : PyRef();
  if (!tmax) return {};
  PyRef tier_list = new_list(tiers.size(), [&](std::size_t i) {
    return tier_to_python(std::move(tiers[i]), texts);
  });
  return new_triple(std::move(tmin), std::move(tmax), std::move(tier_list));
}

}  // namespace

PyRef document_to_python(textgrid::TextGridData&& document) {
  CollectorPause pause;
  SharedTexts texts;
  return document_to_python(std::move(document), texts);
}

DocumentListBuilder::DocumentListBuilder(std::size_t count)
    : list_(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)))),
      texts_(std::make_unique<SharedTexts>()) {}

DocumentListBuilder::~DocumentListBuilder() = default;

bool DocumentListBuilder::add(textgrid::TextGridData&& document) {
  if (!list_) return false;
  CollectorPause pause;
  PyRef built = document_to_python(std::move(document), *texts_);
  if (!built) return false;
  PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(added_++), built.release());
  return true;
}

PyRef DocumentListBuilder::finish() {
  if (!list_ || added_ != static_cast<std::size_t>(PyList_GET_SIZE(list_.get()))) return {};
  return std::move(list_);
}

VectorColumnsBuilder::VectorColumnsBuilder()
    : labels_(PyRef::steal(PyList_New(0))),
      tier_names_(PyRef::steal(PyList_New(0))),
      label_texts_(std::make_unique<SharedTexts>()),
      name_texts_(std::make_unique<SharedTexts>()) {}

VectorColumnsBuilder::~VectorColumnsBuilder() = default;

namespace {

bool append_texts(PyObject* list, const std::vector<std::string>& texts, SharedTexts& shared) {
  for (const std::string& text : texts) {
    PyRef made = shared.get(text);
    if (!made || PyList_Append(list, made.get()) != 0) return false;
  }
  return true;
}

}  // namespace

bool VectorColumnsBuilder::add(textgrid::Vectors&& group, std::uint32_t file_id) {
  if (!labels_ || !tier_names_) return false;
  textgrid::Vectors consumed = std::move(group);
  file_ids_.append_fill(file_id, consumed.tier_names.size());
  numbers_.tmins.append(consumed.tmins.data(), consumed.tmins.size());
  numbers_.tmaxs.append(consumed.tmaxs.data(), consumed.tmaxs.size());
  numbers_.is_intervals.append(consumed.is_intervals.data(), consumed.is_intervals.size());
  return append_texts(labels_.get(), consumed.labels, *label_texts_) &&
         append_texts(tier_names_.get(), consumed.tier_names, *name_texts_);
}

// The arrays are made in the order tmins, tmaxs, is_intervals, file_ids, so a
// failure to make one releases those made before it.
PyRef VectorColumnsBuilder::finish() {
  if (!labels_ || !tier_names_) return {};
  PyRef tmins = to_array(std::move(numbers_.tmins));
  if (!tmins) return {};
  PyRef tmaxs = to_array(std::move(numbers_.tmaxs));
  if (!tmaxs) return {};
  PyRef is_intervals = to_array(std::move(numbers_.is_intervals));
  if (!is_intervals) return {};
  PyRef file_ids = to_array(std::move(file_ids_));
  if (!file_ids) return {};
  PyRef tuple = PyRef::steal(PyTuple_New(6));
  if (!tuple) return {};
  PyObject* members[] = {tmins.release(), tmaxs.release(), labels_.release(),
                         tier_names_.release(), is_intervals.release(), file_ids.release()};
  for (Py_ssize_t i = 0; i < 6; ++i) PyTuple_SET_ITEM(tuple.get(), i, members[i]);
  return tuple;
}

PyRef str_list_to_python(const std::vector<std::string>& texts) {
  SharedTexts shared;
  return new_list(texts.size(), [&](std::size_t i) { return shared.get(texts[i]); });
}

}  // namespace tavrel
