// Blocks of equally long series laid out with any strides: the view the many-series kernels get.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/float_slice.h"

namespace brindlex::core {

// `count` series of `length` elements each; element t of series k is at
// data[k * series_stride + t * time_stride]. Strides count elements, may have either sign and
// need no alignment. A sub-block (some of the series) is the same record with `data` moved on by
// k * series_stride and a smaller `count`.
struct BlockIn {
    const unaligned_double* data;
    std::ptrdiff_t time_stride;
    std::ptrdiff_t series_stride;
    std::uint64_t length;
    std::uint64_t count;
};

struct BlockOut {
    unaligned_double* data;
    std::ptrdiff_t time_stride;
    std::ptrdiff_t series_stride;
    std::uint64_t length;
    std::uint64_t count;
};

[[gnu::always_inline]] inline BlockIn sub_block(BlockIn b, std::uint64_t first, std::uint64_t count) noexcept {
    return {b.data + static_cast<std::ptrdiff_t>(first) * b.series_stride, b.time_stride, b.series_stride,
            b.length, count};
}
[[gnu::always_inline]] inline BlockOut sub_block(BlockOut b, std::uint64_t first, std::uint64_t count) noexcept {
    return {b.data + static_cast<std::ptrdiff_t>(first) * b.series_stride, b.time_stride, b.series_stride,
            b.length, count};
}

// Side by side (one element apart), the series before the first whose elements start a 64-byte
// line of the first row; 0 along rows, or where elements lie unaligned. Groups of lanes that start
// there, and threads' shares cut there, write whole lines of that row.
[[gnu::always_inline]] inline std::uint64_t series_before_line(const BlockOut& b) noexcept {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(b.data) % 64;
    if (b.series_stride != 1 || at % sizeof(double) != 0) return 0;
    return (64 - at) % 64 / sizeof(double);
}

}  // namespace brindlex::core
