// Private functions for the command line. _convert_files rewrites files in
// another layout on the pool; the _output_* functions let Python code write a
// file of its own (a table) piece by piece through the same safe save as
// TextGrid files, with the same answers to Ctrl-C.
#include "cli_support.hpp"

#include <array>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "binding.hpp"
#include "contents.hpp"
#include "convert.hpp"
#include "failures.hpp"
#include "interrupt.hpp"
#include "textgrid/writing/convert_files.hpp"
#include "textgrid/writing/safe_save.hpp"

namespace tavrel {
namespace {

constexpr const char* output_capsule_name = "tavrel._output";

PyRef text_or_none(const std::optional<std::string>& text) {
  if (!text) return PyRef::borrow(Py_None);
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace"));
}

PyRef outcomes_to_python(const std::vector<textgrid::ConvertOutcome>& outcomes) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
  if (!list) return {};
  for (std::size_t k = 0; k < outcomes.size(); ++k) {
    PyRef entry = outcomes[k].error_kind ? PyRef::steal(PyTuple_Pack(
                                               2, text_or_none(outcomes[k].error_kind).get(),
                                               text_or_none(outcomes[k].error).get()))
                                         : PyRef::borrow(Py_None);
    if (!entry) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), entry.release());
  }
  return list;
}

// _convert_files(sources, targets, strict, long_format, contents=None,
// encoding="utf-8"): per file None when written, else (error_kind, error).
// `contents` gives the bytes of sources that are no local file (None entries:
// read the file; an exception: why the bytes could not be had).
constexpr const char* convert_parameters[] = {"sources", "targets",  "strict",
                                              "long_format", "contents", "encoding"};
constexpr Signature convert_signature{"_convert_files", convert_parameters, 4, 6};

PyRef convert_files_body(const CallArguments& call) {
  std::array<PyObject*, 6> bound;
  if (!bind_call(convert_signature, call, bound)) return {};
  PyObject *sources_object = bound[0], *targets_object = bound[1], *strict_object = bound[2];
  PyObject *long_object = bound[3], *contents_object = given_or(bound[4], Py_None);
  std::vector<std::string> sources, targets;
  bool strict = true, long_format = true;
  textgrid::TextEncoding encoding = textgrid::TextEncoding::utf8;
  if (!convert_argument("sources", sources_object, sources, to_path_list) ||
      !convert_argument("targets", targets_object, targets, to_path_list) ||
      !convert_argument("strict", strict_object, strict, to_bool) ||
      !convert_argument("long_format", long_object, long_format, to_bool) ||
      (bound[5] != nullptr && !convert_argument("encoding", bound[5], encoding, to_encoding)))
    return {};
  if (sources.size() != targets.size()) {
    PyErr_SetString(PyExc_ValueError, "sources and targets differ in length");
    return {};
  }
  SharedContents contents;
  if (contents_object != Py_None) {
    contents = hold_content_list(contents_object);
    if (!contents) return {};
    if (contents->size() != sources.size()) {
      PyErr_SetString(PyExc_ValueError, "sources and contents differ in length");
      return {};
    }
  }
  // The work holds a share of the contents: it may outlive an interrupted call.
  auto outcomes = run_interruptibly_for(
      [sources = std::move(sources), targets = std::move(targets), strict, long_format,
       contents, encoding] {
        if (!contents)
          return textgrid::convert_files(sources, targets, strict, long_format, {}, {}, encoding);
        return textgrid::convert_files(sources, targets, strict, long_format, contents->views(),
                                       contents->unavailable(), encoding);
      });
  if (!outcomes) return {};
  return outcomes_to_python(*outcomes);
}

// One output file in progress. The saver is shared with the work writing to
// it, which may outlive an interrupted call.
struct Output {
  std::shared_ptr<textgrid::FileSaver> saver;
  PyRef shown;  // the path as the caller gave it, for errors
  bool busy = false;
};

void output_capsule_destructor(PyObject* capsule) {
  delete static_cast<Output*>(PyCapsule_GetPointer(capsule, output_capsule_name));
  PyErr_Clear();  // a capsule of another name: nothing of ours
}

// OSError(errno, strerror, path) when the system said why, else OSError(message).
void raise_save_failure(const textgrid::SaveFailure& failure, PyObject* shown) {
  if (failure.os_code() != 0) {
    errno = failure.os_code();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, shown);
    return;
  }
  PyErr_SetString(PyExc_OSError, failure.what());
}

