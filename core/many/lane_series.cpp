// One series of a many-series call on its own: seeds as the one-series kernels find them, tails by the shared steps.
#include "core/many/lane_series.h"

#include "core/atr_step.h"
#include "core/continuations.h"
#include "core/ema_step.h"
#include "core/nan_marker.h"
#include "core/seeds.h"
#include "core/sma_step.h"

namespace brindlex::core {

EmaSeed ema_seed_of(Strand x, std::uint64_t n, std::uint64_t p) noexcept {
    return ema_seed_search([x](std::uint64_t i) { return x[i]; }, n, p);
}

MacdSeed macd_seed_of(Strand x, std::uint64_t f, std::uint64_t s) noexcept {
    const std::uint64_t i = s - 1;
    for (std::uint64_t k = 0; k <= i; ++k) {
        if (is_nan(x[k])) return {false, 0, 0};
    }
    const auto [fast, slow] = macd_seed(f, s, [&](std::uint64_t k) { return x[i - k]; });
    return {!is_nan(fast) && !is_nan(slow), fast, slow};
}

void sma_tail(std::uint64_t p, double sum, Strand x, OutStrand y, std::uint64_t from, std::uint64_t to) noexcept {
    sma_continue(sum, p, reciprocal_of(p), x, y, from, to);
}

void ema_tail(std::uint64_t p, double value, Strand x, OutStrand y, std::uint64_t from, std::uint64_t to) noexcept {
    const Weights w = weights_of(p);
    for (std::uint64_t i = from; i < to; ++i) {
        const EmaStep<double> s = ema_step(value, x[i], w);
        value = s.value;
        y[i] = s.output;
    }
}

bool macd_tail(std::uint64_t f, std::uint64_t s, std::uint64_t g, MacdState<double>& state, Strand x,
               OutStrand m, OutStrand sig, OutStrand h, std::uint64_t from, std::uint64_t to) noexcept {
    const MacdWeights<double> w{weights_of(f), weights_of(s), weights_of(g)};
    const std::uint64_t signal_start = macd_signal_start(s, g);
    for (std::uint64_t i = from; i < to; ++i) {
        const double xi = x[i];
        const MacdStep<double> step = is_nan(xi) ? macd_skip(state)
                                                 : macd_outputs(blend_averages(state, xi, w), i >= signal_start, w);
        state = step.state;
        if (is_nan(state.fast) || is_nan(state.slow)) return false;
        m[i] = step.macd;
        sig[i] = step.signal;
        h[i] = step.hist;
    }
    return true;
}

void atr_tail(std::uint64_t p, double value, Strand high, Strand low, Strand close, OutStrand y, std::uint64_t from,
              std::uint64_t to) noexcept {
    const auto range = [&](std::uint64_t j) { return true_range(high[j], low[j], close[j - 1]); };
    atr_continue(value, reciprocal_of(p), range, y, from, to);
}

}  // namespace brindlex::core
