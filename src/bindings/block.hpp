// Writable byte buffers for the arrays a compiled pass hands to NumPy.
#pragma once

#include <cstddef>

#include "bindings/py.hpp"

namespace quintara::bindings {

// A new writable buffer object of `bytes` bytes, its storage in `*data`
// (uninitialised, aligned for any scalar type), for numpy.frombuffer to
// view without a copy; the storage lives as long as the object.
//
// Large buffers come from linalg's kept blocks: a pass run again on a table
// of the same size then reuses the pages of the last call's array instead of
// faulting in fresh zeroed ones (at 10^7 cells, most of the pass's time).
// Small ones are bytearrays.
Ref new_block(std::size_t bytes, void** data);

}  // namespace quintara::bindings
