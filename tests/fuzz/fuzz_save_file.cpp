// Saving over every kind of target: the new file or, on failure, the old one (see
// fuzz::check_save_file).
#include "fuzz_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::check_save_file(fuzz::split_input(data, size))) __builtin_trap();
  return 0;
}
