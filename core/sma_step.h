// One position of a simple moving average: the rolling sum and its mean.
#pragma once

#include "lanes.h"

namespace brindlex::core {

// The mean is a product with the reciprocal of the period, never a division.
template <class L>
BRINDLEX_STEP L sma_mean(L sum, L inv) noexcept {
    return inv * sum;
}

template <class L>
struct SmaStep {
    L sum;
    L mean;
};

// The window moves on by one: the entering and leaving values are subtracted first and the
// difference added to the running sum, which is never recomputed from the window.
template <class L>
BRINDLEX_STEP SmaStep<L> sma_roll(L sum, L entering, L leaving, L inv) noexcept {
    const L d = entering - leaving;
    const L next = sum + d;
    return {next, sma_mean(next, inv)};
}

}  // namespace brindlex::core
