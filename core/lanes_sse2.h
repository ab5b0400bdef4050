// Two doubles in an SSE2 register on x86-64: Lanes<f64x2> and the two-lane moves, for lanes.h alone to include.
#pragma once

#include <emmintrin.h>  // every x86-64 processor has SSE2

#include <cstdint>

#ifndef BRINDLEX_STEP
#error "lanes_sse2.h is included by lanes.h"
#endif

namespace brindlex::core {

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

// What the one-series kernels (low_lane.h) and the lanes' memory moves (many/lane_memory.h) need
// besides: each the one instruction it names.
namespace two_lanes {
// v in the low lane, zero in the high one.
BRINDLEX_STEP f64x2 low_only(double v) noexcept { return _mm_set_sd(v); }
BRINDLEX_STEP double low(f64x2 v) noexcept { return _mm_cvtsd_f64(v); }
// Whether the low lane's sign bit is set: for a mask, whether the low lane is set.
BRINDLEX_STEP bool low_sign(f64x2 v) noexcept { return (_mm_movemask_pd(v) & 1) != 0; }
// v where m is clear, zero where it is set.
BRINDLEX_STEP f64x2 and_not(f64x2 m, f64x2 v) noexcept { return _mm_andnot_pd(m, v); }
BRINDLEX_STEP f64x2 load(const double* p) noexcept { return _mm_loadu_pd(p); }
BRINDLEX_STEP void store(double* p, f64x2 v) noexcept { _mm_storeu_pd(p, v); }
BRINDLEX_STEP f64x2 make(double low, double high) noexcept { return _mm_set_pd(high, low); }
// {a[0], b[0]} and {a[1], b[1]}.
BRINDLEX_STEP f64x2 low_halves(f64x2 a, f64x2 b) noexcept { return _mm_unpacklo_pd(a, b); }
BRINDLEX_STEP f64x2 high_halves(f64x2 a, f64x2 b) noexcept { return _mm_unpackhi_pd(a, b); }
}  // namespace two_lanes

}  // namespace brindlex::core
