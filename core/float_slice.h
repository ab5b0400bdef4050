// Float slices: the only view of memory the kernels get, and the overlap test between two of them.
#pragma once

#include <cstdint>
#include <span>

namespace brindlex::core {

using InputSlice = std::span<const double>;
using OutputSlice = std::span<double>;

// True when the two slices share at least one byte. Kernels that take shortcuts on earlier reads
// (a partial NaN fill, a remembered window) must fall back to their literal order of reads and
// writes when an output overlaps an input, so every partial or offset overlap counts.
inline bool overlaps(InputSlice a, InputSlice b) noexcept {
    if (a.empty() || b.empty()) return false;
    const auto a_begin = reinterpret_cast<std::uintptr_t>(a.data());
    const auto b_begin = reinterpret_cast<std::uintptr_t>(b.data());
    const auto a_end = a_begin + a.size_bytes();
    const auto b_end = b_begin + b.size_bytes();
    return a_begin < b_end && b_begin < a_end;
}

}  // namespace brindlex::core
