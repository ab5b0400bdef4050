// Eight doubles in an AVX-512 register: the lane operations and memory moves of the AVX-512 kernels, and of no other file.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/float_slice.h"
#include "core/many/lane_memory.h"
#include "core/lanes.h"

#ifndef __AVX512F__
#error "lanes_avx512.h belongs to the translation units built for AVX-512"
#endif

namespace brindlex::core {

typedef double f64x8 __attribute__((vector_size(64)));

// Masks are bit masks here, one bit per lane, where the narrower targets keep a whole lane of
// ones or zeros: `pick`, `nan` and `any` mean the same on both. Only AVX-512F instructions are
// used (its bitwise operations on doubles belong to another extension, so these go through the
// integer forms).
template <>
struct Lanes<f64x8> {
    using Mask = __mmask8;
    static constexpr int width = 8;
    BRINDLEX_STEP static f64x8 all(double v) noexcept { return _mm512_set1_pd(v); }
    BRINDLEX_STEP static __mmask8 when(bool b) noexcept { return b ? 0xff : 0; }
    BRINDLEX_STEP static __mmask8 nan(f64x8 v) noexcept { return _mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q); }
    BRINDLEX_STEP static __mmask8 non_finite(f64x8 v) noexcept {
        const f64x8 d = _mm512_sub_pd(v, v);
        return _mm512_cmp_pd_mask(d, d, _CMP_UNORD_Q);
    }
    BRINDLEX_STEP static f64x8 pick(__mmask8 m, f64x8 if_set, f64x8 otherwise) noexcept {
        return _mm512_mask_blend_pd(m, otherwise, if_set);
    }
    BRINDLEX_STEP static f64x8 bit_or(f64x8 a, f64x8 b) noexcept {
        return _mm512_castsi512_pd(_mm512_or_si512(_mm512_castpd_si512(a), _mm512_castpd_si512(b)));
    }
    BRINDLEX_STEP static bool any(__mmask8 m) noexcept { return m != 0; }
    BRINDLEX_STEP static f64x8 abs(f64x8 v) noexcept {
        return _mm512_castsi512_pd(
            _mm512_and_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7fffffffffffffffLL)));
    }
    BRINDLEX_STEP static f64x8 max(f64x8 b, f64x8 a) noexcept { return _mm512_max_pd(b, a); }
};

