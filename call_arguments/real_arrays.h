// Array-likes of real numbers as NumPy arrays: which protocol is read, which dtypes are taken.
#pragma once

#include <Python.h>

namespace brindlex::call_arguments {

// Whether an object is read through numpy.from_dlpack: it offers __dlpack__ and none of the
// protocols numpy.asarray reads without a copy (the buffer protocol, __array__,
// __array_interface__, __array_struct__). Every other object goes through numpy.asarray, which
// also takes sequences of numbers.
bool read_through_dlpack(PyObject* object) noexcept;

// The object as a NumPy array of any dtype, not converted further (an exact NumPy array is
// returned itself). A new reference, or null with an error naming the argument: TypeError for
// objects that are no array of numbers, ValueError for NumPy's own refusals (ragged sequences).
PyObject* as_numpy_array(PyObject* object, const char* name) noexcept;

// The object as a NumPy array of an integer or floating-point dtype, not converted further (an
// exact NumPy array is returned itself, a subclass is viewed as one). A new reference, or null with an error naming the argument:
// TypeError for objects that are no array of numbers and for other dtypes (boolean, complex,
// object, text, date-time), ValueError for NumPy's own refusals (ragged sequences).
PyObject* as_real_array(PyObject* object, const char* name) noexcept;

// Whether the kernels, which step through memory in whole float64 elements, can read the array
// in place: a float64 array that is aligned or whose every stride is a multiple of 8.
bool whole_float64_steps(PyObject* array) noexcept;

}  // namespace brindlex::call_arguments
