// Building from the vector form: grouping, ordering and refusal of bad times (see
// fuzz::check_vectors).
#include "fuzz_vectors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::check_vectors(fuzz::split_input(data, size))) __builtin_trap();
  return 0;
}
