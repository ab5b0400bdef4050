// Moving the lanes of a two-lane register to and from memory at any alignment: whole vectors, gathers, and transposed rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/float_slice.h"
#include "core/lanes.h"

namespace brindlex::core {

template <class L>
struct Memory;

// Doubles stored at any alignment, typed as doubles. The intrinsics' unaligned stores write through
// types that may alias anything, after each of which the compiler must read again whatever it keeps
// in memory: the lanes' pointers among them, at every tile of every loop.
// (Overloads, not a template over the type: a template argument would drop its one-byte alignment.)
typedef double unaligned_f64x2 __attribute__((vector_size(16), aligned(1)));
BRINDLEX_STEP void store_doubles(unaligned_double* p, f64x2 v) noexcept { *reinterpret_cast<unaligned_f64x2*>(p) = v; }

template <>
struct Memory<f64x2> {
    // No streaming stores: stream_lines is for wider registers.
    static constexpr bool streams = false;
    BRINDLEX_STEP static f64x2 load(const unaligned_double* p) noexcept {
        return two_lanes::load(reinterpret_cast<const double*>(p));
    }
    BRINDLEX_STEP static void store(unaligned_double* p, f64x2 v) noexcept { store_doubles(p, v); }
    // Lane j from p[j][at].
    BRINDLEX_STEP static f64x2 gather(const unaligned_double* const* p, std::ptrdiff_t at) noexcept {
        return two_lanes::make(p[0][at], p[1][at]);
    }
    BRINDLEX_STEP static void scatter(unaligned_double* const* p, std::ptrdiff_t at, f64x2 v) noexcept {
        p[0][at] = v[0];
        p[1][at] = v[1];
    }
    // Positions t and t+1 of two series along rows (p[j] + t) as two vectors of one position
    // each, and back.
    BRINDLEX_STEP static void load_rows(const unaligned_double* const* p, std::uint64_t t, f64x2 (&v)[2]) noexcept {
        const f64x2 a = load(p[0] + t), b = load(p[1] + t);
        v[0] = two_lanes::low_halves(a, b);
        v[1] = two_lanes::high_halves(a, b);
    }
    BRINDLEX_STEP static void store_rows(unaligned_double* const* p, std::uint64_t t, const f64x2 (&v)[2]) noexcept {
        store(p[0] + t, two_lanes::low_halves(v[0], v[1]));
        store(p[1] + t, two_lanes::high_halves(v[0], v[1]));
    }
};

}  // namespace brindlex::core
