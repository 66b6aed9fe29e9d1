#pragma once
// Rendering helpers shared by the long and short writers.
#include <string>

namespace textgrid {

// Shortest round-trip digits in positional notation, never an exponent:
// 1.0 -> "1", 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN", inf -> "inf".
void append_float(std::string& out, double value);
std::string format_float(double value);

}  // namespace textgrid
