// Where an array's elements lie in memory: whether two of them coincide, whether two arrays may meet.
#pragma once

#include <Python.h>

#include <cstdint>

#include "numpy_arrays.h"

namespace brindlex::call_arguments {

// Whether no two elements of the NumPy array share memory: each axis, taken by increasing step,
// steps past the whole span of the ones before it.
bool distinct_elements(const NumpyArrays& numpy, PyObject* array) noexcept;

// The bytes from a NumPy array's lowest element to the end of its highest: [begin, end), empty when
// begin == end.
struct MemoryBounds {
    std::uintptr_t begin, end;
};
MemoryBounds memory_bounds(const NumpyArrays& numpy, PyObject* array) noexcept;

// Whether two arrays' bounds overlap (numpy.may_share_memory): outputs interleaved with an input
// count as sharing its memory. Each array's bounds are found once, however many it is tested with.
inline bool may_share_memory(MemoryBounds a, MemoryBounds b) noexcept {
    if (a.begin == a.end || b.begin == b.end) return false;
    return a.begin < b.end && b.begin < a.end;
}

}  // namespace brindlex::call_arguments
