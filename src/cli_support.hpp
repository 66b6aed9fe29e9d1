#pragma once
// Private functions for the command line (not part of the module's API):
// converting files document to document, and writing output files through
// the core's safe save.
#include "pyref.hpp"

namespace tavrel {

// Adds _convert_files and the _output_* functions to the module (not to __all__).
bool add_cli_support(PyObject* module, PyObject* module_name);

}  // namespace tavrel
