// A NumPy array of one or two dimensions as the kernels see it: its data, shape and element strides.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "call_arguments/numpy_arrays.h"

namespace brindlex::batch {

// Read from the array object itself, so that a call costs no more than a few loads. Strides
// count elements; the arrays given have whole-element strides (the arguments' checks see to it).
template <class T>
class ArrayView {
public:
    static ArrayView of(PyObject* array) noexcept {
        const call_arguments::ArrayObject* fields = call_arguments::array_fields(array);
        ArrayView view;
        view.data_ = reinterpret_cast<T*>(fields->data);
        view.ndim_ = static_cast<std::size_t>(fields->nd);
        for (std::size_t d = 0; d < view.ndim_ && d < 2; ++d) {
            view.shape_[d] = static_cast<std::size_t>(fields->dimensions[d]);
            view.stride_[d] = fields->strides[d] / static_cast<std::int64_t>(sizeof(T));
        }
        return view;
    }

    T* data() const noexcept { return data_; }
    std::size_t ndim() const noexcept { return ndim_; }
    std::size_t shape(std::size_t d) const noexcept { return shape_[d]; }
    std::int64_t stride(std::size_t d) const noexcept { return stride_[d]; }

private:
    T* data_ = nullptr;
    std::size_t ndim_ = 0;
    std::size_t shape_[2] = {0, 0};
    std::int64_t stride_[2] = {0, 0};
};

}  // namespace brindlex::batch
