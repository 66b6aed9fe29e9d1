#include "convert.hpp"

#include <atomic>
#include <cstring>

#include "made_once.hpp"

namespace tavrel {
namespace {

// An object may claim any length; growth past this is left to the appends.
constexpr Py_ssize_t max_reserved_entries = Py_ssize_t{1} << 16;

// The NumPy boolean scalar type, once seen (a strong reference), so that a
// NumPy bool array does not cost two attribute look-ups per element. Only a
// static type is remembered: its name cannot change afterwards. Its truth slot
// is still read at each use, never kept.
std::atomic<PyTypeObject*> numpy_bool_type{nullptr};

InternedName module_name{"__module__"};
InternedName type_name{"__name__"};
InternedName fspath_name{"__fspath__"};

[[gnu::cold]] void raise_not_convertible(PyObject* object, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to %s",
               Py_TYPE(object)->tp_name, target);
}

// The type's __module__ and __name__ as UTF-8, or empty views if unreadable.
std::string type_attribute(PyTypeObject* type, InternedName& attribute) {
  PyRef value = attribute_of(reinterpret_cast<PyObject*>(type), attribute);
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return {};
  }
  const char* text = PyUnicode_AsUTF8(value.get());
  if (text == nullptr) {
    PyErr_Clear();
    return {};
  }
  return text;
}

// Recognised by name so that NumPy need not be imported: "numpy.bool_" (NumPy 1)
// or "numpy.bool" (NumPy 2). Returns the type's name when it is one, else "".
std::string numpy_bool_name(PyTypeObject* type) {
  if (type_attribute(type, module_name) != "numpy") return {};
  std::string name = type_attribute(type, type_name);
  return name == "bool_" || name == "bool" ? name : std::string();
}

[[gnu::cold]] bool raise_no_bool_slot(const std::string& name) {
  PyErr_Format(PyExc_TypeError, "object of type 'numpy.%s' does not define a '__bool__' conversion",
               name.c_str());
  return false;
}

// Whether `type` is taken for NumPy's boolean; the name is raised on refusal.
bool recognised_numpy_bool(PyObject* object, PyTypeObject* type, std::string& name) {
  if (type == numpy_bool_type.load(std::memory_order_acquire)) return true;
  name = numpy_bool_name(type);
  if (name.empty()) {
    raise_not_convertible(object, "'bool'");
    return false;
  }
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
    PyTypeObject* unset = nullptr;
    Py_INCREF(type);
    if (!numpy_bool_type.compare_exchange_strong(unset, type, std::memory_order_acq_rel))
      Py_DECREF(type);
  }
  return true;
}

bool to_numpy_bool(PyObject* object, bool& value) {
  // Reading the names can run Python code that reassigns the object's class
  // and drops the last reference to the old one; hold it while it is used.
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
  std::string name = "bool_";
  if (!recognised_numpy_bool(object, as_type, name)) return false;
  if (Py_TYPE(object) != as_type) {
    raise_not_convertible(object, "'bool'");
    return false;
  }
  PyNumberMethods* number = as_type->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) {
    if (as_type == numpy_bool_type.load(std::memory_order_acquire)) name = numpy_bool_name(as_type);
    return raise_no_bool_slot(name);
  }
  int truth = number->nb_bool(object);
  if (truth < 0) return false;
  value = truth != 0;
  return true;
}

bool to_item_data(PyObject* object, textgrid::Item& item) {
  if (!check_triple(object)) return false;
  std::string_view label;
  if (!to_double(PyTuple_GET_ITEM(object, 0), item.tmin) ||
      !to_double(PyTuple_GET_ITEM(object, 1), item.tmax) ||
      !to_text(PyTuple_GET_ITEM(object, 2), label))
    return false;
  item.label.assign(label);
  return true;
}

bool to_item_data_list(PyObject* sequence, std::vector<textgrid::Item>& items) {
  return for_each_element(
      sequence, [&](std::size_t count) { items.reserve(count); },
      [&](PyObject* element) { return to_item_data(element, items.emplace_back()); });
}

