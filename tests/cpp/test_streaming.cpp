// Streamed batch reading: order, the window, failures, stopping, and the
// consumer's own parsing when it nests a map on the pool.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "textgrid/concurrency/parallel.hpp"
#include "textgrid/concurrency/streaming.hpp"

using namespace textgrid;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Counts files parsed but not yet taken, and the most there ever were.
struct AheadCounter {
  std::atomic<long> parsed{0};
  std::atomic<long> taken{0};
  std::atomic<long> most_ahead{0};

  void on_parsed() {
    long ahead = ++parsed - taken.load();
    long seen = most_ahead.load();
    while (ahead > seen && !most_ahead.compare_exchange_weak(seen, ahead)) {
    }
  }
};

// The consumer's loop as the batch functions run it, minus Python: parse the
// file here when nobody took it, else wait for it.
template <class Document, class Consume>
void consume_all(DocumentStream<Document>& stream, Consume consume) {
  for (std::size_t k = 0; k < stream.size(); ++k) {
    if (stream.claim_if_untaken(k))
      stream.state()->parse_into_slot(k);
    else
      while (!stream.wait_done(k, 10ms)) {
      }
    consume(stream.take(k), k);
  }
}

// A document that shows which file it came from.
std::size_t document_of(std::size_t k) { return k * k + 3; }

}  // namespace

TEST(documents_arrive_in_order_and_parsing_stays_within_the_window) {
  struct Case {
    std::size_t files, threads;
  };
  for (Case c : {Case{0, 2}, Case{1, 2}, Case{2, 2}, Case{5, 1}, Case{300, 2}, Case{1000, 4}}) {
    AheadCounter counter;
    DocumentStream<std::size_t> stream(
        c.files,
        [&](std::size_t k) {
          // Slow files now and then, so that helpers and consumer overtake each other.
          if (k % 97 == 0) std::this_thread::sleep_for(1ms);
          counter.on_parsed();
          return document_of(k);
        },
        c.threads);
    std::vector<std::size_t> seen;
    consume_all(stream, [&](std::size_t document, std::size_t) {
      ++counter.taken;
      seen.push_back(document);
    });
    std::vector<std::size_t> expected(c.files);
    for (std::size_t k = 0; k < c.files; ++k) expected[k] = document_of(k);
    CHECK(seen == expected);
    CHECK(counter.most_ahead.load() <= static_cast<long>(stream_window(c.threads)) + 1);
  }
}

TEST(the_earliest_failure_is_rethrown_even_when_a_later_one_came_first) {
  for (std::size_t threads : {1, 2, 3}) {
    DocumentStream<std::size_t> stream(
        200,
        [](std::size_t k) -> std::size_t {
          if (k == 150) throw std::runtime_error("late");
          if (k == 9) {
            std::this_thread::sleep_for(20ms);
            throw std::runtime_error("early");
          }
          return document_of(k);
        },
        threads);
    std::size_t consumed = 0;
    std::string message;
    try {
      consume_all(stream, [&](std::size_t document, std::size_t k) {
        CHECK_EQ(document, document_of(k));
        ++consumed;
      });
    } catch (const std::runtime_error& error) {
      message = error.what();
    }
    CHECK_EQ(message, std::string("early"));
    CHECK_EQ(consumed, std::size_t{9});
  }
}

TEST(a_stopped_stream_takes_no_further_file_and_outlives_its_consumer) {
  auto parsed = std::make_shared<std::atomic<std::size_t>>(0);
  auto release = std::make_shared<std::atomic<bool>>(false);
  const std::size_t threads = 3, files = 10'000;
  {
    DocumentStream<std::string> stream(
        files,
        [parsed, release](std::size_t k) {
          // The helper on file 2 is still parsing long after the stream is gone.
          while (k == 2 && !release->load()) std::this_thread::sleep_for(1ms);
          ++*parsed;
          return std::string(100, 'x') + std::to_string(k);
        },
        threads);
    for (std::size_t k = 0; k < 2; ++k) {
      if (stream.claim_if_untaken(k)) stream.state()->parse_into_slot(k);
      while (!stream.wait_done(k, 10ms)) {
      }
      CHECK_EQ(stream.take(k), std::string(100, 'x') + std::to_string(k));
    }
  }
  std::this_thread::sleep_for(20ms);
  release->store(true);
  std::this_thread::sleep_for(50ms);
  // Two consumed, at most a window and the files in flight beyond them.
  CHECK(parsed->load() <= 2 + stream_window(threads) + threads);
}

TEST(consumers_whose_parsing_nests_a_map_never_wait_for_each_other) {
  // Every pool thread may be a helper of some stream while every consumer
  // parses a file that needs the pool itself.
  const std::size_t consumers = 2 * std::max<std::size_t>(pool_thread_count(), 2);
  std::atomic<std::size_t> finished{0};
  std::vector<std::thread> threads;
  for (std::size_t c = 0; c < consumers; ++c)
    threads.emplace_back([&] {
      DocumentStream<std::size_t> stream(
          120,
          [](std::size_t k) {
            auto parts = ordered_parallel_map(200, [k](std::size_t i) { return k + i; });
            return parts.back();
          },
          pool_thread_count());
      bool in_order = true;
      consume_all(stream, [&](std::size_t document, std::size_t k) { in_order &= document == k + 199; });
      if (in_order) ++finished;
    });
  for (std::thread& thread : threads) thread.join();
  CHECK_EQ(finished.load(), consumers);
}

TEST(only_small_regular_files_are_quick_to_read) {
  fs::path directory = fs::temp_directory_path() / ("streaming-" + std::to_string(::getpid()));
  fs::create_directories(directory);
  std::ofstream(directory / "small.TextGrid") << "File type";
  std::ofstream(directory / "big.TextGrid") << std::string(std::size_t{3} << 20, ' ');
  ::mkfifo((directory / "pipe").c_str(), 0600);
  struct Case {
    std::string path;
    bool quick;
  };
  for (const Case& c : {Case{(directory / "small.TextGrid").string(), true},
                        Case{(directory / "big.TextGrid").string(), false},
                        Case{(directory / "pipe").string(), false},
                        Case{directory.string(), false},
                        Case{(directory / "missing").string(), true},
                        Case{std::string("a\0b", 3), true}}) {
    if (quick_to_read(c.path) != c.quick) check::report(c.path.c_str(), __LINE__, "quick_to_read");
  }
  fs::remove_all(directory);
}

TEST(large_documents_are_parsed_ahead_only_up_to_the_byte_bound) {
  // Documents that say they hold a third of the bound: a consumer slower than
  // the helpers must find at most the bound's worth (plus the files in flight).
  struct Heavy {
    std::size_t k;
    std::size_t footprint() const { return stream_bytes_ahead / 3; }
  };
  const std::size_t threads = 3;
  AheadCounter counter;
  DocumentStream<Heavy> stream(
      40,
      [&](std::size_t k) {
        counter.on_parsed();
        return Heavy{k};
      },
      threads);
  std::vector<std::size_t> seen;
  consume_all(stream, [&](Heavy document, std::size_t) {
    std::this_thread::sleep_for(2ms);
    ++counter.taken;
    seen.push_back(document.k);
  });
  CHECK_EQ(seen.size(), std::size_t{40});
  CHECK(std::is_sorted(seen.begin(), seen.end()));
  CHECK(counter.most_ahead.load() <= static_cast<long>(3 + threads + 1));
  CHECK(counter.most_ahead.load() < static_cast<long>(stream_window(threads)));
}
