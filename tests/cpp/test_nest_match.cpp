// The earliest containing span, both ways (forward walk and sweep), against a
// brute-force search on random spans: ties, points, gaps, nesting, NaN.
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "check.hpp"
#include "textgrid/reading/reader.hpp"
#include "textgrid/tables/nest_match.hpp"

using namespace textgrid;

namespace {

std::size_t brute_force(const std::vector<Span>& parents, Span query) {
  for (std::size_t i = 0; i < parents.size(); ++i)
    if (parents[i].tmin <= query.tmin && query.tmax <= parents[i].tmax) return i;
  return no_parent;
}

std::vector<Span> random_spans(std::mt19937& rng, std::size_t count, bool forward) {
  std::uniform_int_distribution<int> time(0, 12);
  std::vector<Span> spans;
  double at = 0;
  for (std::size_t k = 0; k < count; ++k) {
    if (forward) {  // tiled, with gaps and points, as a valid tier is
      double start = at + (time(rng) % 3 == 0 ? 1 : 0);
      double end = start + time(rng) % 3;
      spans.push_back({start, end});
      at = end;
    } else {
      double a = time(rng), b = time(rng);
      spans.push_back({std::fmin(a, b), std::fmax(a, b)});
    }
  }
  if (!forward && count > 0 && time(rng) == 0) spans[0].tmax = NAN;
  // A NaN anywhere, at either end (a null time arrives as NaN): sorting by
  // start must not let it scramble the order of the other spans.
  for (Span& span : spans)
    if (time(rng) == 0) (time(rng) % 2 ? span.tmin : span.tmax) = NAN;
  return spans;
}

}  // namespace

TEST(earliest_containing_equals_brute_force) {
  const unsigned seed = std::random_device{}();
  std::printf("nest match seed: %u\n", seed);
  std::mt19937 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    const bool forward_parents = round % 2 == 0;
    std::vector<Span> parents = random_spans(rng, rng() % 9, forward_parents);
    std::vector<Span> queries = random_spans(rng, rng() % 12, round % 3 == 0);
    std::vector<std::size_t> found;
    earliest_containing(parents, queries, found);
    CHECK_EQ(found.size(), queries.size());
    for (std::size_t q = 0; q < queries.size(); ++q)
      if (found[q] != brute_force(parents, queries[q])) {
        check::report(__FILE__, __LINE__, "seed " + std::to_string(seed) + " round " +
                                              std::to_string(round));
        return;
      }
  }
}

// Parents out of time order, so that the sweep runs; a NaN child among
// others it once scrambled joined [0.1, 0.3] to [0.15, 1.0].
TEST(earliest_containing_with_a_nan_child_and_unordered_parents) {
  const std::vector<Span> parents = {{0.15, 1.0}, {0.0, 0.2}, {0.0, 0.5}, {0.1, 0.3}};
  const std::vector<Span> queries = {{0.2, 0.4}, {NAN, 0.3}, {0.1, 0.3}, {0.0, NAN},
                                     {0.1, 0.2}, {0.6, 0.9}, {NAN, NAN}, {0.0, 0.1}};
  std::vector<std::size_t> found;
  earliest_containing(parents, queries, found);
  const std::vector<std::size_t> expected = {0, no_parent, 2, no_parent, 1, 0, no_parent, 1};
  CHECK(found == expected);
}

TEST(reading_bytes_is_reading_the_file) {
  const std::string path = std::string(TAVREL_TESTS_DIR) + "/data/example_long_utf16le.TextGrid";
  SourceInfo from_file, from_bytes;
  Result<TextGrid> file = read_from_file(path, ReadOptions{}, &from_file);
  Result<std::string> bytes = [&]() -> Result<std::string> {
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    std::string all;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, stream)) > 0;)
      all.append(chunk, got);
    std::fclose(stream);
    return all;
  }();
  Result<TextGrid> memory = read_from_bytes(*bytes, file_stem(path), ReadOptions{}, &from_bytes);
  CHECK(file.has_value() && memory.has_value());
  CHECK(*file == *memory);
  CHECK_EQ(from_file.encoding, from_bytes.encoding);
  CHECK_EQ(from_file.layout, from_bytes.layout);
  CHECK_EQ(std::string(from_bytes.encoding), std::string("utf-16-le"));
  CHECK(!encoding_from_word("latin1") && encoding_from_word("utf-8") == TextEncoding::utf8);
  CHECK(encoding_from_word("praat") == TextEncoding::praat);
}
