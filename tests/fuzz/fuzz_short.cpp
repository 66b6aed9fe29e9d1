// Short-layout parser on arbitrary bytes: option bit 0 selects strict reading.
#include "fuzz_common.hpp"
#include "textgrid/failure.hpp"
#include "textgrid/parser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto [options, text] = fuzz::split_input(data, size);
  try {
    auto grid = textgrid::parse_short_text(text, "fuzz", (options & 1) != 0);
    if (grid) fuzz::check_exports(*grid);
  } catch (const textgrid::InternalFailure&) {
    // A structurally broken file is an expected outcome.
  }
  return 0;
}
