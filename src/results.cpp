#include "results.hpp"

#include "arrays.hpp"

#include <bit>
#include <cstdint>
#include <string_view>
#include <utility>

#include "textgrid/model/text_hash.hpp"

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
    const std::uint64_t hash = textgrid::hash_text(text);
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
    textgrid::grow_open_table(slots_, [](const Slot& slot) { return slot.object != nullptr; });
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

// The str of each of one document's distinct texts, taken from the call's
// shared texts.
class DocumentTexts {
 public:
  bool make(const textgrid::DistinctTexts& texts, SharedTexts& shared) {
    objects_.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      PyRef made = shared.get(texts[i]);
      if (!made) return false;
      objects_.push_back(std::move(made));
    }
    return true;
  }
  PyObject* borrowed(std::uint32_t text) const noexcept { return objects_[text].get(); }
  PyRef get(std::uint32_t text) const noexcept { return PyRef::borrow(objects_[text].get()); }

 private:
  std::vector<PyRef> objects_;
};

PyRef items_to_python(const textgrid::FlatDocument& document, std::size_t first,
                      std::size_t count, const DocumentTexts& texts) {
  SharedTimes times;
  return new_list(count, [&](std::size_t i) {
    const std::size_t item = first + i;
    PyRef tmin = times.get(document.tmins[item]);
    PyRef tmax = tmin ? times.get(document.tmaxs[item]) : PyRef();
    PyRef triple = new_triple(std::move(tmin), std::move(tmax), texts.get(document.labels[item]));
    // Two floats and a str can never form a cycle; untracking at once (as the
    // collector would on its next pass) keeps a million items from making
    // every collection during the build walk them all.
    if (triple) PyObject_GC_UnTrack(triple.get());
    return triple;
  });
}

PyRef document_to_python(const textgrid::FlatDocument& document, SharedTexts& shared) {
  DocumentTexts texts;
  if (!texts.make(document.texts, shared)) return {};
  PyRef tmin = new_float(document.tmin);
  PyRef tmax = tmin ? new_float(document.tmax) : PyRef();
  if (!tmax) return {};
  std::size_t first = 0;
  PyRef tier_list = new_list(document.tiers.size(), [&](std::size_t t) {
    const textgrid::FlatTier& tier = document.tiers[t];
    PyRef items = items_to_python(document, first, tier.items, texts);
    first += tier.items;
    return new_triple(texts.get(tier.name),
                      PyRef::borrow(tier.is_interval ? Py_True : Py_False), std::move(items));
  });
  return new_triple(std::move(tmin), std::move(tmax), std::move(tier_list));
}

// A list of one document's labels, or of its items' tier names, as str.
PyRef item_texts_to_python(const textgrid::FlatDocument& document, const DocumentTexts& texts,
                           bool tier_names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(document.item_count())));
  if (!list) return {};
  Py_ssize_t at = 0;
  for (std::size_t t = 0, item = 0; t < document.tiers.size(); ++t) {
    const textgrid::FlatTier& tier = document.tiers[t];
    for (std::size_t i = 0; i < tier.items; ++i, ++item) {
      PyObject* text = texts.borrowed(tier_names ? tier.name : document.labels[item]);
      Py_INCREF(text);
      PyList_SET_ITEM(list.get(), at++, text);
    }
  }
  return list;
}

// Appends one text per item to `list`, as item_texts_to_python lists them.
bool append_item_texts(PyObject* list, const textgrid::FlatDocument& document,
                       const DocumentTexts& texts, bool tier_names) {
  for (std::size_t t = 0, item = 0; t < document.tiers.size(); ++t) {
    const textgrid::FlatTier& tier = document.tiers[t];
    for (std::size_t i = 0; i < tier.items; ++i, ++item) {
      PyObject* text = texts.borrowed(tier_names ? tier.name : document.labels[item]);
      if (PyList_Append(list, text) != 0) return false;
    }
  }
  return true;
}

