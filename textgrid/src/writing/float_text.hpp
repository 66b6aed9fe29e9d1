#pragma once
// The writers' float text, written in place (see format_float in render.hpp).
#include <cstddef>

namespace textgrid {

// Room for "-0." plus 323 zeros plus 17 digits (the smallest subnormals), or
// for 17 digits followed by up to 292 zeros (the largest finite values).
inline constexpr std::size_t max_float_length = 352;

// Writes format_float's text at `at`, which has room for max_float_length
// bytes; returns its end.
char* put_float(char* at, double value) noexcept;

}  // namespace textgrid
