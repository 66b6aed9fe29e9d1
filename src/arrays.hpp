#pragma once
// One-dimensional NumPy arrays over the core's released buffers, without a
// copy. Each array's base is a keeper object that frees the buffer when the
// last array or view over it goes.
#include "pyref.hpp"

#include <cstdint>

#include "textgrid/model/buffer.hpp"

namespace tavrel {

// Each takes the buffer over once NumPy's C interface is available (otherwise
// an internal failure, and the buffer stays with the caller). Null with a
// Python error set when NumPy cannot make the array (the buffer is freed);
// an internal failure when the keeper cannot be made.
PyRef to_array(textgrid::Buffer<double>&& values);
PyRef to_array(textgrid::Buffer<bool>&& values);
PyRef to_array(textgrid::Buffer<std::uint32_t>&& values);

}  // namespace tavrel
