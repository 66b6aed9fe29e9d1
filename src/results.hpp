#pragma once
// Python results built bottom-up from the core's values: exact tuples, lists
// allocated at their final length, floats, bools and str from UTF-8.
#include "pyref.hpp"

#include <string>
#include <vector>

#include "textgrid/textgrid.hpp"

namespace tavrel {

// (tmin, tmax, [(name, is_interval, [(tmin, tmax, label)])]); the document is
// consumed tier by tier so that its memory goes as the Python objects grow.
PyRef document_to_python(textgrid::TextGridData&& document);
// A list of documents, each as above.
PyRef documents_to_python(std::vector<textgrid::TextGridData>&& documents);
// A list with one new str per text.
PyRef str_list_to_python(const std::vector<std::string>& texts);

}  // namespace tavrel
