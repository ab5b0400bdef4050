// Where an array's elements lie in memory, from its data pointer, shape and strides.
#include "memory_extent.h"

#include <cstdint>
#include <utility>

#include "numpy_arrays.h"

namespace brindlex::call_arguments {
namespace {

// NumPy 2 allows 64 dimensions, NumPy 1 32.
constexpr int most_dimensions = 64;

struct Bounds {
    std::uintptr_t begin, end;  // [begin, end); empty when begin == end
};

Bounds bounds_of(const NumpyArrays& numpy, PyObject* array) noexcept {
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

}  // namespace

bool distinct_elements(const NumpyArrays& numpy, PyObject* array) noexcept {
    const ArrayObject* fields = array_fields(array);
    std::pair<std::int64_t, std::int64_t> axes[most_dimensions];
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
        if (axes[k].first < span) return false;
        span = axes[k].first * axes[k].second;
    }
    return true;
}

bool may_share_memory(const NumpyArrays& numpy, PyObject* first, PyObject* second) noexcept {
    const Bounds a = bounds_of(numpy, first), b = bounds_of(numpy, second);
    if (a.begin == a.end || b.begin == b.end) return false;
    return a.begin < b.end && b.begin < a.end;
}

}  // namespace brindlex::call_arguments
