// The weights of an exponential average of a period, in every lane of a lane type.
#pragma once

#include <cstdint>

#include "lanes.h"

namespace brindlex::core {

template <class L>
struct BlendWeights {
    L alpha;  // of the new value
    L beta;   // of the previous average
};
using Weights = BlendWeights<double>;

// alpha = 2 / (p + 1), with p converted to a double first (correctly rounded) and 1.0 added in
// double arithmetic; beta = 1 - alpha.
BRINDLEX_STEP Weights weights_of(std::uint64_t period) noexcept {
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    return {alpha, 1.0 - alpha};
}

template <class L>
BRINDLEX_STEP BlendWeights<L> in_lanes(Weights w) noexcept {
    return {Lanes<L>::all(w.alpha), Lanes<L>::all(w.beta)};
}

}  // namespace brindlex::core
