#include "failures.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "made_once.hpp"
#include "textgrid/platform/platform.hpp"

namespace tavrel {
namespace {

constexpr const char* panic_doc =
    "Raised when the native code of the tavrel module fails internally (for example an "
    "unknown file-type word, a structurally broken file or a file that cannot be written).\n\n"
    "It derives from BaseException, not Exception, so `except Exception` does not catch it.";

MadeOnce<PyObject> panic_type;

[[noreturn]] void abort_at_ffi_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

std::string current_thread_name() {
  std::string name = textgrid::platform::current_thread_name();
  return name.empty() ? "<unnamed>" : name;
}

// One report per failure, written as one piece so that it is not interleaved.
void report_on_stderr(std::string_view message, std::string_view location) {
  std::string report = "thread '" + current_thread_name() + "' failed internally at ";
  report.append(location);
  report += ":\n";
  report.append(message);
  report += '\n';
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
}

void raise_panic(std::string_view message, std::string_view location) noexcept {
  try {
    report_on_stderr(message, location);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    // A path in the message comes back as the caller's str (os.fsdecode's way).
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
  } catch (...) {
    abort_at_ffi_boundary();
  }
}

void raise_os_error(const std::string& message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  // A str (not a tuple) value makes OSError(message): one argument, errno None.
  if (text) PyErr_SetObject(PyExc_OSError, text.get());
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  return panic_type.get([] {
    return PyErr_NewExceptionWithDoc("tavrel.PanicException", panic_doc, PyExc_BaseException,
                                     nullptr);
  });
}

void raise_internal_failure(const textgrid::InternalFailure& failure) noexcept {
  try {
    const std::source_location& where = failure.where();
    std::string location = std::string(where.file_name()) + ":" + std::to_string(where.line()) +
                           ":" + std::to_string(where.column()) + " in " + where.function_name();
    raise_panic(failure.message(), location);
  } catch (...) {
    abort_at_ffi_boundary();
  }
}

void raise_unexpected_exception(const char* what) noexcept {
  raise_panic(what, "<unknown location>");
}

void raise_read_error(PyObject* shown_path, const textgrid::Error& error) {
  PyRef reason = PyRef::steal(PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!reason) return;
  PyRef text = PyRef::steal(
      PyUnicode_FromFormat("Failed to read TextGrid file %U because: %U", shown_path, reason.get()));
  if (text) PyErr_SetObject(PyExc_OSError, text.get());
}

void raise_create_error(const textgrid::Error& error) {
  raise_os_error("Failed to create TextGrid because: " + error.message);
}

}  // namespace tavrel
