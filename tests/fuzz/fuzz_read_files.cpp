// Reading real files (single, auto, batches) against parsing their text (see
// fuzz::check_read_files).
#include "fuzz_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::check_read_files(fuzz::split_input(data, size))) __builtin_trap();
  return 0;
}
