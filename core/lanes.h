// What the per-bar steps need of a lane type beyond + - * /: masks, selects and maxima, for a double and for two-lane registers.
#pragma once

#include <bit>
#include <cstdint>

#include "nan_marker.h"

// Every step and lane operation is inlined into its caller, always: no out-of-line copy is ever
// emitted, so a copy compiled for one instruction set can never stand in for another's at link time.
#define BRINDLEX_STEP [[gnu::always_inline]] inline

namespace brindlex::core {

// Two doubles in a 128-bit register (SSE2's __m128d, NEON's float64x2_t) without a may-alias
// attribute, which a template argument would drop anyway. Lanes are never reached through pointers
// of this type.
typedef double f64x2 __attribute__((vector_size(16)));

// Specialised for each lane type: double (one series, branches allowed), f64x2 (two series, or
// one in the low half) and, in the AVX2 and AVX-512 kernels only, f64x4 and f64x8.
template <class L>
struct Lanes;

template <>
struct Lanes<double> {
    using Mask = bool;
    static constexpr int width = 1;
    BRINDLEX_STEP static double all(double v) noexcept { return v; }
    BRINDLEX_STEP static bool when(bool b) noexcept { return b; }
    BRINDLEX_STEP static bool nan(double v) noexcept { return is_nan(v); }
    BRINDLEX_STEP static bool non_finite(double v) noexcept { return !is_finite(v); }
    BRINDLEX_STEP static double pick(bool m, double if_set, double otherwise) noexcept {
        return m ? if_set : otherwise;
    }
    BRINDLEX_STEP static double abs(double v) noexcept {
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) & ~(1ULL << 63));
    }
    BRINDLEX_STEP static double max(double b, double a) noexcept { return b > a ? b : a; }
};

}  // namespace brindlex::core

// Lanes<f64x2> and the few two-lane moves the kernels need beyond it, from the one instruction set
// of this architecture that every processor of it has.
#if defined(__x86_64__)
#include "lanes_sse2.h"
#elif defined(__aarch64__)
#include "lanes_neon.h"
#else
#error "two-lane operations are written for x86-64 (SSE2) and ARM64 (NEON) only"
#endif

namespace brindlex::core {


// The larger of a and b ignoring a NaN operand, the first on a tie: b > a ? b : a is the rule
// everywhere except where a is NaN and b is not, and there the mask takes b. On a lane type the
// select costs no branch; written on a double it may compile to one.
template <class L>
BRINDLEX_STEP L max_ignoring_nan(L a, L b) noexcept {
    using O = Lanes<L>;
    return O::pick(O::nan(a), b, O::max(b, a));
}

// The NaN marker in every lane.
template <class L>
BRINDLEX_STEP L marker() noexcept {
    return Lanes<L>::all(nan_marker);
}

}  // namespace brindlex::core
