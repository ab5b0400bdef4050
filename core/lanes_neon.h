// Two doubles in a NEON register on ARM64: Lanes<f64x2> and the two-lane moves, the same bits as lanes_sse2.h, for lanes.h alone to include.
#pragma once

#include <arm_neon.h>  // every ARM64 processor has NEON (Advanced SIMD)

#include <cstdint>
#include <cstring>

#ifndef BRINDLEX_STEP
#error "lanes_neon.h is included by lanes.h"
#endif

namespace brindlex::core {

namespace two_lanes {
BRINDLEX_STEP uint64x2_t bits(f64x2 v) noexcept { return vreinterpretq_u64_f64(v); }
BRINDLEX_STEP f64x2 from_bits(uint64x2_t v) noexcept { return vreinterpretq_f64_u64(v); }
}  // namespace two_lanes

// Every operation a pure bit operation, or one comparison and a select: none may round, and none
// may choose a NaN's payload differently from SSE2 where the result is kept. So no fmax/fmaxnm,
// whose NaN rules are not maxpd's.
template <>
struct Lanes<f64x2> {
    using Mask = f64x2;
    static constexpr int width = 2;
    BRINDLEX_STEP static f64x2 all(double v) noexcept { return vdupq_n_f64(v); }
    BRINDLEX_STEP static f64x2 when(bool b) noexcept { return two_lanes::from_bits(vdupq_n_u64(-std::uint64_t{b})); }
    // Set where v is unordered with itself: the complement of v == v.
    BRINDLEX_STEP static f64x2 nan(f64x2 v) noexcept {
        return vreinterpretq_f64_u32(vmvnq_u32(vreinterpretq_u32_u64(vceqq_f64(v, v))));
    }
    // Only for NaN and the infinities is v - v not a number.
    BRINDLEX_STEP static f64x2 non_finite(f64x2 v) noexcept { return nan(vsubq_f64(v, v)); }
    BRINDLEX_STEP static f64x2 pick(f64x2 m, f64x2 if_set, f64x2 otherwise) noexcept {
        return vbslq_f64(two_lanes::bits(m), if_set, otherwise);
    }
    BRINDLEX_STEP static f64x2 bit_or(f64x2 a, f64x2 b) noexcept {
        return two_lanes::from_bits(vorrq_u64(two_lanes::bits(a), two_lanes::bits(b)));
    }
    // The sign bits, as movemask reads them.
    BRINDLEX_STEP static bool any(f64x2 m) noexcept {
        const uint64x2_t s = vshrq_n_u64(two_lanes::bits(m), 63);
        return (vgetq_lane_u64(s, 0) | vgetq_lane_u64(s, 1)) != 0;
    }
    BRINDLEX_STEP static f64x2 abs(f64x2 v) noexcept {
        return two_lanes::from_bits(vbicq_u64(two_lanes::bits(v), vdupq_n_u64(std::uint64_t{1} << 63)));
    }
    // maxpd's rule, b > a ? b : a lane by lane (a NaN in either operand gives a, and so does a
    // tie), as a comparison that is false on NaN and a select.
    BRINDLEX_STEP static f64x2 max(f64x2 b, f64x2 a) noexcept { return vbslq_f64(vcgtq_f64(b, a), b, a); }
};

// The same moves as lanes_sse2.h's, with the same results.
namespace two_lanes {
BRINDLEX_STEP f64x2 low_only(double v) noexcept { return vsetq_lane_f64(v, vdupq_n_f64(0.0), 0); }
BRINDLEX_STEP double low(f64x2 v) noexcept { return vgetq_lane_f64(v, 0); }
BRINDLEX_STEP bool low_sign(f64x2 v) noexcept { return (vgetq_lane_u64(bits(v), 0) >> 63) != 0; }
BRINDLEX_STEP f64x2 and_not(f64x2 m, f64x2 v) noexcept { return from_bits(vbicq_u64(bits(v), bits(m))); }
// Through memcpy: the callers' pointers may be aligned to one byte only.
BRINDLEX_STEP f64x2 load(const double* p) noexcept {
    f64x2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
BRINDLEX_STEP void store(double* p, f64x2 v) noexcept { std::memcpy(p, &v, sizeof v); }
BRINDLEX_STEP f64x2 make(double low, double high) noexcept { return vsetq_lane_f64(high, vdupq_n_f64(low), 1); }
BRINDLEX_STEP f64x2 low_halves(f64x2 a, f64x2 b) noexcept { return vzip1q_f64(a, b); }
BRINDLEX_STEP f64x2 high_halves(f64x2 a, f64x2 b) noexcept { return vzip2q_f64(a, b); }
}  // namespace two_lanes

}  // namespace brindlex::core
