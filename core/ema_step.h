// One position of an exponential average: the blend of the previous average with the new value, and the skip rule.
#pragma once

#include "lanes.h"
#include "weights.h"

namespace brindlex::core {

// (average * beta) + (x * alpha): the two products formed separately, then added. Shared with
// MACD's two averages.
template <class L>
BRINDLEX_STEP L blend(L average, L x, BlendWeights<L> w) noexcept {
    return (average * w.beta) + (x * w.alpha);
}

template <class L>
struct EmaStep {
    L value;   // the average after the position
    L output;  // what the position writes
};

// One position after the seed. A non-finite input is skipped: the marker is written and the
// average carries on unchanged, with no allowance for the gap.
template <class L>
BRINDLEX_STEP EmaStep<L> ema_step(L value, L x, BlendWeights<L> w) noexcept {
    using O = Lanes<L>;
    const auto skip = O::non_finite(x);
    const L next = O::pick(skip, value, blend(value, x, w));
    return {next, O::pick(skip, marker<L>(), next)};
}

// The seed: `sum` is -0.0 plus the window's values in order; a true division by the period.
template <class L>
BRINDLEX_STEP L ema_seed(L sum, L period) noexcept {
    return sum / period;
}

}  // namespace brindlex::core
