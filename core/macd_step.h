// One position of MACD: both averages, the MACD value, the signal line with its seeding rule, and the histogram.
#pragma once

#include "ema_step.h"
#include "lanes.h"
#include "weights.h"

namespace brindlex::core {

template <class L>
struct MacdWeights {
    BlendWeights<L> fast, slow, signal;
};

template <class L>
BRINDLEX_STEP MacdWeights<L> in_lanes(MacdWeights<double> w) noexcept {
    return {in_lanes<L>(w.fast), in_lanes<L>(w.slow), in_lanes<L>(w.signal)};
}

// Each starts as the marker: a NaN fast average means "not seeded", a NaN signal "signal not seeded".
template <class L>
struct MacdState {
    L fast = marker<L>();
    L slow = marker<L>();
    L signal = marker<L>();
};

template <class L>
struct MacdStep {
    MacdState<L> state;
    L macd, signal, hist;
};

// The signal line's update: the previous signal times beta plus alpha times the MACD value.
template <class L>
BRINDLEX_STEP L signal_blend(L signal, L m, BlendWeights<L> w) noexcept {
    return (signal * w.beta) + (w.alpha * m);
}

// The averages after a seeded position whose input is not NaN.
template <class L>
BRINDLEX_STEP MacdState<L> blend_averages(MacdState<L> s, L x, const MacdWeights<L>& w) noexcept {
    s.slow = blend(s.slow, x, w.slow);
    s.fast = blend(s.fast, x, w.fast);
    return s;
}

// One position while the averages and the signal all hold numbers, for an input that is not NaN.
// The result is the general rule's whenever its histogram is not NaN; a NaN histogram sends the
// position to macd_outputs, from the state before it.
template <class L>
BRINDLEX_STEP MacdStep<L> macd_steady_step(MacdState<L> s, L x, const MacdWeights<L>& w) noexcept {
    s = blend_averages(s, x, w);
    const L m = s.fast - s.slow;
    s.signal = signal_blend(s.signal, m, w.signal);
    return {s, m, s.signal, m - s.signal};
}

// The general rule once the averages are seeded or blended at a position whose input is not NaN:
// the MACD value; the signal blended, or seeded with that one MACD value once the position
// reaches the signal's start (`signal_due`), or left NaN; the histogram, the marker while the
// signal is NaN.
template <class L>
BRINDLEX_STEP MacdStep<L> macd_outputs(MacdState<L> s, typename Lanes<L>::Mask signal_due,
                                       const MacdWeights<L>& w) noexcept {
    using O = Lanes<L>;
    const L m = s.fast - s.slow;
    const auto unseeded = O::nan(s.signal);
    s.signal = O::pick(unseeded, O::pick(signal_due, m, s.signal), signal_blend(s.signal, m, w.signal));
    const L h = O::pick(O::nan(s.signal), marker<L>(), m - s.signal);
    return {s, m, s.signal, h};
}

// A NaN input: the markers in all three outputs and the state as it was.
template <class L>
BRINDLEX_STEP MacdStep<L> macd_skip(MacdState<L> s) noexcept {
    return {s, marker<L>(), marker<L>(), marker<L>()};
}

}  // namespace brindlex::core
