#pragma once
// Reading a batch of files as a stream: pool threads parse files in input
// order while the consumer (the Python layer, building its objects) takes the
// documents one by one, also in order. A window bounds how far the parsing may
// run ahead of the consumer, so that only a few documents are held at a time.
// The consumer is one of the threads doing the work: when the file it needs
// next has not been taken by any pool thread, it parses that file itself.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "textgrid/concurrency/cancel.hpp"
#include "textgrid/model/flat_document.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/model/textgrid.hpp"

namespace textgrid {

// Which files are taken, which are done, and how far ahead parsing may go.
// Thread-safe; shared by the consumer and the pool threads. A pool thread
// never waits here: when the window is full it leaves (so that the pool stays
// free for other work, such as a map nested in the consumer's own parsing),
// and the consumer starts helpers again once the window has half drained.
class StreamSchedule {
 public:
  // `helpers` is how many pool threads should parse at a time.
  StreamSchedule(std::size_t files, std::size_t window, std::size_t helpers);

  // How many helpers the caller should start now (counted as started).
  std::size_t helpers_to_start();
  // Helpers counted as started that the pool did not take.
  void helpers_not_started(std::size_t count);
  // For a helper: the next file to parse, or `files` when it should leave
  // (nothing left to take, the window is full, or the stream has stopped).
  std::size_t claim_next();
  // For the consumer: claims file `k` when no thread has taken it yet (every
  // file before it has been taken by then); true when the caller must parse it.
  bool claim_if_untaken(std::size_t k);
  // For the consumer, rather than wait for a file a helper is parsing: the
  // first untaken file if it is within the window, else `files`; then claims
  // it when it is still the first untaken one (true when claimed).
  std::size_t first_untaken();
  bool claim_exactly(std::size_t k);
  // File `k` is parsed; its document holds about `bytes` of memory.
  void mark_done(std::size_t k, std::size_t bytes = 0);
  // Waits at most `timeout` for file `k` to be done; true when it is. A zero
  // timeout only looks, without taking the lock.
  bool wait_done(std::size_t k, std::chrono::milliseconds timeout);
  // The consumer has taken file `k`: parsing may move one file further.
  void mark_consumed(std::size_t k);
  // No further file is taken; helpers leave.
  void stop();

 private:
  std::size_t helpers_to_start_locked();
  bool window_full_locked() const;

  std::mutex mutex_;
  std::condition_variable file_done_;
  std::size_t files_;
  std::size_t window_;
  std::size_t helpers_wanted_;
  std::size_t helpers_active_ = 0;
  std::size_t next_ = 0;
  std::size_t consumed_ = 0;
  std::size_t bytes_ahead_ = 0;  // held by documents done but not yet consumed
  bool stopped_ = false;
  std::unique_ptr<std::atomic<bool>[]> done_;
  std::vector<std::size_t> bytes_;
};

// Files the consumer parses on its own thread without ever being held up for
// long: a regular file small enough to parse in a few milliseconds. Anything
// else (a FIFO, a device, a large file) should be parsed where the consumer
// can keep answering the user meanwhile.
bool quick_to_read(std::string_view path);
// The size up to which a file (or bytes in memory) counts as quick to read.
inline constexpr std::size_t quick_read_bytes = std::size_t{1} << 20;

// How many files may be parsed ahead of the consumer with `threads` threads.
std::size_t stream_window(std::size_t threads);
// Pool threads take no further file while the documents parsed ahead hold
// this much memory (as their `footprint()` tells), so that large files do not
// pile up.
inline constexpr std::size_t stream_bytes_ahead = std::size_t{64} << 20;

// The state of one stream, owned jointly by the consumer and the pool threads
// (abandoned pool work keeps it alive until it finishes).
template <class Document>
struct StreamState {
  // Pending, parsed, or the internal failure its parse threw.
  using Slot = std::variant<std::monostate, Document, std::exception_ptr>;

