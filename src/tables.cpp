// The table types: each holds a share of a core table and hands it out
// through the Arrow PyCapsule interface, as often as asked, without copying.
#include "tables.hpp"

#include <array>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "docstrings.hpp"
#include "failures.hpp"
#include "table_columns.hpp"

namespace tavrel {
namespace {

constexpr const char* schema_capsule_name = "arrow_schema";
constexpr const char* stream_capsule_name = "arrow_array_stream";

struct TableObject {
  PyObject ob_base;  // what PyObject_HEAD declares
  std::shared_ptr<const textgrid::arrow::Table> table;
  std::size_t files;
  std::size_t failures;
  std::vector<textgrid::FailureNote> first_failures;
  PyObject* reports;  // the TextGridReports of a TextGridTable; null for reports themselves
  bool computed;      // rows computed from another table: no files behind them
  // Each file's tiers, when the reading call kept them (the command line's).
  std::vector<std::optional<std::vector<textgrid::TierSummary>>> tiers;
};

TableObject* as_table(PyObject* self) { return reinterpret_cast<TableObject*>(self); }

void table_dealloc(PyObject* self) {
  TableObject* object = as_table(self);
  Py_CLEAR(object->reports);
  object->first_failures.~vector();
  object->tiers.~vector();
  object->table.~shared_ptr();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// The consumer owns the struct once it has moved it out (release set to
// null); the capsule frees only what was never taken.
void schema_capsule_destructor(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, schema_capsule_name));
  if (schema == nullptr) {
    PyErr_Clear();
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

void stream_capsule_destructor(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, stream_capsule_name));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

template <class Struct>
PyRef capsule_of(std::unique_ptr<Struct> exported, const char* name,
                 PyCapsule_Destructor destructor) {
  PyRef capsule = PyRef::steal(PyCapsule_New(exported.get(), name, destructor));
  if (!capsule) {
    exported->release(exported.get());
    return {};
  }
  exported.release();
  return capsule;
}

PyObject* table_arrow_schema(PyObject* self, PyObject*) {
  return guarded_call([&] {
    auto schema = std::make_unique<ArrowSchema>();
    textgrid::arrow::export_schema(as_table(self)->table->schema, schema.get());
    return capsule_of(std::move(schema), schema_capsule_name, schema_capsule_destructor);
  });
}

// The requested schema is a wish the interface lets a producer pass over:
// the columns keep their own types, and consumers cast if they need to.
constexpr const char* stream_parameters[] = {"requested_schema"};
constexpr Signature stream_signature{"__arrow_c_stream__", stream_parameters, 0, 1};

PyObject* table_arrow_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  std::array<PyObject*, 1> requested;
  if (!bind_arguments(stream_signature, args, nargs, kwnames, requested)) return nullptr;
  return guarded_call([&] {
    auto stream = std::make_unique<ArrowArrayStream>();
    textgrid::arrow::export_stream(as_table(self)->table, stream.get());
    return capsule_of(std::move(stream), stream_capsule_name, stream_capsule_destructor);
  });
}

Py_ssize_t table_length(PyObject* self) {
  return static_cast<Py_ssize_t>(as_table(self)->table->num_rows());
}

PyObject* table_num_rows(PyObject* self, void*) { return PyLong_FromSsize_t(table_length(self)); }

PyObject* table_failures(PyObject* self, void*) {
  return PyLong_FromSize_t(as_table(self)->failures);
}

PyObject* table_reports(PyObject* self, void*) {
  PyObject* reports = as_table(self)->reports;
  if (reports == nullptr) Py_RETURN_NONE;
  Py_INCREF(reports);
  return reports;
}

std::string plural(std::size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

PyObject* table_repr(PyObject* self) {
  return guarded_call([&] {
    const TableObject& object = *as_table(self);
    std::string text = Py_TYPE(self)->tp_name;
    text += ": ";
    if (object.computed) text += plural(static_cast<std::size_t>(table_length(self)), "row");
    if (object.computed)
      return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                               "replace"));
    if (object.reports != nullptr)
      text += plural(static_cast<std::size_t>(table_length(self)), "row") + " from ";
    text += plural(object.files, "file") + ", " + plural(object.failures, "failure");
    for (const textgrid::FailureNote& note : object.first_failures)
      text += "\n  " + note.path + " [" + note.kind + "]: " + note.message;
    if (object.failures > object.first_failures.size())
      text += "\n  ... " + std::to_string(object.failures - object.first_failures.size()) +
              " more in the reports";
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  });
}

PyObject* table_columns_method(PyObject* self, PyObject*) {
  return guarded_call([&] { return table_columns(*as_table(self)->table); });
}

