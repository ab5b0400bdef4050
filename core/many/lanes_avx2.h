// Four doubles in an AVX register: the lane operations and memory moves of the AVX2 kernels, and of no other file.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/float_slice.h"
#include "core/many/lane_memory.h"
#include "core/lanes.h"

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
    BRINDLEX_STEP static bool any(f64x4 m) noexcept { return _mm256_movemask_pd(m) != 0; }
    BRINDLEX_STEP static f64x4 abs(f64x4 v) noexcept { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
    BRINDLEX_STEP static f64x4 max(f64x4 b, f64x4 a) noexcept { return _mm256_max_pd(b, a); }
};

template <>
struct Memory<f64x4> {
    static constexpr bool streams = true;
    BRINDLEX_STEP static f64x4 load(const unaligned_double* p) noexcept {
        return _mm256_loadu_pd(reinterpret_cast<const double*>(p));
    }
    // Typed as doubles: see store_doubles.
    BRINDLEX_STEP static void store(unaligned_double* p, f64x4 v) noexcept {
        typedef double Unaligned __attribute__((vector_size(32), aligned(1)));
        *reinterpret_cast<Unaligned*>(p) = v;
    }
    BRINDLEX_STEP static void stream(unaligned_double* p, f64x4 v) noexcept {
        _mm256_stream_pd(reinterpret_cast<double*>(p), v);
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
    // Positions t..t+3 of four series along rows (p[j] + t) as four vectors of one position
    // each, and back. Half of the transpose is done by 128-bit loads and stores, which need no
    // shuffle unit: only the in-lane unpacks do.
    BRINDLEX_STEP static void load_rows(const unaligned_double* const* p, std::uint64_t t, f64x4 (&v)[4]) noexcept {
        const auto half = [](const unaligned_double* q) { return _mm_loadu_pd(reinterpret_cast<const double*>(q)); };
        const f64x4 a = _mm256_insertf128_pd(_mm256_castpd128_pd256(half(p[0] + t)), half(p[2] + t), 1);
        const f64x4 b = _mm256_insertf128_pd(_mm256_castpd128_pd256(half(p[1] + t)), half(p[3] + t), 1);
        const f64x4 c = _mm256_insertf128_pd(_mm256_castpd128_pd256(half(p[0] + t + 2)), half(p[2] + t + 2), 1);
        const f64x4 d = _mm256_insertf128_pd(_mm256_castpd128_pd256(half(p[1] + t + 2)), half(p[3] + t + 2), 1);
        v[0] = _mm256_unpacklo_pd(a, b);
        v[1] = _mm256_unpackhi_pd(a, b);
        v[2] = _mm256_unpacklo_pd(c, d);
        v[3] = _mm256_unpackhi_pd(c, d);
    }
    BRINDLEX_STEP static void store_rows(unaligned_double* const* p, std::uint64_t t, const f64x4 (&v)[4]) noexcept {
        const auto half = [](unaligned_double* q, __m128d x) { store_doubles(q, x); };
        const f64x4 a = _mm256_unpacklo_pd(v[0], v[1]), b = _mm256_unpackhi_pd(v[0], v[1]);
        const f64x4 c = _mm256_unpacklo_pd(v[2], v[3]), d = _mm256_unpackhi_pd(v[2], v[3]);
        half(p[0] + t, _mm256_castpd256_pd128(a));
        half(p[0] + t + 2, _mm256_castpd256_pd128(c));
        half(p[1] + t, _mm256_castpd256_pd128(b));
        half(p[1] + t + 2, _mm256_castpd256_pd128(d));
        half(p[2] + t, _mm256_extractf128_pd(a, 1));
        half(p[2] + t + 2, _mm256_extractf128_pd(c, 1));
        half(p[3] + t, _mm256_extractf128_pd(b, 1));
        half(p[3] + t + 2, _mm256_extractf128_pd(d, 1));
    }
    // Positions t..t+7 of four rows, each row's 64-byte line written whole by streaming stores
    // before the next row's (p[j] + t line-aligned): a line left part-written while others are
    // would be flushed in pieces.
    BRINDLEX_STEP static void stream_lines(unaligned_double* const* p, std::uint64_t t, const f64x4 (&v)[8]) noexcept {
        f64x4 row[4][2];
#pragma GCC unroll 2
        for (int c = 0; c < 2; ++c) {
            const f64x4* q = v + 4 * c;
            const f64x4 a = _mm256_unpacklo_pd(q[0], q[1]), b = _mm256_unpackhi_pd(q[0], q[1]);
            const f64x4 e = _mm256_unpacklo_pd(q[2], q[3]), d = _mm256_unpackhi_pd(q[2], q[3]);
            row[0][c] = _mm256_permute2f128_pd(a, e, 0x20);
            row[1][c] = _mm256_permute2f128_pd(b, d, 0x20);
            row[2][c] = _mm256_permute2f128_pd(a, e, 0x31);
            row[3][c] = _mm256_permute2f128_pd(b, d, 0x31);
        }
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            _mm256_stream_pd(reinterpret_cast<double*>(p[j] + t), row[j][0]);
            _mm256_stream_pd(reinterpret_cast<double*>(p[j] + t + 4), row[j][1]);
        }
    }
};

}  // namespace brindlex::core