template <>
struct Memory<f64x8> {
    static constexpr bool streams = true;
    BRINDLEX_STEP static f64x8 load(const unaligned_double* p) noexcept {
        return _mm512_loadu_pd(reinterpret_cast<const double*>(p));
    }
    // Typed as doubles: see store_doubles.
    BRINDLEX_STEP static void store(unaligned_double* p, f64x8 v) noexcept {
        typedef double Unaligned __attribute__((vector_size(64), aligned(1)));
        *reinterpret_cast<Unaligned*>(p) = v;
    }
    BRINDLEX_STEP static void stream(unaligned_double* p, f64x8 v) noexcept {
        _mm512_stream_pd(reinterpret_cast<double*>(p), v);
    }
    BRINDLEX_STEP static f64x8 gather(const unaligned_double* const* p, std::ptrdiff_t at) noexcept {
        return _mm512_set_pd(p[7][at], p[6][at], p[5][at], p[4][at], p[3][at], p[2][at], p[1][at], p[0][at]);
    }
    BRINDLEX_STEP static void scatter(unaligned_double* const* p, std::ptrdiff_t at, f64x8 v) noexcept {
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) p[j][at] = v[j];
    }
    // Positions t..t+7 of eight series along rows (p[j] + t) as eight vectors of one position
    // each, and back. Each register is first filled from two rows four apart, by 256-bit moves
    // that need no shuffle unit; the 4 x 4 transposes of both halves are then done at once.
    BRINDLEX_STEP static void load_rows(const unaligned_double* const* p, std::uint64_t t, f64x8 (&v)[8]) noexcept {
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h) {
            f64x8 z[4];
#pragma GCC unroll 4
            for (int j = 0; j < 4; ++j) z[j] = rows_pair(p[j] + t + 4 * h, p[j + 4] + t + 4 * h);
            const f64x8 a = _mm512_unpacklo_pd(z[0], z[1]), b = _mm512_unpackhi_pd(z[0], z[1]);
            const f64x8 c = _mm512_unpacklo_pd(z[2], z[3]), d = _mm512_unpackhi_pd(z[2], z[3]);
            v[4 * h + 0] = even_pairs(a, c);
            v[4 * h + 1] = even_pairs(b, d);
            v[4 * h + 2] = odd_pairs(a, c);
            v[4 * h + 3] = odd_pairs(b, d);
        }
    }
    BRINDLEX_STEP static void store_rows(unaligned_double* const* p, std::uint64_t t, const f64x8 (&v)[8]) noexcept {
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h) {
            f64x8 z[4];
            rows_of_half(v, h, z);
#pragma GCC unroll 4
            for (int j = 0; j < 4; ++j) {
                quarter(p[j] + t + 4 * h, _mm512_castpd512_pd256(z[j]));
                quarter(p[j + 4] + t + 4 * h, _mm512_extractf64x4_pd(z[j], 1));
            }
        }
    }
    // As store_rows, each row's 64-byte line written whole by streaming stores before the next
    // row's (p[j] + t line-aligned): a line left part-written while others are would be flushed
    // in pieces.
    BRINDLEX_STEP static void stream_lines(unaligned_double* const* p, std::uint64_t t, const f64x8 (&v)[8]) noexcept {
        f64x8 z[2][4];
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h) rows_of_half(v, h, z[h]);
        const auto line = [&](unaligned_double* q, __m256d low, __m256d high) {
            _mm256_stream_pd(reinterpret_cast<double*>(q), low);
            _mm256_stream_pd(reinterpret_cast<double*>(q) + 4, high);
        };
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            line(p[j] + t, _mm512_castpd512_pd256(z[0][j]), _mm512_castpd512_pd256(z[1][j]));
            line(p[j + 4] + t, _mm512_extractf64x4_pd(z[0][j], 1), _mm512_extractf64x4_pd(z[1][j], 1));
        }
    }

private:
    // Positions 4h..4h+3 of the eight rows back from v: row j in the low half of z[j], row j + 4
    // in its high half.
    BRINDLEX_STEP static void rows_of_half(const f64x8 (&v)[8], int h, f64x8 (&z)[4]) noexcept {
        const f64x8 a = even_pairs(v[4 * h + 0], v[4 * h + 2]), c = odd_pairs(v[4 * h + 0], v[4 * h + 2]);
        const f64x8 b = even_pairs(v[4 * h + 1], v[4 * h + 3]), d = odd_pairs(v[4 * h + 1], v[4 * h + 3]);
        z[0] = _mm512_unpacklo_pd(a, b), z[1] = _mm512_unpackhi_pd(a, b);
        z[2] = _mm512_unpacklo_pd(c, d), z[3] = _mm512_unpackhi_pd(c, d);
    }
    BRINDLEX_STEP static void quarter(unaligned_double* p, __m256d v) noexcept {
        typedef double Unaligned __attribute__((vector_size(32), aligned(1)));
        *reinterpret_cast<Unaligned*>(p) = v;
    }
    // Four elements from each of two rows: q's in the low half, r's in the high.
    BRINDLEX_STEP static f64x8 rows_pair(const unaligned_double* q, const unaligned_double* r) noexcept {
        const __m256d low = _mm256_loadu_pd(reinterpret_cast<const double*>(q));
        return _mm512_insertf64x4(_mm512_castpd256_pd512(low), _mm256_loadu_pd(reinterpret_cast<const double*>(r)), 1);
    }
    // Pairs 0 and 2 of each half (a pair being two elements), a's and c's interleaved; and pairs 1 and 3.
    BRINDLEX_STEP static f64x8 even_pairs(f64x8 a, f64x8 c) noexcept {
        return _mm512_permutex2var_pd(a, _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0), c);
    }
    BRINDLEX_STEP static f64x8 odd_pairs(f64x8 a, f64x8 c) noexcept {
        return _mm512_permutex2var_pd(a, _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2), c);
    }
};

}  // namespace brindlex::core
