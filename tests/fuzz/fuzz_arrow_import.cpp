// Importing Arrow streams built from the input: malformed schemas, batches,
// buffers, offsets, views and dictionaries are refused, never read out of
// bounds, and every struct is released once (see fuzz::check_arrow_import).
#include "fuzz_arrow.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzz::check_arrow_import(fuzz::split_input(data, size))) __builtin_trap();
  return 0;
}