textgrid::Buffer<bool> item_kinds(const textgrid::FlatDocument& document) {
  textgrid::Buffer<bool> kinds;
  kinds.reserve(document.item_count());
  for (const textgrid::FlatTier& tier : document.tiers) kinds.append_fill(tier.is_interval, tier.items);
  return kinds;
}

}  // namespace

PyRef document_to_python(textgrid::FlatDocument&& document) {
  textgrid::FlatDocument consumed = std::move(document);
  CollectorPause pause;
  SharedTexts texts;
  return document_to_python(consumed, texts);
}

// The arrays are made first, in the order tmins, tmaxs, is_intervals, so a
// failure to make one releases those made before it.
PyRef vectors_to_python(textgrid::FlatDocument&& document) {
  textgrid::FlatDocument consumed = std::move(document);
  textgrid::Buffer<bool> kinds = item_kinds(consumed);
  PyRef tmins = to_array(std::move(consumed.tmins));
  if (!tmins) return {};
  PyRef tmaxs = to_array(std::move(consumed.tmaxs));
  if (!tmaxs) return {};
  PyRef is_intervals = to_array(std::move(kinds));
  if (!is_intervals) return {};
  SharedTexts shared;
  DocumentTexts texts;
  if (!texts.make(consumed.texts, shared)) return {};
  PyRef labels = item_texts_to_python(consumed, texts, false);
  if (!labels) return {};
  PyRef tier_names = item_texts_to_python(consumed, texts, true);
  if (!tier_names) return {};
  PyRef tuple = PyRef::steal(PyTuple_New(5));
  if (!tuple) return {};
  PyObject* members[] = {tmins.release(), tmaxs.release(), labels.release(), tier_names.release(),
                         is_intervals.release()};
  for (Py_ssize_t i = 0; i < 5; ++i) PyTuple_SET_ITEM(tuple.get(), i, members[i]);
  return tuple;
}

DocumentListBuilder::DocumentListBuilder(std::size_t count)
    : list_(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)))),
      texts_(std::make_unique<SharedTexts>()) {}

DocumentListBuilder::~DocumentListBuilder() = default;

bool DocumentListBuilder::add(textgrid::FlatDocument&& document) {
  if (!list_) return false;
  textgrid::FlatDocument consumed = std::move(document);
  CollectorPause pause;
  PyRef built = document_to_python(consumed, *texts_);
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
      texts_(std::make_unique<SharedTexts>()) {}

VectorColumnsBuilder::~VectorColumnsBuilder() = default;

bool VectorColumnsBuilder::add(textgrid::FlatDocument&& document, std::uint32_t file_id) {
  if (!labels_ || !tier_names_) return false;
  textgrid::FlatDocument consumed = std::move(document);
  DocumentTexts texts;
  if (!texts.make(consumed.texts, *texts_)) return false;
  file_ids_.append_fill(file_id, consumed.item_count());
  tmins_.append(consumed.tmins.data(), consumed.tmins.size());
  tmaxs_.append(consumed.tmaxs.data(), consumed.tmaxs.size());
  for (const textgrid::FlatTier& tier : consumed.tiers)
    is_intervals_.append_fill(tier.is_interval, tier.items);
  return append_item_texts(labels_.get(), consumed, texts, false) &&
         append_item_texts(tier_names_.get(), consumed, texts, true);
}

// The arrays are made in the order tmins, tmaxs, is_intervals, file_ids, so a
// failure to make one releases those made before it.
PyRef VectorColumnsBuilder::finish() {
  if (!labels_ || !tier_names_) return {};
  PyRef tmins = to_array(std::move(tmins_));
  if (!tmins) return {};
  PyRef tmaxs = to_array(std::move(tmaxs_));
  if (!tmaxs) return {};
  PyRef is_intervals = to_array(std::move(is_intervals_));
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

}  // namespace tavrel
