// The weights of an exponential average of a period, and the blend that applies them.
#pragma once

#include <cstdint>

namespace brindlex::core {

struct Weights {
    double alpha;  // of the new value
    double beta;   // of the previous average
};

// alpha = 2 / (p + 1), with p converted to a double first (correctly rounded) and 1.0 added in
// double arithmetic; beta = 1 - alpha.
inline Weights weights_of(std::uint64_t period) noexcept {
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    return {alpha, 1.0 - alpha};
}

// (average * beta) + (x * alpha): the two products formed separately, then added.
inline double blend(double average, double x, Weights w) noexcept {
    return (average * w.beta) + (x * w.alpha);
}

}  // namespace brindlex::core
