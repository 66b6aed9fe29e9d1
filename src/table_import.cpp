// Taking over the Arrow streams that other libraries hand out through the
// PyCapsule interface. Capsules come from outside: their kind, name and state
// are checked before their pointer is used.
#include <string_view>

#include "made_once.hpp"
#include "tables.hpp"
#include "textgrid/tables/arrow_import.hpp"

namespace tavrel {
namespace {

constexpr const char* schema_capsule_name = "arrow_schema";
constexpr const char* array_capsule_name = "arrow_array";
constexpr const char* stream_capsule_name = "arrow_array_stream";

// The pointer of a capsule named `name` that `method` returned; null with a
// TypeError set for anything else.
void* capsule_pointer(PyObject* capsule, const char* name, const char* parameter,
                      const char* method) {
  if (!PyCapsule_CheckExact(capsule)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s() returned a '%.200s' object, not a capsule",
                 parameter, method, Py_TYPE(capsule)->tp_name);
    return nullptr;
  }
  const char* given = PyCapsule_GetName(capsule);
  if (given == nullptr && PyErr_Occurred()) return nullptr;
  if (given == nullptr || std::string_view(given) != name) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s() returned a capsule named '%.100s', not '%s'",
                 parameter, method, given == nullptr ? "" : given, name);
    return nullptr;
  }
  return PyCapsule_GetPointer(capsule, name);
}

[[gnu::cold]] bool refuse_consumed(const char* parameter, const char* what) {
  PyErr_Format(PyExc_ValueError, "argument '%s': the Arrow %s was already consumed", parameter,
               what);
  return false;
}

bool take_stream(PyObject* capsule, const char* parameter, ArrowArrayStream& stream) {
  auto* exported = static_cast<ArrowArrayStream*>(
      capsule_pointer(capsule, stream_capsule_name, parameter, "__arrow_c_stream__"));
  if (exported == nullptr) return false;
  if (exported->release == nullptr) return refuse_consumed(parameter, "stream");
  stream = *exported;
  exported->release = nullptr;  // moved: the capsule must not release it
  return true;
}

// A (schema, array) pair of capsules: one record batch, made a stream.
bool take_array(PyObject* pair, const char* parameter, ArrowArrayStream& stream) {
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': __arrow_c_array__() returned a '%.200s' object, not a pair of "
                 "capsules",
                 parameter, Py_TYPE(pair)->tp_name);
    return false;
  }
  auto* schema = static_cast<ArrowSchema*>(capsule_pointer(
      PyTuple_GET_ITEM(pair, 0), schema_capsule_name, parameter, "__arrow_c_array__"));
  if (schema == nullptr) return false;
  auto* array = static_cast<ArrowArray*>(capsule_pointer(
      PyTuple_GET_ITEM(pair, 1), array_capsule_name, parameter, "__arrow_c_array__"));
  if (array == nullptr) return false;
  if (schema->release == nullptr) return refuse_consumed(parameter, "schema");
  if (array->release == nullptr) return refuse_consumed(parameter, "array");
  textgrid::arrow::single_batch_stream(*schema, *array, stream);
  return true;
}

InternedName stream_method{"__arrow_c_stream__"};
InternedName array_method{"__arrow_c_array__"};

// The attribute, or null without an error when the object has none.
PyRef attribute_if_any(PyObject* object, InternedName& name, bool& failed) {
  PyRef attribute = attribute_of(object, name);
  failed = !attribute && !PyErr_ExceptionMatches(PyExc_AttributeError);
  if (!attribute && !failed) PyErr_Clear();
  return attribute;
}

}  // namespace

bool import_stream(PyObject* object, const char* parameter, ArrowArrayStream& stream) {
  bool failed = false;
  PyRef method = attribute_if_any(object, stream_method, failed);
  const bool streams = static_cast<bool>(method);
  if (!streams && !failed) method = attribute_if_any(object, array_method, failed);
  if (failed) return false;
  if (!method) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': '%.200s' object has no __arrow_c_stream__ method (nor "
                 "__arrow_c_array__): expected an Arrow table",
                 parameter, Py_TYPE(object)->tp_name);
    return false;
  }
  PyRef exported = PyRef::steal(PyObject_CallNoArgs(method.get()));
  if (!exported) return false;
  return streams ? take_stream(exported.get(), parameter, stream)
                 : take_array(exported.get(), parameter, stream);
}

}  // namespace tavrel
