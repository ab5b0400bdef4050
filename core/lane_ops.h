// Scalar arithmetic in the low lane of an SSE register, for loops that select by masks.
#pragma once

#include <emmintrin.h>  // every x86-64 processor has SSE2

#include "float_slice.h"

namespace brindlex::core::lane {

using V = __m128d;

inline V scalar(double v) noexcept { return _mm_set_sd(v); }
inline double value(V v) noexcept { return _mm_cvtsd_f64(v); }
// Through the one-byte-aligned element type, not _mm_load_sd / _mm_store_sd, whose pointers must
// be aligned; the instructions are the same.
inline V load(const unaligned_double* p) noexcept { return scalar(*p); }
inline void store(unaligned_double* p, V v) noexcept { *p = value(v); }

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

// |v|: the sign bit cleared, as std::fabs does, NaN payloads included.
inline V abs(V v) noexcept { return _mm_andnot_pd(_mm_set1_pd(-0.0), v); }

// The larger of a and b ignoring a NaN operand, the first on a tie, with no branch: maxsd(b, a)
// yields b > a ? b : a, which is the rule everywhere except where a is NaN and b is not, and
// there the mask takes b. Written as a C++ select instead, the compiler emits compare-and-jump,
// and on real bars, whose ranges vary, that jump goes either way at random.
inline V max_ignoring_nan(V a, V b) noexcept { return pick(nan_mask(a), b, _mm_max_sd(b, a)); }

}  // namespace brindlex::core::lane
