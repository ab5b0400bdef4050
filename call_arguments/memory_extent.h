// Where an array's elements lie in memory: whether two of them coincide, whether two arrays may meet.
#pragma once

#include <Python.h>

#include "numpy_arrays.h"

namespace brindlex::call_arguments {

// Whether no two elements of the NumPy array share memory: each axis, taken by increasing step,
// steps past the whole span of the ones before it.
bool distinct_elements(const NumpyArrays& numpy, PyObject* array) noexcept;

// Whether the memory bounds of two NumPy arrays overlap (numpy.may_share_memory): outputs
// interleaved with an input count as sharing its memory.
bool may_share_memory(const NumpyArrays& numpy, PyObject* first, PyObject* second) noexcept;

}  // namespace brindlex::call_arguments
