// Array arguments: the float64-vector test, converted inputs and outputs, and their views.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "module/borrow_registry.h"
#include "module/numpy_api.h"
#include "runtime/owned.h"
#include "runtime/py_err.h"

namespace brindlex::module {

// A one-dimensional NumPy array (or subclass instance) whose element type NumPy counts as
// equivalent to its native float64. Needs the interpreter lock.
bool is_float64_vector(PyObject* object) noexcept;

// The object's type is NumPy's array type itself, not a subclass.
bool is_exact_ndarray(PyObject* object) noexcept;

// The extent of the first dimension of an array of one or more dimensions.
inline std::uint64_t first_dimension(PyObject* array) noexcept {
    return static_cast<std::uint64_t>(array_fields(array)->dimensions[0]);
}

// NumPy's writeable flag of an array.
inline bool is_writeable(PyObject* array) noexcept {
    return (array_fields(array)->flags & npy_array_writeable) != 0;
}

// A converted input array: an owned reference plus one shared borrow in the registry, kept as it
// was taken. Dropping it ends that borrow, then releases the reference; drop it with the
// interpreter lock held.
class InputArray {
public:
    InputArray(InputArray&& other) noexcept;
    InputArray& operator=(InputArray&& other) noexcept;
    InputArray(const InputArray&) = delete;
    InputArray& operator=(const InputArray&) = delete;
    ~InputArray();

    PyObject* get() const noexcept { return array_.get(); }

private:
    friend runtime::Result<InputArray> extract_input_array(PyObject*, std::string_view) noexcept;
    InputArray(runtime::Owned array, const BorrowApi* api, const SharedBorrow& borrow) noexcept
        : array_(std::move(array)), api_(api), borrow_(borrow) {}
    void end_borrow() noexcept;

    runtime::Owned array_;
    const BorrowApi* api_ = nullptr;
    SharedBorrow borrow_{};
};

// A type-checked output array, borrowed from the call's arguments: no reference, no borrow.
class OutputArray {
public:
    explicit OutputArray(PyObject* array) noexcept : array_(array) {}
    PyObject* get() const noexcept { return array_; }

private:
    PyObject* array_;
};

struct VectorView {
    double* data;
    std::uint64_t length;
    std::int64_t byte_stride;
    std::int64_t element_stride;  // byte stride / 8, toward zero; descriptive only
    bool contiguous;              // length below 2, or byte stride exactly 8

    // The float slice of a contiguous view; never call it on another.
    std::span<double> elements() const noexcept { return {data, static_cast<std::size_t>(length)}; }
};

[[noreturn]] void fail_not_vector(int nd) noexcept;

// The view of an array that passed is_float64_vector; any nd but 1 is an internal failure.
// Inline: every call makes up to seven of these, and each is a handful of loads.
inline VectorView vector_view(PyObject* array) noexcept {
    const ArrayObject& fields = *array_fields(array);
    if (fields.nd != 1) [[unlikely]] fail_not_vector(fields.nd);
    const auto length = static_cast<std::uint64_t>(fields.dimensions[0]);
    const std::int64_t byte_stride = fields.strides[0];
    return VectorView{reinterpret_cast<double*>(fields.data), length, byte_stride, byte_stride / 8,
                      length < 2 || byte_stride == 8};
}

// Failures are TypeErrors prefixed with the parameter's name, or, for a refused borrow, a
// BufferError naming it.
runtime::Result<InputArray> extract_input_array(PyObject* object, std::string_view name) noexcept;
runtime::Result<OutputArray> extract_output_array(PyObject* object, std::string_view name) noexcept;

}  // namespace brindlex::module