bool to_tier_data(PyObject* object, textgrid::TierData& tier) {
  if (!check_triple(object)) return false;
  std::string_view name;
  // The name is copied before the other members run any Python code.
  if (!to_text(PyTuple_GET_ITEM(object, 0), name)) return false;
  tier.name.assign(name);
  return to_bool(PyTuple_GET_ITEM(object, 1), tier.is_interval) &&
         to_item_data_list(PyTuple_GET_ITEM(object, 2), tier.items);
}

// str or bytes (from os.PathLike too), as os.fsencode turns it into bytes and
// os.fsdecode into the str shown in messages.
bool path_from_fspath(PyObject* object, PathArgument& path) {
  if (PyUnicode_Check(object)) {
    PyRef bytes = PyRef::steal(PyUnicode_EncodeFSDefault(object));
    if (!bytes) return false;
    path.encoded.assign(PyBytes_AS_STRING(bytes.get()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    path.shown = PyRef::borrow(object);
    return true;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) != 0) return false;
  path.encoded.assign(data, static_cast<std::size_t>(size));
  path.shown = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(data, size));
  return static_cast<bool>(path.shown);
}

bool has_fspath(PyObject* object) {
  PyRef method = attribute_of(reinterpret_cast<PyObject*>(Py_TYPE(object)), fspath_name);
  if (!method) PyErr_Clear();
  return static_cast<bool>(method);
}

}  // namespace

bool to_any_text(PyObject* object, std::string_view& text) {
  if (!PyUnicode_Check(object)) {
    raise_not_convertible(object, "'str'");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;  // lone surrogates: the interpreter's UnicodeEncodeError
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_path(PyObject* object, PathArgument& path) {
  if (PyUnicode_Check(object) || PyBytes_Check(object)) return path_from_fspath(object, path);
  if (!has_fspath(object)) {
    raise_not_convertible(object, "'str'");
    return false;
  }
  PyRef resolved = PyRef::steal(PyOS_FSPath(object));
  return resolved && path_from_fspath(resolved.get(), path);
}

bool to_path_list(PyObject* sequence, std::vector<std::string>& paths) {
  return for_each_element(
      sequence, [&](std::size_t count) { paths.reserve(count); },
      [&](PyObject* element) {
        PathArgument path;
        if (!to_path(element, path)) return false;
        paths.push_back(std::move(path.encoded));
        return true;
      });
}

bool to_bool(PyObject* object, bool& value) {
  if (object == Py_True || object == Py_False) {
    value = object == Py_True;
    return true;
  }
  return to_numpy_bool(object, value);
}

bool to_optional_double(PyObject* object, std::optional<double>& value) {
  if (object == Py_None) {
    value.reset();
    return true;
  }
  double number = 0.0;
  if (!to_double(object, number)) return false;
  value = number;
  return true;
}

bool refuse_as_triple(PyObject* object) {
  if (!PyTuple_Check(object)) {
    raise_not_convertible(object, "a tuple");
    return false;
  }
  Py_ssize_t length = PyTuple_GET_SIZE(object);
  PyErr_Format(PyExc_ValueError, "expected tuple of length 3, but got tuple of length %zd", length);
  return false;
}

Py_ssize_t begin_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return -1;
  }
  if (!PySequence_Check(object)) {
    raise_not_convertible(object, "a sequence");
    return -1;
  }
  Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();  // an unknown length only means nothing is reserved
    return 0;
  }
  return std::min(length, max_reserved_entries);
}

bool to_reading_file_type(PyObject* object, textgrid::FileType& type) {
  std::string_view word;
  if (!to_text(object, word)) return false;
  type = textgrid::reading_file_type(word);
  return true;
}

bool to_single_file_layout(PyObject* object, textgrid::FileType& type) {
  std::string_view word;
  if (!to_text(object, word)) return false;
  type = word == "long" ? textgrid::FileType::long_text : textgrid::FileType::short_text;
  return true;
}

