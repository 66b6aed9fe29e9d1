// Holding the caller's in-memory bytes for work done without the interpreter
// lock, and the encoding word those readers take.
#include "contents.hpp"

#include <string>

#include "convert.hpp"

namespace tavrel {
namespace {

struct Released {
  std::vector<Py_buffer> buffers;
  std::vector<PyObject*> texts;
};

void release_now(Released& held) noexcept {
  for (Py_buffer& buffer : held.buffers) PyBuffer_Release(&buffer);
  for (PyObject* text : held.texts) Py_DECREF(text);
}

// A pending call: runs later with the interpreter lock.
int release_later(void* pending) noexcept {
  Released* held = static_cast<Released*>(pending);
  release_now(*held);
  delete held;
  return 0;
}

// The bytes of any buffer, in C order as bytes(object) gives them: viewed
// when they lie in one C-contiguous block, else gathered into a copy (a
// strided NumPy array or memoryview). Exporters refuse a contiguous view of
// strided memory with BufferError or, as NumPy does, ValueError.
bool contiguous_buffer(PyObject* object, Py_buffer& buffer) {
  if (PyObject_GetBuffer(object, &buffer, PyBUF_SIMPLE) == 0) return true;
  if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError))
    return false;
  PyErr_Clear();
  Py_buffer strided;
  if (PyObject_GetBuffer(object, &strided, PyBUF_FULL_RO) < 0) return false;
  PyRef copy = PyRef::steal(PyBytes_FromStringAndSize(nullptr, strided.len));
  const bool copied = copy && PyBuffer_ToContiguous(PyBytes_AS_STRING(copy.get()), &strided,
                                                    strided.len, 'C') == 0;
  PyBuffer_Release(&strided);
  return copied && PyObject_GetBuffer(copy.get(), &buffer, PyBUF_SIMPLE) == 0;
}

}  // namespace

HeldContents::~HeldContents() {
  Released held{std::move(buffers_), std::move(texts_)};
  if (held.buffers.empty() && held.texts.empty()) return;
  if (PyGILState_Check()) {
    release_now(held);
    return;
  }
  // Abandoned work finished on a helper thread. Should the interpreter not
  // take the call (its queue full, or it is shutting down), the memory stays.
  auto* later = new Released(std::move(held));
  if (Py_AddPendingCall(release_later, later) != 0) {
    later->buffers.clear();
    later->texts.clear();
  }
}

bool HeldContents::add(PyObject* object, bool failures_allowed) {
  if (object == Py_None) {  // no bytes: the entry is read from its file
    views_.emplace_back();
    if (!unavailable_.empty()) unavailable_.emplace_back();
    return true;
  }
  if (failures_allowed && PyExceptionInstance_Check(object)) return add_failure(object);
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
    Py_INCREF(object);
    texts_.push_back(object);
    views_.emplace_back(utf8, static_cast<std::size_t>(size));
    if (!unavailable_.empty()) unavailable_.emplace_back();
    total_bytes_ += static_cast<std::size_t>(size);
    return true;
  }
  if (!PyObject_CheckBuffer(object)) {
    PyErr_Format(PyExc_TypeError, "expected a bytes-like object or str, not '%.200s'",
                 Py_TYPE(object)->tp_name);
    return false;
  }
  Py_buffer buffer;
  if (!contiguous_buffer(object, buffer)) return false;
  buffers_.push_back(buffer);
  if (!unavailable_.empty()) unavailable_.emplace_back();
  // Empty bytes still point somewhere: a null view means "read the file".
  static constexpr char nothing[] = "";
  views_.emplace_back(buffer.len > 0 ? static_cast<const char*>(buffer.buf) : nothing,
                      static_cast<std::size_t>(buffer.len));
  total_bytes_ += static_cast<std::size_t>(buffer.len);
  return true;
}

bool HeldContents::add_failure(PyObject* exception) {
  PyRef text = PyRef::steal(PyObject_Str(exception));
  if (!text) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) return false;
  unavailable_.resize(views_.size());  // the entries before it all had their bytes
  unavailable_.emplace_back(std::string(utf8, static_cast<std::size_t>(size)));
  views_.emplace_back();
  return true;
}

SharedContents hold_content(PyObject* object) {
  auto held = std::make_shared<HeldContents>();
  if (!held->add(object)) return {};
  return held;
}

SharedContents hold_content_list(PyObject* sequence) {
  auto held = std::make_shared<HeldContents>();
  bool converted = for_each_element(
      sequence, [](std::size_t) {}, [&](PyObject* element) { return held->add(element, true); });
  if (!converted) return {};
  return held;
}

bool to_encoding(PyObject* object, textgrid::TextEncoding& encoding) {
  std::string_view word;
  if (!to_text(object, word)) return false;
  if (std::optional<textgrid::TextEncoding> known = textgrid::encoding_from_word(word)) {
    encoding = *known;
    return true;
  }
  std::string words;
  for (const textgrid::EncodingWord& entry : textgrid::encoding_words)
    words += (words.empty() ? "\"" : ", \"") + std::string(entry.word) + "\"";
  PyErr_Format(PyExc_ValueError, "unknown encoding %R: expected one of %s", object, words.c_str());
  return false;
}

}  // namespace tavrel
