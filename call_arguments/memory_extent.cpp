// Where an array's elements lie in memory, from its data pointer, shape and strides.
#include "memory_extent.h"

#include <cstdint>
#include <utility>

#include "numpy_arrays.h"

namespace brindlex::call_arguments {
namespace {

// NumPy 2 allows 64 dimensions, NumPy 1 32.
constexpr int most_dimensions = 64;

// Left uninitialised: only the axes counted are written and read, and zeroing room for every
// possible dimension would cost more than the whole test on a call's usual two axes.
struct Axis {
    std::int64_t step, length;
    bool operator<(const Axis& other) const noexcept {
        return step != other.step ? step < other.step : length < other.length;
    }
};

}  // namespace

MemoryBounds memory_bounds(const NumpyArrays& numpy, PyObject* array) noexcept {
    const ArrayObject* fields = array_fields(array);
    const auto start = reinterpret_cast<std::uintptr_t>(fields->data);
    std::intptr_t low = 0, high = 0;
    for (int d = 0; d < fields->nd; ++d) {
        if (fields->dimensions[d] == 0) return {start, start};
        const std::intptr_t reach = (fields->dimensions[d] - 1) * fields->strides[d];
        (reach < 0 ? low : high) += reach;
    }
    const std::int64_t item = numpy.element_size(array);
    return {start + low, start + high + static_cast<std::uintptr_t>(item)};
}

bool distinct_elements(const NumpyArrays& numpy, PyObject* array) noexcept {
    const ArrayObject* fields = array_fields(array);
    Axis axes[most_dimensions];
    int count = 0;
    for (int d = 0; d < fields->nd; ++d) {
        if (fields->dimensions[d] == 0) return true;
        if (fields->dimensions[d] > 1 && count < most_dimensions)
            axes[count++] = {fields->strides[d] < 0 ? -fields->strides[d] : fields->strides[d], fields->dimensions[d]};
    }
    // Insertion sort: there are one or two axes, rarely more.
    for (int k = 1; k < count; ++k) {
        for (int j = k; j > 0 && axes[j] < axes[j - 1]; --j) std::swap(axes[j], axes[j - 1]);
    }
    std::int64_t span = numpy.element_size(array);
    for (int k = 0; k < count; ++k) {
        if (axes[k].step < span) return false;
        span = axes[k].step * axes[k].length;
    }
    return true;
}

}  // namespace brindlex::call_arguments
