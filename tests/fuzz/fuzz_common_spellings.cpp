// The one-pass readers against the general path, on arbitrary bytes: option
// bit 1 selects the short layout.
#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::check_common_spellings(fuzz::split_input(data, size))) __builtin_trap();
  return 0;
}
