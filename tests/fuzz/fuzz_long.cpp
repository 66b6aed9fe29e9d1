// Long-layout parser on arbitrary bytes: option bit 0 selects strict reading.
#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::check_long(fuzz::split_input(data, size))) __builtin_trap();
  return 0;
}