  StreamState(std::size_t files, std::function<Document(std::size_t)> parse, std::size_t window,
              std::size_t helpers)
      : parse_one(std::move(parse)), schedule(files, window, helpers), slots(files) {}

  // Parses file `k` into its slot; an exception becomes the slot's value.
  void parse_into_slot(std::size_t k) {
    PoolParticipation participating;  // whichever thread parses, it is one of the stream's threads
    std::size_t bytes = 0;
    try {
      Document parsed = parse_one(k);
      if constexpr (requires { parsed.footprint(); }) bytes = parsed.footprint();
      slots[k] = std::move(parsed);
    } catch (...) {
      slots[k] = std::current_exception();
    }
    schedule.mark_done(k, bytes);
  }

  std::function<Document(std::size_t)> parse_one;
  StreamSchedule schedule;
  std::vector<Slot> slots;  // slot k is written by the one thread that claimed file k
  SharedCancelToken token = std::make_shared<CancelToken>();
};

// Hands `count` runs of `parse_in_order` to the pool; returns how many it took.
std::size_t start_stream_helpers(std::size_t count,
                                 const std::shared_ptr<std::function<void()>>& parse_in_order,
                                 const SharedCancelToken& token);

// The consumer's side of a stream of documents, one per file.
template <class Document>
class DocumentStream {
 public:
  using State = StreamState<Document>;

  // `parse(k)` reads file k (error values already turned into documents);
  // `threads` is the number of threads doing the work, the consumer included.
  DocumentStream(std::size_t files, std::function<Document(std::size_t)> parse, std::size_t threads)
      : state_(std::make_shared<State>(files, std::move(parse), stream_window(threads),
                                       files > 1 && threads > 1 ? threads - 1 : 0)),
        parse_in_order_(std::make_shared<std::function<void()>>([shared = state_] {
          for (std::size_t k; (k = shared->schedule.claim_next()) < shared->slots.size();)
            shared->parse_into_slot(k);
        })) {
    start_helpers();
  }
  DocumentStream(const DocumentStream&) = delete;
  DocumentStream& operator=(const DocumentStream&) = delete;
  // Whatever is left unconsumed is no longer wanted.
  ~DocumentStream() { stop(); }

  std::size_t size() const { return state_->slots.size(); }
  const std::shared_ptr<State>& state() const { return state_; }

  bool claim_if_untaken(std::size_t k) { return state_->schedule.claim_if_untaken(k); }
  std::size_t first_untaken() { return state_->schedule.first_untaken(); }
  bool claim_exactly(std::size_t k) { return state_->schedule.claim_exactly(k); }
  bool wait_done(std::size_t k, std::chrono::milliseconds timeout) {
    return state_->schedule.wait_done(k, timeout);
  }

  // The document of file `k`, which must be done. Its failure stops the
  // stream (no later file matters any more) and is rethrown.
  Document take(std::size_t k) {
    typename State::Slot slot = std::exchange(state_->slots[k], std::monostate{});
    if (auto* failure = std::get_if<std::exception_ptr>(&slot)) {
      stop();
      std::rethrow_exception(*failure);
    }
    state_->schedule.mark_consumed(k);
    start_helpers();
    return std::get<Document>(std::move(slot));
  }

  void stop() {
    state_->token->cancel();
    state_->schedule.stop();
  }

 private:
  void start_helpers() {
    if (std::size_t count = state_->schedule.helpers_to_start()) {
      std::size_t taken = start_stream_helpers(count, parse_in_order_, state_->token);
      state_->schedule.helpers_not_started(count - taken);
    }
  }

  std::shared_ptr<State> state_;
  std::shared_ptr<std::function<void()>> parse_in_order_;
};

// Parses one file of a batch the way the batch functions do: the document, or
// an empty one when reading returns an error value.
FlatDocument read_flat_entry(const std::string& path, const ReadOptions& options);

}  // namespace textgrid
