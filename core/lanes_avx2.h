// Four doubles in an AVX register: the lane operations and memory moves of the AVX2 kernels, and of no other file.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "float_slice.h"
#include "lane_memory.h"
#include "lanes.h"

#ifndef __AVX2__
#error "lanes_avx2.h belongs to the translation units built for AVX2"
#endif

namespace brindlex::core {

typedef double f64x4 __attribute__((vector_size(32)));

template <>
struct Lanes<f64x4> {
    using Mask = f64x4;
    static constexpr int width = 4;
    BRINDLEX_STEP static f64x4 all(double v) noexcept { return _mm256_set1_pd(v); }
    BRINDLEX_STEP static f64x4 when(bool b) noexcept {
        return _mm256_castsi256_pd(_mm256_set1_epi64x(-std::int64_t{b}));
    }
    BRINDLEX_STEP static f64x4 nan(f64x4 v) noexcept { return _mm256_cmp_pd(v, v, _CMP_UNORD_Q); }
    BRINDLEX_STEP static f64x4 non_finite(f64x4 v) noexcept {
        const f64x4 d = _mm256_sub_pd(v, v);
        return _mm256_cmp_pd(d, d, _CMP_UNORD_Q);
    }
    BRINDLEX_STEP static f64x4 pick(f64x4 m, f64x4 if_set, f64x4 otherwise) noexcept {
        return _mm256_blendv_pd(otherwise, if_set, m);
    }
    BRINDLEX_STEP static f64x4 bit_or(f64x4 a, f64x4 b) noexcept { return _mm256_or_pd(a, b); }
    BRINDLEX_STEP static f64x4 abs(f64x4 v) noexcept { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
    BRINDLEX_STEP static f64x4 max(f64x4 b, f64x4 a) noexcept { return _mm256_max_pd(b, a); }
};

template <>
struct Memory<f64x4> {
    BRINDLEX_STEP static f64x4 load(const unaligned_double* p) noexcept {
        return _mm256_loadu_pd(reinterpret_cast<const double*>(p));
    }
    BRINDLEX_STEP static void store(unaligned_double* p, f64x4 v) noexcept {
        _mm256_storeu_pd(reinterpret_cast<double*>(p), v);
    }
    BRINDLEX_STEP static f64x4 gather(const unaligned_double* const* p, std::ptrdiff_t at) noexcept {
        return _mm256_set_pd(p[3][at], p[2][at], p[1][at], p[0][at]);
    }
    BRINDLEX_STEP static void scatter(unaligned_double* const* p, std::ptrdiff_t at, f64x4 v) noexcept {
        p[0][at] = v[0];
        p[1][at] = v[1];
        p[2][at] = v[2];
        p[3][at] = v[3];
    }
    BRINDLEX_STEP static void transpose(f64x4 (&v)[4]) noexcept {
        const f64x4 a = _mm256_unpacklo_pd(v[0], v[1]), b = _mm256_unpackhi_pd(v[0], v[1]);
        const f64x4 c = _mm256_unpacklo_pd(v[2], v[3]), d = _mm256_unpackhi_pd(v[2], v[3]);
        v[0] = _mm256_permute2f128_pd(a, c, 0x20);
        v[1] = _mm256_permute2f128_pd(b, d, 0x20);
        v[2] = _mm256_permute2f128_pd(a, c, 0x31);
        v[3] = _mm256_permute2f128_pd(b, d, 0x31);
    }
};

}  // namespace brindlex::core
