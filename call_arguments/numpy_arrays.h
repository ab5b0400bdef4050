// NumPy's array type, float64 descriptor and the few C-API functions the companions call, found once.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/numpy_api.h"

namespace brindlex::call_arguments {

using module::array_fields;
using module::ArrayObject;

inline constexpr int npy_c_contiguous = 0x0001;
inline constexpr int npy_aligned = 0x0100;
inline constexpr int npy_writeable = module::npy_array_writeable;
inline constexpr int npy_keep_order = 2;  // NPY_KEEPORDER
inline constexpr int npy_c_order = 0;     // NPY_CORDER

struct NumpyArrays {
    PyTypeObject* array_type;
    PyObject* float64;  // the float64 descriptor every float64 array of the native byte order shares
    module::NumpyApiTable api;
    // NumPy's Python functions, for the conversions no C-API slot offers as one call.
    PyObject* asarray;
    PyObject* from_dlpack;
    PyObject* ascontiguousarray;
    PyObject* copyto;
    PyObject* float64_type;  // numpy.float64, the dtype argument of the conversions
    PyObject* uint64_type;
    bool numpy2_descr;  // descriptors in NumPy 2's layout

    std::int64_t element_size(PyObject* array) const noexcept {
        return module::element_size_in_layout(array_fields(array)->descr, numpy2_descr);
    }

    bool is_array(PyObject* object) const noexcept { return api.is_array(object); }
    bool is_float64(PyObject* array) const noexcept {
        PyObject* descr = array_fields(array)->descr;
        return descr == float64 || api.equiv_types(descr, float64);
    }
    // A new float64 array of the prototype's shape, in its memory order (keep_order) or in C
    // order; null with MemoryError when memory runs out.
    PyObject* new_like(PyObject* prototype, bool keep_order) const noexcept {
        Py_INCREF(float64);  // the slot steals the descriptor
        return api.new_like_array(prototype, keep_order ? npy_keep_order : npy_c_order, float64, 0);
    }
};

// Imported on the first call (with the interpreter lock held) and kept for the process; null with
// the import's error set when NumPy cannot be imported.
const NumpyArrays* numpy_arrays() noexcept;

}  // namespace brindlex::call_arguments
