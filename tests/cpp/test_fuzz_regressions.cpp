// Replays the fuzz corpus (seeds and inputs that once broke a property) through
// the same checks the fuzz targets make, so that every build - sanitized ones
// included - keeps them fixed without needing clang's fuzzing runtime.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../fuzz/fuzz_arrow.hpp"
#include "../fuzz/fuzz_checks.hpp"
#include "../fuzz/fuzz_files.hpp"
#include "../fuzz/fuzz_vectors.hpp"
#include "check.hpp"

namespace {

namespace fs = std::filesystem;

fs::path corpus_directory(const char* target) {
  return fs::path(TAVREL_TESTS_DIR) / "fuzz" / "corpus" / target;
}

std::vector<std::string> corpus_inputs(const char* target) {
  std::vector<std::string> inputs;
  for (const auto& entry : fs::directory_iterator(corpus_directory(target))) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return inputs;
}

template <class Check>
void replay(const char* target, Check check) {
  std::vector<std::string> inputs = corpus_inputs(target);
  CHECK(!inputs.empty());
  for (const std::string& input : inputs) {
    auto bytes = reinterpret_cast<const std::uint8_t*>(input.data());
    if (!check(fuzz::split_input(bytes, input.size())))
      check::report(__FILE__, __LINE__, std::string(target) + " input of " +
                                            std::to_string(input.size()) + " bytes");
  }
}

}  // namespace

TEST(fuzz_corpus_long) { replay("fuzz_long", fuzz::check_long); }
TEST(fuzz_corpus_short) { replay("fuzz_short", fuzz::check_short); }
TEST(fuzz_corpus_common_spellings) {
  replay("fuzz_common_spellings", fuzz::check_common_spellings);
}
TEST(fuzz_corpus_roundtrip) { replay("fuzz_roundtrip", fuzz::check_roundtrip); }
TEST(fuzz_corpus_read_files) { replay("fuzz_read_files", fuzz::check_read_files); }
TEST(fuzz_corpus_save_file) { replay("fuzz_save_file", fuzz::check_save_file); }
TEST(fuzz_corpus_vectors) { replay("fuzz_vectors", fuzz::check_vectors); }
TEST(fuzz_corpus_arrow_import) { replay("fuzz_arrow_import", fuzz::check_arrow_import); }
