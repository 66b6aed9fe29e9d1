#pragma once
// The table types: the Arrow PyCapsule interface over core tables.
#include "pyref.hpp"

#include <memory>

#include "textgrid/tables/arrow.hpp"
#include "textgrid/tables/corpus.hpp"

namespace tavrel {

// A new TextGridTable of the rows, whose `reports` attribute holds the reports.
PyRef new_textgrid_table(textgrid::CorpusTable&& corpus);
// A new TextGridReports object.
PyRef new_reports(textgrid::BatchReports&& reports);
// A table of computed rows (nest's result): no files, no reports.
PyRef new_computed_table(std::shared_ptr<const textgrid::arrow::Table> table);

// Takes over the stream behind any object with __arrow_c_stream__ (or the
// one record batch of an object with only __arrow_c_array__); false with a
// Python error naming `parameter` set when it has neither or gives
// something else than the capsules the interface names.
bool import_stream(PyObject* object, const char* parameter, ArrowArrayStream& stream);

// Readies the table types and adds them to the module (beside, not in, its __all__).
bool add_table_types(PyObject* module);

}  // namespace tavrel
