// What surrounds the per-bar steps, written once for every layer: seed sums, MACD's seed and signal start, 1 / period.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "ema_step.h"
#include "lanes.h"
#include "nan_marker.h"

namespace brindlex::core {

// 1 / p, by which SMA's mean and ATR's smoothing multiply: a product on every bar, never a division.
BRINDLEX_STEP double reciprocal_of(std::uint64_t period) noexcept {
    return 1.0 / static_cast<double>(period);
}

// Where the seed sums start. SMA, EMA and MACD sum from -0.0, the sum of nothing, so that a window
// of negative zeros keeps its sign; ATR sums its true ranges from +0.0, so that no zero it shows
// depends on which of two tied zeros a maximum picked.
template <class L>
BRINDLEX_STEP L average_sum_start() noexcept {
    return Lanes<L>::all(-0.0);
}
template <class L>
BRINDLEX_STEP L true_range_sum_start() noexcept {
    return Lanes<L>::all(+0.0);
}

// `sum` plus the values at(k) for k from `from` to `to` - 1, added one at a time in that order:
// the one order every layer's seed follows, whatever holds the values (a series, a strided
// series, a ring, lanes). `at` may also count backwards from a position.
template <class L, class At>
BRINDLEX_STEP L seed_sum(L sum, std::uint64_t from, std::uint64_t to, At at) noexcept {
    for (std::uint64_t k = from; k < to; ++k) sum = sum + at(k);
    return sum;
}

// The finite values in a row that end at x: one more than before it, or none when x is not
// finite. A mask rather than a branch: in a series with non-finite values at random positions a
// branch would mispredict at every other element.
BRINDLEX_STEP std::uint64_t finite_run(std::uint64_t run, double x) noexcept {
    return (run + 1) & (std::uint64_t{0} - std::uint64_t{is_finite(x)});
}

// EMA's seed: the position where the first run of p finite values ends (n if there is none), and
// the mean of that run, summed from -0.0 in order.
struct EmaSeed {
    std::uint64_t first;
    double value;
};

// The seed of the n values at(0) .. at(n - 1), 1 <= p. A non-finite value rules out every start
// up to its own position at once, so one pass finds the first run whatever the pattern of NaNs.
template <class At>
EmaSeed ema_seed_search(At at, std::uint64_t n, std::uint64_t p) noexcept {
    std::uint64_t run = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        run = finite_run(run, at(i));
        if (run != p) continue;
        const std::uint64_t j = i + 1 - p;
        const double sum = seed_sum(average_sum_start<double>(), 0, p, [&](std::uint64_t k) { return at(j + k); });
        return {i, ema_seed(sum, static_cast<double>(p))};
    }
    return {n, 0.0};
}

// Position s + g - 2, from which MACD's signal line may be seeded. Wraps for a huge g, and is then
// already passed: the signal is seeded with the first MACD value.
BRINDLEX_STEP std::uint64_t macd_signal_start(std::uint64_t slow_period, std::uint64_t signal_period) noexcept {
    return slow_period + signal_period - 2;
}

struct SeededAverages {
    double fast, slow;
};

// Both of MACD's averages seeded from the windows that end at one position, at(k) being the value
// k positions back from it. Both sums run backwards from -0.0 and the slow one goes on from the
// fast partial sum, which is the same sequence of additions. A NaN fast average leaves the slow
// one NaN without its sum. `known_slow`: the slow average when the caller knows what its sum is
// bound to give (its window holds a NaN or an infinity), so that it is not formed.
template <class At>
BRINDLEX_STEP SeededAverages macd_seed(std::uint64_t f, std::uint64_t s, At at,
                                 std::optional<double> known_slow = std::nullopt) noexcept {
    const double fast_sum = seed_sum(average_sum_start<double>(), 0, f, at);
    const double fast = ema_seed(fast_sum, static_cast<double>(f));
    if (is_nan(fast)) return {fast, fast};
    if (known_slow) return {fast, *known_slow};
    return {fast, ema_seed(seed_sum(fast_sum, f, s, at), static_cast<double>(s))};
}

// What the hardware yields for an invalid operation such as inf - inf: the NaN that a seed sum
// known to be NaN stands for, without being formed. Not the marker, which only the rules write.
inline constexpr double invalid_nan = std::bit_cast<double>(0xFFF8000000000000ULL);

// The last NaN, +inf and -inf seen, each as one past its position (0: none yet).
struct NonFiniteSeen {
    std::uint64_t nan = 0;
    std::uint64_t plus_inf = 0;
    std::uint64_t minus_inf = 0;

    // Selects, not branches: a series with non-finite values at random positions would
    // otherwise mispredict at every other element. Compares, not bit tests, for the NaN as for
    // the infinities: the kernel calls this on every element while no seed can succeed.
    BRINDLEX_STEP void note(std::uint64_t i, double x) noexcept {
        const std::uint64_t here = i + 1;
        nan = std::isnan(x) ? here : nan;
        plus_inf = x == inf ? here : plus_inf;
        minus_inf = x == -inf ? here : minus_inf;
    }

    static constexpr double inf = std::numeric_limits<double>::infinity();
};

// True when the window of `len` values ending at position i (i + 1 >= len) holds the value seen
// at `one_past` - 1.
BRINDLEX_STEP bool window_holds(std::uint64_t one_past, std::uint64_t i, std::uint64_t len) noexcept {
    return one_past + len > i + 1;
}

// True when the window of `len` values ending at position i is bound to sum to NaN: it holds a
// NaN, or infinities of both signs. Knowing it spares the sum, so that a failed seed costs O(1).
// Bitwise, so that a loop over NaN-sprinkled data does not branch on it.
BRINDLEX_STEP bool seed_doomed(const NonFiniteSeen& seen, std::uint64_t i, std::uint64_t len) noexcept {
    return window_holds(seen.nan, i, len) |
           (window_holds(seen.plus_inf, i, len) & window_holds(seen.minus_inf, i, len));
}

}  // namespace brindlex::core
