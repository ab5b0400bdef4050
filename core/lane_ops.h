// Scalar arithmetic in the low lane of an SSE register, for loops that select by masks.
#pragma once

#include <emmintrin.h>  // every x86-64 processor has SSE2

namespace brindlex::core::lane {

using V = __m128d;

inline V load(const double* p) noexcept { return _mm_load_sd(p); }
inline void store(double* p, V v) noexcept { _mm_store_sd(p, v); }
inline V scalar(double v) noexcept { return _mm_set_sd(v); }
inline double value(V v) noexcept { return _mm_cvtsd_f64(v); }

// (average * beta) + (x * alpha): the same two products and one addition as the scalar code.
inline V blend(V average, V x, V alpha, V beta) noexcept {
    return _mm_add_sd(_mm_mul_sd(average, beta), _mm_mul_sd(x, alpha));
}

// All ones in the low lane where v is NaN.
inline V nan_mask(V v) noexcept { return _mm_cmpunord_sd(v, v); }
// All ones where v is NaN or infinite: only then is v - v not a number.
inline V non_finite_mask(V v) noexcept {
    const V d = _mm_sub_sd(v, v);
    return _mm_cmpunord_sd(d, d);
}
inline bool any(V mask) noexcept { return (_mm_movemask_pd(mask) & 1) != 0; }

// mask ? if_set : otherwise, lane by lane, without a branch.
inline V pick(V mask, V if_set, V otherwise) noexcept {
    return _mm_or_pd(_mm_and_pd(mask, if_set), _mm_andnot_pd(mask, otherwise));
}

}  // namespace brindlex::core::lane