bool to_checked_file_type(PyObject* object, textgrid::FileType& type) {
  std::string_view word;
  if (!to_text(object, word)) return false;
  if (word != "long" && word != "short" && word != "auto") {
    PyErr_SetString(PyExc_ValueError, "file_type must be \"long\", \"short\" or \"auto\"");
    return false;
  }
  type = textgrid::reading_file_type(word);
  return true;
}

bool to_table_layout(PyObject* object, textgrid::FileType& type) {
  std::string_view word;
  if (!to_text(object, word)) return false;
  if (word != "long" && word != "short") {
    PyErr_Format(PyExc_ValueError,
                 "argument 'file_type': file_type must be \"long\" or \"short\", not %R", object);
    return false;
  }
  type = word == "long" ? textgrid::FileType::long_text : textgrid::FileType::short_text;
  return true;
}

bool to_text_list(PyObject* sequence, std::vector<std::string>& texts) {
  return for_each_element(
      sequence, [&](std::size_t count) { texts.reserve(count); },
      [&](PyObject* element) {
        std::string_view text;
        if (!to_text(element, text)) return false;
        texts.emplace_back(text);
        return true;
      });
}

namespace {

// A plain NumPy array (not a subclass, which may change how its elements come
// out), one-dimensional, in native order and of the buffer format `format`:
// its memory holds exactly what converting its elements one by one would
// give, so `copy(view)` reads it from there. False when the object is anything
// else (it then goes the element-by-element way).
template <class Copy>
bool copied_from_array(PyObject* object, const char* format, Copy&& copy) {
  if (std::strcmp(Py_TYPE(object)->tp_name, "numpy.ndarray") != 0) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
    PyErr_Clear();
    return false;
  }
  const bool plain =
      view.ndim == 1 && view.format != nullptr && std::strcmp(view.format, format) == 0;
  if (plain) copy(view);
  PyBuffer_Release(&view);
  return plain;
}

// The elements of a one-dimensional buffer, in order, whatever its stride.
template <class T, class Each>
void for_each_in_view(const Py_buffer& view, Each&& each) {
  const auto* at = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
  for (Py_ssize_t i = 0; i < view.shape[0]; ++i, at += stride) {
    T value;
    std::memcpy(&value, at, sizeof value);
    each(value);
  }
}

}  // namespace

bool to_double_buffer(PyObject* sequence, textgrid::Buffer<double>& values) {
  if (copied_from_array(sequence, "d", [&](const Py_buffer& view) {
        values.reserve(values.size() + static_cast<std::size_t>(view.shape[0]));
        for_each_in_view<double>(view, [&](double value) { values.push_back(value); });
      }))
    return true;
  return for_each_element(
      sequence, [&](std::size_t count) { values.reserve(count); },
      [&](PyObject* element) {
        double value = 0.0;
        if (!to_double(element, value)) return false;
        values.push_back(value);
        return true;
      });
}

bool to_bool_buffer(PyObject* sequence, textgrid::Buffer<bool>& values) {
  // Any byte but 0 is true, as the element's own truth value says.
  if (copied_from_array(sequence, "?", [&](const Py_buffer& view) {
        values.reserve(values.size() + static_cast<std::size_t>(view.shape[0]));
        for_each_in_view<unsigned char>(view,
                                        [&](unsigned char byte) { values.push_back(byte != 0); });
      }))
    return true;
  return for_each_element(
      sequence, [&](std::size_t count) { values.reserve(count); },
      [&](PyObject* element) {
        bool value = false;
        if (!to_bool(element, value)) return false;
        values.push_back(value);
        return true;
      });
}

bool to_tier_data_list(PyObject* sequence, std::vector<textgrid::TierData>& tiers) {
  return for_each_element(
      sequence, [&](std::size_t count) { tiers.reserve(count); },
      [&](PyObject* element) { return to_tier_data(element, tiers.emplace_back()); });
}

void add_argument_context(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  // Subclasses of TypeError, like every other exception, pass unchanged.
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyRef owned_type = PyRef::steal(type);
  PyRef cause = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  if (owned_traceback) PyException_SetTraceback(cause.get(), owned_traceback.get());
  PyRef text = PyRef::steal(PyObject_Str(cause.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace tavrel
