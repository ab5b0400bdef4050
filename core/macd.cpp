// MACD line, signal line and histogram in one pass, with the averages re-seeded after a NaN.
#include "macd.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "low_lane.h"
#include "macd_step.h"
#include "macd_steady_run.h"
#include "nan_marker.h"
#include "seeds.h"
#include "weights.h"

namespace brindlex::core {
namespace {

const double inf = std::numeric_limits<double>::infinity();

// The last NaN, +inf and -inf read so far. A seed window that holds a NaN, or both infinities,
// sums to NaN whatever else it holds; one that holds infinities of one sign sums to that infinity
// unless its finite values can overflow. Knowing this lets a failed seed attempt cost O(1) instead
// of the whole window, which keeps a NaN-sprinkled series linear. The record is only valid while
// the outputs do not overlap the input.
struct SeenSoFar : NonFiniteSeen {
    int finite_sums_safe = -1;  // -1: not yet known
};

// True when no partial sum of up to `len` finite values of `x` can overflow. Looked at only once
// a window with an infinity has to be judged, so a clean series never pays for it.
bool finite_sums_cannot_overflow(InputSlice x, std::uint64_t len) noexcept {
    double largest = 0.0;
    for (std::uint64_t i = 0; i < x.size(); ++i) {
        const double v = x[i];
        if (is_finite(v)) largest = std::max(largest, std::fabs(v));
    }
    // A sum of len terms of size at most `largest` stays below len * largest * (1 + 2^-53)^len,
    // which the factor of two covers for any length that fits in memory.
    return largest <= (std::numeric_limits<double>::max() / 2.0) / static_cast<double>(len);
}

enum class Forced { none, nan, plus_inf, minus_inf };

// The value that summing the `len` values ending at position i is bound to produce, if any.
Forced forced_sum(SeenSoFar& seen, InputSlice x, std::uint64_t i, std::uint64_t len,
                  std::uint64_t longest) noexcept {
    if (seed_doomed(seen, i, len)) return Forced::nan;
    const bool plus = window_holds(seen.plus_inf, i, len);
    const bool minus = window_holds(seen.minus_inf, i, len);
    if (!plus && !minus) return Forced::none;
    if (seen.finite_sums_safe < 0) seen.finite_sums_safe = finite_sums_cannot_overflow(x, longest);
    if (!seen.finite_sums_safe) return Forced::none;
    return plus ? Forced::plus_inf : Forced::minus_inf;
}

double forced_value(Forced f) noexcept {
    switch (f) {
        case Forced::plus_inf: return inf;
        case Forced::minus_inf: return -inf;
        default: return invalid_nan;
    }
}

// A steady run shorter than this that ends on a NaN input sends the next tolerant_stretch
// positions to the NaN-tolerant loop; after that the plain loop is tried again.
constexpr std::uint64_t nan_run_threshold = 64;
constexpr std::uint64_t tolerant_stretch = 4096;

using Averages = SeededAverages;

// Both averages from the windows that end at position i, by the shared seed.
Averages sum_seed(const unaligned_double* x, std::uint64_t i, std::uint64_t f, std::uint64_t s,
                  Forced slow_forced) noexcept {
    const auto back = [x, i](std::uint64_t k) { return double{x[i - k]}; };
    if (slow_forced != Forced::none) return macd_seed(f, s, back, forced_value(slow_forced));
    return macd_seed(f, s, back);
}

using Outputs = MacdOutputs;

// Both averages from the windows that end at position i. With `Remember`, a window whose sum is
// bound to be NaN or an infinity is not summed.
template <bool Remember>
Averages seed(const unaligned_double* x, std::uint64_t i, std::uint64_t f, std::uint64_t s,
              SeenSoFar& seen, InputSlice data) noexcept {
    Forced fast_forced = Forced::none, slow_forced = Forced::none;
    if constexpr (Remember) {
        fast_forced = forced_sum(seen, data, i, f, s);
        if (fast_forced != Forced::nan) slow_forced = forced_sum(seen, data, i, s, s);
    }
    if (fast_forced == Forced::nan) return {invalid_nan, invalid_nan};
    if (fast_forced != Forced::none && slow_forced != Forced::none) {
        return {forced_value(fast_forced), forced_value(slow_forced)};
    }
    return sum_seed(x, i, f, s, slow_forced);
}

// While no seed attempt can succeed (every fast window holds a NaN, or both infinities), all three
// outputs are NaN at every position: the marker where the input is NaN, a NaN of the arithmetic
// elsewhere, for which the marker serves as well. This loop writes them without a branch on the
// data, so a series with NaNs at random positions costs no mispredictions. It stops at the first
// position whose seed has to be judged in full.
std::uint64_t skip_poisoned(const unaligned_double* x, std::uint64_t i, std::uint64_t n, std::uint64_t f,
                            SeenSoFar& seen, const Outputs& out) noexcept {
    for (; i < n; ++i) {
        seen.note(i, x[i]);
        if (!seed_doomed(seen, i, f)) break;
        out.write_markers(i);
    }
    return i;
}

// The running state: both averages and the signal line. The loops below take it by value and
// hand it back by value, so that it stays in registers: a state reached through a reference
// could be aliased by the output stores, for all the compiler knows, and a store and a reload
// on every position would lengthen the dependency chain.
using State = MacdState<double>;

using Reached = MacdReached;

using AllWeights = MacdWeights<double>;

// The steady loop for a stretch where NaN inputs are frequent: a NaN input keeps the state and
// writes the markers through masks instead of leaving the loop, so NaNs at random positions cost
// no mispredicted branches. The masks lengthen the dependency chain a little, which is why this
// is not the loop for a clean series. Other positions the general step must decide (an infinite
// input, a NaN histogram from numbers) still end it.
template <bool Remember>
Reached run_nan_tolerant(const unaligned_double* x, std::uint64_t i, std::uint64_t end, const AllWeights w,
                         const State st, SeenSoFar& seen, const Outputs o) noexcept {
    using lane::V;
    using O = lane::Ops;
    const MacdWeights<V> lw = in_lanes<V>(w);
    const V marker = core::marker<V>();
    MacdState<V> s{lane::scalar(st.fast), lane::scalar(st.slow), lane::scalar(st.signal)};
    std::uint64_t last_nan = seen.nan;
    for (; i < end; ++i) {
        const V xi = lane::load(x + i);
        const V skip = O::nan(xi);
        const MacdStep<V> next = macd_steady_step(s, xi, lw);
        if (lane::low_set(two_lanes::and_not(skip, O::nan(next.hist)))) break;
        const std::uint64_t skipped = lane::low_set(skip);
        last_nan += ((i + 1) - last_nan) & (std::uint64_t{0} - skipped);
        s.slow = O::pick(skip, s.slow, next.state.slow);
        s.fast = O::pick(skip, s.fast, next.state.fast);
        s.signal = O::pick(skip, s.signal, next.state.signal);
        lane::store(o.macd + i, O::pick(skip, marker, next.macd));
        lane::store(o.signal + i, O::pick(skip, marker, s.signal));
        lane::store(o.hist + i, O::pick(skip, marker, next.hist));
    }
    if constexpr (Remember) seen.nan = last_nan;
    return {i, State{lane::value(s.fast), lane::value(s.slow), lane::value(s.signal)}};
}

// Once the slow average is NaN while the fast one is not, it stays NaN and so does every output,
// until the fast average turns NaN and brings a new seed; only the fast average is followed. The
// position where it turns NaN is handled here too.
template <bool Remember>
Reached run_slow_nan(const unaligned_double* x, std::uint64_t i, std::uint64_t n, const Weights fast_w,
                     State st, SeenSoFar& seen, const Outputs o) noexcept {
    using O = lane::Ops;
    const BlendWeights<lane::V> fw = in_lanes<lane::V>(fast_w);
    lane::V fast = lane::scalar(st.fast);
    for (; i < n; ++i) {
        if constexpr (Remember) seen.note(i, x[i]);
        const lane::V xi = lane::load(x + i);
        fast = O::pick(O::nan(xi), fast, blend(fast, xi, fw));
        o.write_markers(i);
        if (lane::low_set(O::nan(fast))) {
            ++i;
            break;
        }
    }
    st.fast = lane::value(fast);
    return {i, st};
}

// One position by the full rules; returns whether the averages and the signal all hold numbers
// afterwards. Inlined, so that the state it updates stays in registers.
template <bool Remember>
[[gnu::always_inline]] inline bool general_step(const unaligned_double* x, std::uint64_t i, std::uint64_t f,
                                                std::uint64_t s, std::uint64_t signal_start,
                                                const AllWeights& w, SeenSoFar& seen,
                                                InputSlice data, State& st,
                                                const Outputs& out) noexcept {
    const double xi = x[i];
    if (!is_finite(xi)) {
        if constexpr (Remember) seen.note(i, xi);
        if (std::isnan(xi)) {
            out.write_markers(i);
            return !std::isnan(st.fast) && !std::isnan(st.slow) && !std::isnan(st.signal);
        }
    }
    if (std::isnan(st.fast)) {
        const Averages seeded = seed<Remember>(x, i, f, s, seen, data);
        st.fast = seeded.fast;
        st.slow = seeded.slow;
    } else {
        st = blend_averages(st, xi, w);
    }
    const MacdStep<double> step = macd_outputs(st, i >= signal_start, w);
    st = step.state;
    out.write(i, step.macd, step.signal, step.hist);
    return !std::isnan(step.hist);
}

// `Remember` selects the O(1) judgement of seed windows from earlier reads; without it every seed
// is summed from memory, which is what an output overlapping the input requires.
template <bool Remember>
void run(std::uint64_t f, std::uint64_t s, std::uint64_t g, InputSlice data, const Outputs& out) {
    const std::uint64_t n = data.size();
    const unaligned_double* x = data.data();
    SeenSoFar seen;
    const std::uint64_t warm = std::min(s - 1, n);
    for (std::uint64_t i = 0; i < warm; ++i) {
        if constexpr (Remember) seen.note(i, x[i]);
        out.write_markers(i);
    }
    if (warm == n) return;  // a series too short for a value: no weights needed

    const AllWeights w{weights_of(f), weights_of(s), weights_of(g)};
    const std::uint64_t signal_start = macd_signal_start(s, g);
    State st;
    bool steady = false;  // the averages and the signal all hold numbers
    std::uint64_t tolerant_until = 0;
    std::uint64_t i = warm;
    const auto take = [&](Reached r) {
        i = r.i;
        st = r.state;
    };
    while (i < n) {
        if (steady && i < tolerant_until) {
            take(run_nan_tolerant<Remember>(x, i, std::min(tolerant_until, n), w, st, seen, out));
            if (i == tolerant_until) continue;
        } else if (steady) {
            const std::uint64_t start = i;
            take(Remember ? macd_run_steady_pairs(x, i, n, w, st, out) : macd_run_steady(x, i, n, w, st, out));
            // NaNs close together: take the next stretch in the loop that skips them by selects.
            if (i < n && i - start < nan_run_threshold && std::isnan(x[i])) {
                tolerant_until = i + tolerant_stretch;
            }
        } else if (std::isnan(st.fast)) {
            if constexpr (Remember) i = skip_poisoned(x, i, n, f, seen, out);
        } else if (std::isnan(st.slow)) {
            take(run_slow_nan<Remember>(x, i, n, w.fast, st, seen, out));
            continue;
        }
        if (i == n) break;
        steady = general_step<Remember>(x, i, f, s, signal_start, w, seen, data, st, out);
        ++i;
    }
}

}  // namespace

void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputSlice data, OutputSlice macd_output, OutputSlice signal_output,
          OutputSlice hist_output) noexcept {
    const Outputs out{macd_output.data(), signal_output.data(), hist_output.data()};
    const bool aliased = overlaps(data, macd_output) || overlaps(data, signal_output) ||
                         overlaps(data, hist_output);
    if (aliased) {
        run<false>(fast_period, slow_period, signal_period, data, out);
    } else {
        run<true>(fast_period, slow_period, signal_period, data, out);
    }
}

}  // namespace brindlex::core
