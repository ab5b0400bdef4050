// NumPy's C interface reached at run time: module names, the C-API table, and the object layouts read.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/owned.h"
#include "runtime/py_err.h"

namespace brindlex::module {

// A process-wide cell filled once: the first value published wins, and a reader sees a value only
// after it is complete. Importing NumPy may let other threads run, so two threads can race to fill
// a cell; the loser learns the winner from publish() and drops its own value.
template <class T, T Empty = T{}>
class OnceValue {
public:
    T get() const noexcept { return value_.load(std::memory_order_acquire); }
    // Returns the value that is now in the cell: `candidate`, or the one stored before it.
    T publish(T candidate) noexcept {
        T expected = Empty;
        if (value_.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel,
                                           std::memory_order_acquire))
            return candidate;
        return expected;
    }

private:
    std::atomic<T> value_{Empty};
};

// The public layout of NumPy's array object, up to the fields this module reads.
struct ArrayObject {
    PyObject ob_base;
    char* data;
    int nd;
    std::int64_t* dimensions;
    std::int64_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline ArrayObject* array_fields(PyObject* array) noexcept { return reinterpret_cast<ArrayObject*>(array); }

// The two layouts of NumPy's descriptor, up to the element size.
struct DescrNumpy1 {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
};
struct DescrNumpy2 {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
    std::uint64_t flags;
    std::int64_t elsize;
};
#ifndef Py_GIL_DISABLED
static_assert(offsetof(DescrNumpy1, elsize) == 32);
static_assert(offsetof(DescrNumpy2, elsize) == 40);
#endif

// The element size of a descriptor in NumPy 2's layout (C-API feature version 18 on) or NumPy 1's.
inline std::int64_t element_size_in_layout(PyObject* descr, bool numpy2) noexcept {
    if (numpy2) return reinterpret_cast<const DescrNumpy2*>(descr)->elsize;
    return reinterpret_cast<const DescrNumpy1*>(descr)->elsize;
}

inline constexpr int npy_array_writeable = 0x0400;
inline constexpr int npy_double = 12;

// NumPy's C-API function table, indexed by NumPy's published API numbers.
class NumpyApiTable {
public:
    explicit NumpyApiTable(void* const* slots) noexcept : slots_(slots) {}

    // Slot 2, PyArray_Type.
    PyTypeObject* array_type() const noexcept { return static_cast<PyTypeObject*>(slots_[2]); }
    // Slot 45, PyArray_DescrFromType: a new reference, or null with an interpreter error.
    PyObject* descr_from_type(int type_number) const noexcept {
        using Fn = PyObject* (*)(int);
        return reinterpret_cast<Fn>(slots_[45])(type_number);
    }
    // Slot 182, PyArray_EquivTypes.
    bool equiv_types(PyObject* first, PyObject* second) const noexcept {
        using Fn = unsigned char (*)(PyObject*, PyObject*);
        return reinterpret_cast<Fn>(slots_[182])(first, second) != 0;
    }
    // Slot 277, PyArray_NewLikeArray: steals `descr`; a new reference, or null with an error set.
    PyObject* new_like_array(PyObject* prototype, int order, PyObject* descr, int subok) const noexcept {
        using Fn = PyObject* (*)(PyObject*, int, PyObject*, int);
        return reinterpret_cast<Fn>(slots_[277])(prototype, order, descr, subok);
    }
    // Slot 211, PyArray_GetNDArrayCFeatureVersion.
    unsigned feature_version() const noexcept {
        using Fn = unsigned (*)();
        return reinterpret_cast<Fn>(slots_[211])();
    }
    // An object is an array when its type is NumPy's array type or a subtype of it.
    bool is_array(PyObject* object) const noexcept {
        PyTypeObject* type = array_type();
        return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
    }

private:
    void* const* slots_;
};

// "numpy._core.multiarray" from NumPy 2 on, "numpy.core.multiarray" before; computed once, then
// cached. The text is NUL-terminated and lives for the process.
runtime::Result<std::string_view> multiarray_module_name() noexcept;

// The table, imported on the first call and cached; failing to get it is an internal failure.
NumpyApiTable numpy_api() noexcept;

// The element size of a descriptor, read by the descriptor layout of the NumPy in use (32-bit
// before feature version 18, 64-bit from it).
std::int64_t element_size(PyObject* descr) noexcept;

// Imports a module by name (PyImport_Import on a str).
runtime::Result<runtime::Owned> import_module(std::string_view name) noexcept;

// The pointer of a capsule under the capsule's own name. A pointer that cannot be read is a
// failure: a null table or record is never handed on.
runtime::Result<void*> capsule_pointer(PyObject* capsule) noexcept;

}  // namespace brindlex::module