PyObject* table_tiers(PyObject* self, PyObject*) {
  return guarded_call([&] { return tier_summaries(as_table(self)->tiers); });
}

PyMethodDef table_methods[] = {
    {"_columns", table_columns_method, METH_NOARGS,
     "_columns()\n--\n\n{column name: list of values}, for the command line."},
    {"_tiers", table_tiers, METH_NOARGS,
     "_tiers()\n--\n\nPer file None (failed) or its tiers, when the reading kept them."},
    {"__arrow_c_schema__", table_arrow_schema, METH_NOARGS, docs::arrow_c_schema},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_arrow_stream)),
     METH_FASTCALL | METH_KEYWORDS, docs::arrow_c_stream},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"num_rows", table_num_rows, nullptr, "Number of rows.", nullptr},
    {"failures", table_failures, nullptr, "Number of files that failed.", nullptr},
    {"reports", table_reports, nullptr,
     "One row per input file (a TextGridReports); None on reports.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%.100s' instances", type->tp_name);
  return nullptr;
}

PyType_Slot table_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_sq_length, reinterpret_cast<void*>(table_length)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {Py_tp_doc, const_cast<char*>(docs::textgrid_table)},
    {0, nullptr},
};

PyType_Spec table_spec = {"tavrel.TextGridTable", sizeof(TableObject), 0, Py_TPFLAGS_DEFAULT,
                          table_slots};

PyTypeObject* textgrid_table_type = nullptr;
PyTypeObject* reports_type = nullptr;
PyTypeObject* computed_type = nullptr;

// Both types share their layout and behaviour; only name and docstring differ.
PyTypeObject* make_type(const char* name, const char* doc) {
  table_spec.name = name;
  table_slots[6].pfunc = const_cast<char*>(doc);
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&table_spec));
}

PyRef new_table_object(PyTypeObject* type, std::shared_ptr<const textgrid::arrow::Table> table,
                       textgrid::BatchReports&& reports) {
  PyRef created = PyRef::steal(type->tp_alloc(type, 0));
  if (!created) return {};
  TableObject* object = as_table(created.get());
  new (&object->table) std::shared_ptr<const textgrid::arrow::Table>(std::move(table));
  new (&object->first_failures)
      std::vector<textgrid::FailureNote>(std::move(reports.first_failures));
  object->files = reports.files;
  object->failures = reports.failures;
  new (&object->tiers) std::vector<std::optional<std::vector<textgrid::TierSummary>>>();
  object->reports = nullptr;
  object->computed = false;
  return created;
}

}  // namespace

PyRef new_reports(textgrid::BatchReports&& reports) {
  std::shared_ptr<const textgrid::arrow::Table> table = reports.table;
  return new_table_object(reports_type, std::move(table), std::move(reports));
}

PyRef new_textgrid_table(textgrid::CorpusTable&& corpus) {
  textgrid::BatchReports summary{nullptr, corpus.reports.files, corpus.reports.failures,
                                 corpus.reports.first_failures};
  PyRef reports = new_reports(std::move(corpus.reports));
  if (!reports) return {};
  PyRef table = new_table_object(textgrid_table_type, std::move(corpus.rows), std::move(summary));
  if (!table) return {};
  as_table(table.get())->reports = reports.release();
  as_table(table.get())->tiers = std::move(corpus.tiers);
  return table;
}

PyRef new_computed_table(std::shared_ptr<const textgrid::arrow::Table> table) {
  PyRef created = new_table_object(computed_type, std::move(table), textgrid::BatchReports{});
  if (created) as_table(created.get())->computed = true;
  return created;
}

bool add_table_types(PyObject* module) {
  textgrid_table_type = make_type("tavrel.TextGridTable", docs::textgrid_table);
  if (textgrid_table_type == nullptr) return false;
  reports_type = make_type("tavrel.TextGridReports", docs::textgrid_reports);
  if (reports_type == nullptr) return false;
  computed_type = make_type("tavrel.ArrowTable", docs::nested_table);
  if (computed_type == nullptr) return false;
  // The module attribute is one more reference; the static pointer keeps its own.
  if (PyObject_SetAttrString(module, "TextGridTable",
                             reinterpret_cast<PyObject*>(textgrid_table_type)) < 0 ||
      PyObject_SetAttrString(module, "TextGridReports", reinterpret_cast<PyObject*>(reports_type)) <
          0 ||
      PyObject_SetAttrString(module, "ArrowTable", reinterpret_cast<PyObject*>(computed_type)) < 0)
    return false;
  return true;
}

}  // namespace tavrel