// Runs one step of the save without the interpreter lock; false with an
// exception set when it failed or a signal handler raised.
template <class Step>
bool run_save_step(PyObject* shown, Step step, const QuickCheck& is_quick) {
  try {
    return run_interruptibly(std::move(step), is_quick);
  } catch (const textgrid::SaveFailure& failure) {
    raise_save_failure(failure, shown);
    return false;
  }
}

// Opening waits only where the target is not a plain file (a FIFO's reader).
bool quick_to_open(const std::string& path) {
  std::error_code error;
  std::filesystem::file_status status = std::filesystem::status(path, error);
  return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

PyRef output_open_body(PyObject* path_object) {
  PathArgument path;
  if (!convert_argument("path", path_object, path, to_path)) return {};
  auto slot = std::make_shared<std::shared_ptr<textgrid::FileSaver>>();
  auto open = [slot, encoded = path.encoded] {
    *slot = std::make_shared<textgrid::FileSaver>(encoded);
  };
  if (!run_save_step(path.shown.get(), open,
                     [encoded = path.encoded] { return quick_to_open(encoded); }))
    return {};
  auto output = std::make_unique<Output>(Output{std::move(*slot), std::move(path.shown), false});
  PyRef capsule = PyRef::steal(PyCapsule_New(output.get(), output_capsule_name,
                                             output_capsule_destructor));
  if (capsule) output.release();
  return capsule;
}

// The output behind a capsule that is ready for another step; null with an
// exception set otherwise.
Output* ready_output(PyObject* capsule) {
  auto* output = static_cast<Output*>(PyCapsule_GetPointer(capsule, output_capsule_name));
  if (output == nullptr) return nullptr;
  if (output->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the output is being written by another thread");
    return nullptr;
  }
  if (!output->saver) {
    PyErr_SetString(PyExc_ValueError, "the output was already finished or discarded");
    return nullptr;
  }
  return output;
}

// Runs `step` on the output's saver; a failed or interrupted output is discarded.
template <class Step>
bool output_step(Output& output, Step step) {
  std::shared_ptr<textgrid::FileSaver> saver = output.saver;
  const bool quick = !saver->in_place();
  output.busy = true;
  bool done = run_save_step(
      output.shown.get(), [saver, step = std::move(step)]() mutable { step(*saver); },
      [quick] { return quick; });
  output.busy = false;
  if (!done) output.saver.reset();
  return done;
}

constexpr const char* write_parameters[] = {"output", "data"};

PyRef output_write_body(const CallArguments& call) {
  std::array<PyObject*, 2> bound;
  if (!bind_call(all_required("_output_write", write_parameters), call, bound)) return {};
  PyObject* capsule = bound[0];
  Py_buffer view;
  if (PyObject_GetBuffer(bound[1], &view, PyBUF_SIMPLE) < 0) return {};
  // The work owns its bytes: it may outlive an interrupted call.
  std::string piece(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  const Py_ssize_t length = view.len;
  PyBuffer_Release(&view);
  Output* output = ready_output(capsule);
  if (output == nullptr) return {};
  if (!output_step(*output, [piece = std::move(piece)](textgrid::FileSaver& saver) {
        saver.write(piece);
      }))
    return {};
  return PyRef::steal(PyLong_FromSsize_t(length));
}

PyRef output_finish_body(PyObject* capsule) {
  Output* output = ready_output(capsule);
  if (output == nullptr) return {};
  if (!output_step(*output, [](textgrid::FileSaver& saver) { saver.finish(); })) return {};
  output->saver.reset();
  return PyRef::borrow(Py_None);
}

PyRef output_discard_body(PyObject* capsule) {
  auto* output = static_cast<Output*>(PyCapsule_GetPointer(capsule, output_capsule_name));
  if (output == nullptr) return {};
  if (!output->busy) output->saver.reset();
  return PyRef::borrow(Py_None);
}

}  // namespace

PyObject* convert_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return convert_files_body({args, nargs, kwnames}); });
}
PyObject* output_open(PyObject*, PyObject* path) {
  return guarded_call([&] { return output_open_body(path); });
}
PyObject* output_write(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return output_write_body({args, nargs, kwnames}); });
}
PyObject* output_finish(PyObject*, PyObject* capsule) {
  return guarded_call([&] { return output_finish_body(capsule); });
}
PyObject* output_discard(PyObject*, PyObject* capsule) {
  return guarded_call([&] { return output_discard_body(capsule); });
}

}  // namespace tavrel
