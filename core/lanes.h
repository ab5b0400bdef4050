// What the per-bar steps need of a lane type beyond + - * /: masks, selects and maxima, for a double and for SSE registers.
#pragma once

#include <emmintrin.h>  // every x86-64 processor has SSE2

#include <bit>
#include <cstdint>

#include "nan_marker.h"

// Every step and lane operation is inlined into its caller, always: no out-of-line copy is ever
// emitted, so a copy compiled for one instruction set can never stand in for another's at link time.
#define BRINDLEX_STEP [[gnu::always_inline]] inline

namespace brindlex::core {

// Two doubles in an SSE register: __m128d without its may-alias attribute, which a template
// argument would drop anyway. Lanes are never reached through pointers of this type.
typedef double f64x2 __attribute__((vector_size(16)));

// Specialised for each lane type: double (one series, branches allowed), f64x2 (two series, or
// one in the low half) and, in the AVX2 kernels only, f64x4.
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

template <>
struct Lanes<f64x2> {
    using Mask = f64x2;
    static constexpr int width = 2;
    BRINDLEX_STEP static f64x2 all(double v) noexcept { return _mm_set1_pd(v); }
    BRINDLEX_STEP static f64x2 when(bool b) noexcept { return _mm_castsi128_pd(_mm_set1_epi64x(-std::int64_t{b})); }
    BRINDLEX_STEP static f64x2 nan(f64x2 v) noexcept { return _mm_cmpunord_pd(v, v); }
    // Only for NaN and the infinities is v - v not a number.
    BRINDLEX_STEP static f64x2 non_finite(f64x2 v) noexcept {
        const f64x2 d = _mm_sub_pd(v, v);
        return _mm_cmpunord_pd(d, d);
    }
    BRINDLEX_STEP static f64x2 pick(f64x2 m, f64x2 if_set, f64x2 otherwise) noexcept {
        return _mm_or_pd(_mm_and_pd(m, if_set), _mm_andnot_pd(m, otherwise));
    }
    BRINDLEX_STEP static f64x2 bit_or(f64x2 a, f64x2 b) noexcept { return _mm_or_pd(a, b); }
    BRINDLEX_STEP static bool any(f64x2 m) noexcept { return _mm_movemask_pd(m) != 0; }
    BRINDLEX_STEP static f64x2 abs(f64x2 v) noexcept { return _mm_andnot_pd(_mm_set1_pd(-0.0), v); }
    // b > a ? b : a, lane by lane: a NaN in either operand gives a, and so does a tie.
    BRINDLEX_STEP static f64x2 max(f64x2 b, f64x2 a) noexcept { return _mm_max_pd(b, a); }
};

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
