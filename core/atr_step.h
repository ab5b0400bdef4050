// One bar of the average true range: the bar's true range and the smoothing of the running average.
#pragma once

#include "lanes.h"

namespace brindlex::core {

// max(max(high - low, |high - c|), |low - c|) with c the previous bar's close, each maximum
// ignoring a NaN operand and keeping the first on a tie. A tie between two zeros of opposite sign
// could pick either sign, but no output shows it: the seed sum starts from +0.0, and +0.0 plus
// either zero is +0.0.
template <class L>
BRINDLEX_STEP L true_range(L high, L low, L prev_close) noexcept {
    const L range = high - low;
    const L up = Lanes<L>::abs(high - prev_close);
    const L down = Lanes<L>::abs(low - prev_close);
    return max_ignoring_nan(max_ignoring_nan(range, up), down);
}

// The seed is `sum` (+0.0 plus the first `period` true ranges in order) over the period, a true
// division; after it, each bar moves the average by (tr - average) times the reciprocal.
template <class L>
BRINDLEX_STEP L atr_seed(L sum, L period) noexcept {
    return sum / period;
}

template <class L>
BRINDLEX_STEP L atr_smooth(L value, L tr, L inv) noexcept {
    L d = tr - value;
    d = d * inv;
    return value + d;
}

}  // namespace brindlex::core
