// Parse with either parser, rebuild through both imports, render in both layouts
// and read each rendering back (see fuzz::check_roundtrip).
#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::check_roundtrip(fuzz::split_input(data, size))) __builtin_trap();
  return 0;
}
