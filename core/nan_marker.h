// The NaN marker written wherever a kernel has no value, and the bit-level tests on floats.
#pragma once

#include <bit>
#include <cstdint>

#include "float_slice.h"

namespace brindlex::core {

inline constexpr std::uint64_t nan_marker_bits = 0x7FF8000000000000ULL;
inline constexpr double nan_marker = std::bit_cast<double>(nan_marker_bits);

// Bit tests rather than std::isfinite / std::isnan: they do not depend on the floating-point
// environment or on how the compiler treats NaN comparisons.
[[gnu::always_inline]] inline bool is_finite(double x) noexcept {
    return (std::bit_cast<std::uint64_t>(x) & ~(1ULL << 63)) < 0x7FF0000000000000ULL;
}

[[gnu::always_inline]] inline bool is_nan(double x) noexcept {
    return (std::bit_cast<std::uint64_t>(x) & ~(1ULL << 63)) > 0x7FF0000000000000ULL;
}

inline void fill_nan(OutputSlice out) noexcept {
    unaligned_double* p = out.data();
    for (std::uint64_t i = 0; i < out.size(); ++i) p[i] = nan_marker;
}

}  // namespace brindlex::core
