// The true range of one bar against the previous close, as the whole-series kernel forms it.
#pragma once

#include "../lane_ops.h"

namespace brindlex::core::stream {

// max(max(high - low, |high - c|), |low - c|), each maximum ignoring a NaN operand and keeping
// the first on a tie, with the same lane operations as the kernel, so the same bits.
inline double true_range(double high, double low, double prev_close) noexcept {
    using lane::V;
    const V h = lane::scalar(high), l = lane::scalar(low), c = lane::scalar(prev_close);
    const V range = _mm_sub_sd(h, l);
    const V up = lane::abs(_mm_sub_sd(h, c));
    const V down = lane::abs(_mm_sub_sd(l, c));
    return lane::value(lane::max_ignoring_nan(lane::max_ignoring_nan(range, up), down));
}

}  // namespace brindlex::core::stream
