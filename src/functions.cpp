// Bodies of the six module functions: bind and convert every argument (with
// the interpreter lock), run the core work through run_interruptibly (without
// it, answering Ctrl-C), then build the Python result (with it again). The
// batch readers stream instead: they build each file's objects while the pool
// parses the files after it.
#include "functions.hpp"

#include <array>
#include <chrono>
#include <memory>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "binding.hpp"
#include "contents.hpp"
#include "convert.hpp"
#include "failures.hpp"
#include "interrupt.hpp"
#include "results.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/concurrency/streaming.hpp"
#include "textgrid/model/textgrid.hpp"
#include "textgrid/writing/safe_save.hpp"

namespace tavrel {
namespace {

// The reading functions: three positional parameters and a keyword-only encoding.
using ReadBound = std::array<PyObject*, 4>;

constexpr const char* read_parameters[] = {"file", "strict", "file_type", "encoding"};
constexpr const char* batch_parameters[] = {"files", "strict", "file_type", "encoding"};
constexpr const char* data_write_parameters[] = {"data", "tmin", "tmax", "output_file",
                                                 "file_type"};
constexpr const char* vector_write_parameters[] = {
    "tmins", "tmaxs", "labels", "tier_names", "is_intervals", "tmin", "tmax", "output_file",
    "file_type"};

// Name of every TextGrid built from Python values.
constexpr const char* built_document_name = "TextGrid";

// Converted arguments own their values: the core work may outlive the call
// when it is interrupted.
struct ReadArguments {
  PathArgument file;
  textgrid::ReadOptions options;
};

struct BatchArguments {
  std::vector<std::string> files;
  textgrid::ReadOptions options;
};

template <std::size_t N>
bool bind(const char* function, const char* const (&parameters)[N], const CallArguments& call,
          std::array<PyObject*, N>& bound) {
  return bind_arguments(all_required(function, parameters), call.args, call.nargs, call.kwnames, bound);
}

// Three parameters required and positional; `encoding` by keyword only.
bool bind_reading(const char* function, const char* const (&parameters)[4], const CallArguments& call,
                  ReadBound& bound) {
  return bind_call(Signature{function, parameters, 3, 3}, call, bound);
}

// Not given: UTF-8, as always.
bool convert_encoding(PyObject* object, textgrid::TextEncoding& encoding) {
  return object == nullptr || convert_argument("encoding", object, encoding, to_encoding);
}

bool convert_read_arguments(const ReadBound& bound, ReadArguments& read) {
  return convert_argument("file", bound[0], read.file, to_path) &&
         convert_argument("strict", bound[1], read.options.strict, to_bool) &&
         convert_argument("file_type", bound[2], read.options.file_type, to_reading_file_type) &&
         convert_encoding(bound[3], read.options.encoding);
}

bool convert_batch_arguments(const ReadBound& bound, BatchArguments& batch) {
  // A batch without paths reads nothing: its word must be text, but an unknown
  // word has no file to fail on.
  auto file_type = [&](PyObject* object, textgrid::FileType& type) {
    std::string_view word;
    return batch.files.empty() ? to_text(object, word) : to_reading_file_type(object, type);
  };
  return convert_argument("files", bound[0], batch.files, to_path_list) &&
         convert_argument("strict", bound[1], batch.options.strict, to_bool) &&
         convert_argument("file_type", bound[2], batch.options.file_type, file_type) &&
         convert_encoding(bound[3], batch.options.encoding);
}

std::optional<ReadArguments> read_arguments(const char* function, const CallArguments& call) {
  ReadBound bound;
  ReadArguments read;
  if (!bind_reading(function, read_parameters, call, bound) || !convert_read_arguments(bound, read))
    return std::nullopt;
  return read;
}

// Reads the file off the calling thread and exports it with `to_result`; nothing
// (with OSError or the signal handler's exception set) when that fails.
template <class Export>
auto read_document(const char* function, const CallArguments& call, Export to_result)
    -> std::optional<decltype(to_result(std::declval<textgrid::TextGrid&>()))> {
  using Exported = decltype(to_result(std::declval<textgrid::TextGrid&>()));
  std::optional<ReadArguments> read = read_arguments(function, call);
  if (!read) return std::nullopt;
  auto quick = [path = read->file.encoded] { return textgrid::quick_to_read(path); };
  auto outcome = run_interruptibly_for(
      [file = std::move(read->file.encoded), options = read->options,
       to_result]() -> textgrid::Result<Exported> {
        textgrid::Result<textgrid::TextGrid> grid = textgrid::read_from_file(file, options);
        if (!grid) return std::unexpected(std::move(grid.error()));
        return to_result(*grid);
      },
      quick);
  if (!outcome) return std::nullopt;
  if (!*outcome) {
    raise_read_error(read->file.shown.get(), outcome->error());
    return std::nullopt;
  }
  return std::move(**outcome);
}

std::optional<BatchArguments> batch_arguments(const char* function, const CallArguments& call) {
  ReadBound bound;
  BatchArguments batch;
  if (!bind_reading(function, batch_parameters, call, bound) ||
      !convert_batch_arguments(bound, batch))
    return std::nullopt;
  return batch;
}

using SharedBatch = std::shared_ptr<const BatchArguments>;

// The batch's files as a stream of flat documents. The parsing
// shares the arguments: abandoned parsing may outlive the call.
using FlatStream = textgrid::DocumentStream<textgrid::FlatDocument>;

FlatStream batch_stream(const SharedBatch& batch) {
  return FlatStream(
      batch->files.size(),
      [batch](std::size_t k) {
        return textgrid::read_flat_entry(batch->files[k], batch->options);
      },
      textgrid::pool_thread_count());
}

// While file `k` is being parsed elsewhere, parses the files after it that no
// thread has taken yet (those quick to read), rather than wait idle. Called
// without the interpreter lock.
void parse_ahead_until_done(FlatStream& stream, std::size_t k,
                            const std::vector<std::string>& files) {
  while (!stream.wait_done(k, std::chrono::milliseconds(0))) {
    std::size_t ahead = stream.first_untaken();
    if (ahead >= files.size() || !textgrid::quick_to_read(files[ahead])) return;
    if (stream.claim_exactly(ahead)) stream.state()->parse_into_slot(ahead);
  }
}

// The same for the untaken files that are not quick to read (large ones): each
// is parsed on a helper while this thread waits answering signals, so that the
// stream keeps its number of threads at work. Called with the interpreter
// lock; false, with the Python exception set, when a signal handler raised.
bool parse_large_ahead_until_done(FlatStream& stream, std::size_t k, std::size_t files) {
  const auto& state = stream.state();
  while (!stream.wait_done(k, std::chrono::milliseconds(0))) {
    std::size_t ahead = stream.first_untaken();
    if (ahead >= files) return true;
    if (stream.claim_exactly(ahead) &&
        !run_interruptibly([state, ahead] { state->parse_into_slot(ahead); }))
      return false;
  }
  return true;
}

// Makes file `k` of the stream ready to take: parsed here when no pool thread
// has taken it (off this thread when it might take long), else waited for.
// False, with the Python exception set, when a signal handler raised.
bool make_ready(FlatStream& stream, std::size_t k,
                const std::vector<std::string>& files) {
  const auto& state = stream.state();
  PyThreadState* released = PyEval_SaveThread();
  const bool mine = stream.claim_if_untaken(k);
  const bool here = mine && textgrid::quick_to_read(files[k]);
  if (here) state->parse_into_slot(k);
  if (!mine) parse_ahead_until_done(stream, k, files);
  const bool done = here || (!mine && stream.wait_done(k, std::chrono::milliseconds(0)));
  PyEval_RestoreThread(released);
  // Between files, so that a call whose files are all parsed here still answers.
  if (done) return PyErr_CheckSignals() == 0;
  if (mine) return run_interruptibly([state, k] { state->parse_into_slot(k); });
  if (!parse_large_ahead_until_done(stream, k, files.size())) return false;
  return wait_answering_signals(
      [&](std::chrono::milliseconds timeout) { return stream.wait_done(k, timeout); });
}

// Hands the stream's documents to `consume(document, k)` in input order while
// the pool parses the files after them. False, with the Python exception set,
// when `consume` failed or a signal handler raised; the stream then stops, as
// it does when a file's internal failure is rethrown here.
template <class Consume>
bool read_streamed(const SharedBatch& batch, Consume consume) {
  FlatStream stream = batch_stream(batch);
  for (std::size_t k = 0; k < stream.size(); ++k) {
    if (!make_ready(stream, k, batch->files)) return false;
    if (!consume(stream.take(k), k)) return false;
  }
  return true;
}

PyRef textgrid2data_body(const CallArguments& call) {
  std::optional<textgrid::FlatDocument> document = read_document(
      "textgrid2data", call, [](textgrid::TextGrid& grid) { return textgrid::to_flat(grid); });
  if (!document) return {};
  return document_to_python(std::move(*document));
}

PyRef textgrids2data_body(const CallArguments& call) {
  std::optional<BatchArguments> batch = batch_arguments("textgrids2data", call);
  if (!batch) return {};
  auto shared = std::make_shared<const BatchArguments>(std::move(*batch));
  DocumentListBuilder built(shared->files.size());
  bool complete = read_streamed(
      shared, [&](textgrid::FlatDocument&& document, std::size_t) {
        return built.add(std::move(document));
      });
  return complete ? built.finish() : PyRef();
}

PyRef textgrid2vectors_body(const CallArguments& call) {
  std::optional<textgrid::FlatDocument> document = read_document(
      "textgrid2vectors", call, [](textgrid::TextGrid& grid) { return textgrid::to_flat(grid); });
  if (!document) return {};
  return vectors_to_python(std::move(*document));
}

PyRef textgrids2vectors_body(const CallArguments& call) {
  std::optional<BatchArguments> batch = batch_arguments("textgrids2vectors", call);
  if (!batch) return {};
  auto shared = std::make_shared<const BatchArguments>(std::move(*batch));
  VectorColumnsBuilder built;
  bool complete = read_streamed(shared, [&](textgrid::FlatDocument&& document, std::size_t k) {
    return built.add(std::move(document), static_cast<std::uint32_t>(k));
  });
  return complete ? built.finish() : PyRef();
}

// Builds (validating) and saves `items` items off the calling thread (on it,
// without the lock, when the save is quick), then raises the creation error if
// building failed; None on success.
template <class Build>
PyRef build_and_save(Build build, std::size_t items, PathArgument&& output_file,
                     textgrid::FileType layout) {
  auto quick = [path = output_file.encoded, items] { return textgrid::quick_to_save(path, items); };
  auto outcome = run_interruptibly_for(
      [build = std::move(build), path = std::move(output_file.encoded),
       long_format = layout == textgrid::FileType::long_text]() mutable -> textgrid::Status {
        textgrid::Result<textgrid::TextGrid> grid = build();
        if (!grid) return std::unexpected(std::move(grid.error()));
        grid->save_textgrid(path, long_format);
        return {};
      },
      quick);
  if (!outcome) return {};
  if (!*outcome) {
    raise_create_error(outcome->error());
    return {};
  }
  return PyRef::borrow(Py_None);
}

PyRef data2textgrid_body(const CallArguments& call) {
  std::array<PyObject*, 5> bound;
  if (!bind("data2textgrid", data_write_parameters, call, bound)) return {};
  std::vector<textgrid::TierData> tiers;
  std::optional<double> tmin;
  std::optional<double> tmax;
  PathArgument output_file;
  textgrid::FileType layout = textgrid::FileType::long_text;
  if (!convert_argument("data", bound[0], tiers, to_tier_data_list) ||
      !convert_argument("tmin", bound[1], tmin, to_optional_double) ||
      !convert_argument("tmax", bound[2], tmax, to_optional_double) ||
      !convert_argument("output_file", bound[3], output_file, to_path) ||
      !convert_argument("file_type", bound[4], layout, to_single_file_layout))
    return {};
  std::size_t items = 0;
  for (const textgrid::TierData& tier : tiers) items += tier.items.size();
  return build_and_save(
      [tiers = std::move(tiers), tmin, tmax]() mutable {
        return textgrid::TextGrid::from_data(std::move(tiers), built_document_name, tmin, tmax);
      },
      items, std::move(output_file), layout);
}

PyRef vectors2textgrid_body(const CallArguments& call) {
  std::array<PyObject*, 9> bound;
  if (!bind("vectors2textgrid", vector_write_parameters, call, bound)) return {};
  textgrid::Vectors vectors;
  std::optional<double> tmin;
  std::optional<double> tmax;
  PathArgument output_file;
  textgrid::FileType layout = textgrid::FileType::long_text;
  if (!convert_argument("tmins", bound[0], vectors.tmins, to_double_buffer) ||
      !convert_argument("tmaxs", bound[1], vectors.tmaxs, to_double_buffer) ||
      !convert_argument("labels", bound[2], vectors.labels, to_text_list) ||
      !convert_argument("tier_names", bound[3], vectors.tier_names, to_text_list) ||
      !convert_argument("is_intervals", bound[4], vectors.is_intervals, to_bool_buffer) ||
      !convert_argument("tmin", bound[5], tmin, to_optional_double) ||
      !convert_argument("tmax", bound[6], tmax, to_optional_double) ||
      !convert_argument("output_file", bound[7], output_file, to_path) ||
      !convert_argument("file_type", bound[8], layout, to_single_file_layout))
    return {};
  const std::size_t items = vectors.tmins.size();
  return build_and_save(
      [vectors = std::move(vectors), tmin, tmax]() mutable {
        return textgrid::TextGrid::from_vectors(std::move(vectors), tmin, tmax, built_document_name);
      },
      items, std::move(output_file), layout);
}

}  // namespace

PyObject* textgrid2vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return textgrid2vectors_body({args, nargs, kwnames}); });
}

PyObject* textgrids2vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded_call([&] { return textgrids2vectors_body({args, nargs, kwnames}); });
}

PyObject* textgrid2data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return textgrid2data_body({args, nargs, kwnames}); });
}

PyObject* textgrids2data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return textgrids2data_body({args, nargs, kwnames}); });
}

PyObject* data2textgrid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return data2textgrid_body({args, nargs, kwnames}); });
}

PyObject* vectors2textgrid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return vectors2textgrid_body({args, nargs, kwnames}); });
}

}  // namespace tavrel
