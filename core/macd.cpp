// MACD line, signal line and histogram in one pass, with the averages re-seeded after a NaN.
#include "macd.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "lane_ops.h"
#include "nan_marker.h"

namespace brindlex::core {
namespace {

// What the hardware yields for an invalid operation such as inf - inf; used where a seed sum is
// known to be NaN without being formed.
const double invalid_nan = std::bit_cast<double>(0xFFF8000000000000ULL);
const double inf = std::numeric_limits<double>::infinity();

// The last NaN, +inf and -inf read so far, each as one past its position (0: none yet). A seed
// window that holds a NaN, or both infinities, sums to NaN whatever else it holds; one that holds
// infinities of one sign sums to that infinity unless its finite values can overflow. Knowing this
// lets a failed seed attempt cost O(1) instead of the whole window, which keeps a NaN-sprinkled
// series linear. The record is only valid while the outputs do not overlap the input.
struct NonFiniteSeen {
    std::uint64_t nan = 0;
    std::uint64_t plus_inf = 0;
    std::uint64_t minus_inf = 0;
    int finite_sums_safe = -1;  // -1: not yet known

    // Selects, not branches: a series with non-finite values at random positions would
    // otherwise mispredict at every other element.
    void note(std::uint64_t i, double x) noexcept {
        const std::uint64_t here = i + 1;
        nan = std::isnan(x) ? here : nan;
        plus_inf = x == inf ? here : plus_inf;
        minus_inf = x == -inf ? here : minus_inf;
    }
};

// True when no partial sum of up to `len` finite values of `x` can overflow. Looked at only once
// a window with an infinity has to be judged, so a clean series never pays for it.
bool finite_sums_cannot_overflow(InputSlice x, std::uint64_t len) noexcept {
    double largest = 0.0;
    for (const double v : x) {
        if (is_finite(v)) largest = std::max(largest, std::fabs(v));
    }
    // A sum of len terms of size at most `largest` stays below len * largest * (1 + 2^-53)^len,
    // which the factor of two covers for any length that fits in memory.
    return largest <= (std::numeric_limits<double>::max() / 2.0) / static_cast<double>(len);
}

enum class Forced { none, nan, plus_inf, minus_inf };

// The value that summing the `len` values ending at position i is bound to produce, if any.
Forced forced_sum(NonFiniteSeen& seen, InputSlice x, std::uint64_t i, std::uint64_t len,
                  std::uint64_t longest) noexcept {
    const auto within = [&](std::uint64_t one_past) { return one_past + len > i + 1; };
    if (within(seen.nan)) return Forced::nan;
    const bool plus = within(seen.plus_inf);
    const bool minus = within(seen.minus_inf);
    if (plus && minus) return Forced::nan;
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

struct Weights {
    double alpha;
    double beta;
    explicit Weights(std::uint64_t period) noexcept
        : alpha(2.0 / (static_cast<double>(period) + 1.0)), beta(1.0 - alpha) {}
};

inline double blend(double average, double x, const Weights& w) noexcept {
    return (average * w.beta) + (x * w.alpha);
}

struct Averages {
    double fast = nan_marker;
    double slow = nan_marker;
};

// Both seed sums run backwards from position i. The slow window starts with the fast one, in the
// same order from the same -0.0, so the slow sum carries on from the fast partial sum; and a NaN
// fast sum leaves the slow sum NaN, so it is not formed then.
Averages sum_seed(const double* x, std::uint64_t i, std::uint64_t f, std::uint64_t s,
                  Forced slow_forced) noexcept {
    double sum = -0.0;
    for (std::uint64_t k = 0; k < f; ++k) sum = sum + x[i - k];
    Averages a;
    a.fast = sum / static_cast<double>(f);
    if (std::isnan(a.fast)) {
        a.slow = a.fast;
        return a;
    }
    if (slow_forced != Forced::none) {
        a.slow = forced_value(slow_forced);
        return a;
    }
    for (std::uint64_t k = f; k < s; ++k) sum = sum + x[i - k];
    a.slow = sum / static_cast<double>(s);
    return a;
}

struct Outputs {
    double* macd;
    double* signal;
    double* hist;

    void write(std::uint64_t i, double m, double sig, double h) const noexcept {
        macd[i] = m;
        signal[i] = sig;
        hist[i] = h;
    }
    void write_markers(std::uint64_t i) const noexcept {
        write(i, nan_marker, nan_marker, nan_marker);
    }
};

// Both averages from the windows that end at position i. With `Remember`, a window whose sum is
// bound to be NaN or an infinity is not summed.
template <bool Remember>
Averages seed(const double* x, std::uint64_t i, std::uint64_t f, std::uint64_t s,
              NonFiniteSeen& seen, InputSlice data) noexcept {
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
std::uint64_t skip_poisoned(const double* x, std::uint64_t i, std::uint64_t n, std::uint64_t f,
                            NonFiniteSeen& seen, const Outputs& out) noexcept {
    for (; i < n; ++i) {
        const std::uint64_t here = i + 1;
        seen.note(i, x[i]);
        const bool doomed = (seen.nan + f > here) |
                            ((seen.plus_inf + f > here) & (seen.minus_inf + f > here));
        if (!doomed) break;
        out.write_markers(i);
    }
    return i;
}

// While the averages and the signal all hold numbers, a position needs no test but one: any
// non-finite input then makes the histogram NaN (both averages turn into the same infinity, or
// NaN), and so does any other case the general step must decide. Such a position is left to the
// general step, from the state before it; nothing of it has been written yet.
std::uint64_t run_steady(const double* x, std::uint64_t i, std::uint64_t n, const Weights& fast_w,
                         const Weights& slow_w, const Weights& signal_w, Averages& avg,
                         double& signal, const Outputs& out) noexcept {
    // Locals, not the references: the output stores could alias them for all the compiler knows,
    // and a store and reload on every position would lengthen the dependency chain.
    double fast = avg.fast, slow = avg.slow, sig = signal;
    const Weights fw = fast_w, sw = slow_w, gw = signal_w;
    const Outputs o = out;
    for (; i < n; ++i) {
        const double xi = x[i];
        const double next_slow = blend(slow, xi, sw);
        const double next_fast = blend(fast, xi, fw);
        const double m = next_fast - next_slow;
        const double next_sig = (sig * gw.beta) + (gw.alpha * m);
        const double h = m - next_sig;
        if (std::isnan(h)) break;
        slow = next_slow;
        fast = next_fast;
        sig = next_sig;
        o.write(i, m, sig, h);
    }
    avg = {fast, slow};
    signal = sig;
    return i;
}

// run_steady two positions at a time, for when the outputs do not overlap the input (it reads
// the second input before writing the first position). One test covers both: the sum of the two
// histograms is NaN when either is, and otherwise only for opposite infinities, a false alarm
// that run_steady then sorts out position by position. Half the tests and state copies leave
// more of each cycle to the arithmetic.
std::uint64_t run_steady_pairs(const double* x, std::uint64_t i, std::uint64_t n,
                               const Weights& fast_w, const Weights& slow_w,
                               const Weights& signal_w, Averages& avg, double& signal,
                               const Outputs& out) noexcept {
    double fast = avg.fast, slow = avg.slow, sig = signal;
    const Weights fw = fast_w, sw = slow_w, gw = signal_w;
    const Outputs o = out;
    for (; i + 1 < n; i += 2) {
        const double x0 = x[i], x1 = x[i + 1];
        const double slow0 = blend(slow, x0, sw), fast0 = blend(fast, x0, fw);
        const double m0 = fast0 - slow0;
        const double sig0 = (sig * gw.beta) + (gw.alpha * m0);
        const double h0 = m0 - sig0;
        const double slow1 = blend(slow0, x1, sw), fast1 = blend(fast0, x1, fw);
        const double m1 = fast1 - slow1;
        const double sig1 = (sig0 * gw.beta) + (gw.alpha * m1);
        const double h1 = m1 - sig1;
        if (std::isnan(h0 + h1)) break;
        slow = slow1;
        fast = fast1;
        sig = sig1;
        o.write(i, m0, sig0, h0);
        o.write(i + 1, m1, sig1, h1);
    }
    avg = {fast, slow};
    signal = sig;
    return run_steady(x, i, n, fast_w, slow_w, signal_w, avg, signal, out);
}

// The steady loop for a stretch where NaN inputs are frequent: a NaN input keeps the state and
// writes the markers through masks instead of leaving the loop, so NaNs at random positions cost
// no mispredicted branches. The masks lengthen the dependency chain a little, which is why this
// is not the loop for a clean series. Other positions the general step must decide (an infinite
// input, a NaN histogram from numbers) still end it.
template <bool Remember>
std::uint64_t run_nan_tolerant(const double* x, std::uint64_t i, std::uint64_t end,
                               const Weights& fast_w, const Weights& slow_w,
                               const Weights& signal_w, Averages& avg, double& signal,
                               NonFiniteSeen& seen, const Outputs& out) noexcept {
    using lane::V;
    const V fa = lane::scalar(fast_w.alpha), fb = lane::scalar(fast_w.beta);
    const V sa = lane::scalar(slow_w.alpha), sb = lane::scalar(slow_w.beta);
    const V ga = lane::scalar(signal_w.alpha), gb = lane::scalar(signal_w.beta);
    const V marker = lane::scalar(nan_marker);
    V fast = lane::scalar(avg.fast), slow = lane::scalar(avg.slow), sig = lane::scalar(signal);
    const Outputs o = out;
    std::uint64_t last_nan = seen.nan;
    for (; i < end; ++i) {
        const V xi = lane::load(x + i);
        const V skip = lane::nan_mask(xi);
        const V next_slow = lane::blend(slow, xi, sa, sb);
        const V next_fast = lane::blend(fast, xi, fa, fb);
        const V m = _mm_sub_sd(next_fast, next_slow);
        const V next_sig = _mm_add_sd(_mm_mul_sd(sig, gb), _mm_mul_sd(ga, m));
        const V h = _mm_sub_sd(m, next_sig);
        if (lane::any(_mm_andnot_pd(skip, lane::nan_mask(h)))) break;
        const std::uint64_t skipped = lane::any(skip);
        last_nan += ((i + 1) - last_nan) & (std::uint64_t{0} - skipped);
        slow = lane::pick(skip, slow, next_slow);
        fast = lane::pick(skip, fast, next_fast);
        sig = lane::pick(skip, sig, next_sig);
        lane::store(o.macd + i, lane::pick(skip, marker, m));
        lane::store(o.signal + i, lane::pick(skip, marker, sig));
        lane::store(o.hist + i, lane::pick(skip, marker, h));
    }
    if constexpr (Remember) seen.nan = last_nan;
    avg = {lane::value(fast), lane::value(slow)};
    signal = lane::value(sig);
    return i;
}

// Once the slow average is NaN while the fast one is not, it stays NaN and so does every output,
// until the fast average turns NaN and brings a new seed; only the fast average is followed. The
// position where it turns NaN is handled here too.
template <bool Remember>
std::uint64_t run_slow_nan(const double* x, std::uint64_t i, std::uint64_t n,
                           const Weights& fast_w, Averages& avg, NonFiniteSeen& seen,
                           const Outputs& out) noexcept {
    const lane::V fa = lane::scalar(fast_w.alpha), fb = lane::scalar(fast_w.beta);
    lane::V fast = lane::scalar(avg.fast);
    for (; i < n; ++i) {
        if constexpr (Remember) seen.note(i, x[i]);
        const lane::V xi = lane::load(x + i);
        fast = lane::pick(lane::nan_mask(xi), fast, lane::blend(fast, xi, fa, fb));
        out.write_markers(i);
        if (lane::any(lane::nan_mask(fast))) {
            ++i;
            break;
        }
    }
    avg.fast = lane::value(fast);
    return i;
}

// One position by the full rules; returns whether the averages and the signal all hold numbers
// afterwards.
template <bool Remember>
bool general_step(const double* x, std::uint64_t i, std::uint64_t f, std::uint64_t s,
                  std::uint64_t signal_start, const Weights& fast_w, const Weights& slow_w,
                  const Weights& signal_w, NonFiniteSeen& seen, InputSlice data, Averages& avg,
                  double& signal, const Outputs& out) noexcept {
    const double xi = x[i];
    if (!is_finite(xi)) {
        if constexpr (Remember) seen.note(i, xi);
        if (std::isnan(xi)) {
            out.write_markers(i);
            return !std::isnan(avg.fast) && !std::isnan(avg.slow) && !std::isnan(signal);
        }
    }
    if (std::isnan(avg.fast)) {
        avg = seed<Remember>(x, i, f, s, seen, data);
    } else {
        avg.slow = blend(avg.slow, xi, slow_w);
        avg.fast = blend(avg.fast, xi, fast_w);
    }
    const double m = avg.fast - avg.slow;
    if (!std::isnan(signal)) {
        signal = (signal * signal_w.beta) + (signal_w.alpha * m);
    } else if (i >= signal_start) {
        signal = m;
    }
    const double h = std::isnan(signal) ? nan_marker : m - signal;
    out.write(i, m, signal, h);
    return !std::isnan(h);
}

// `Remember` selects the O(1) judgement of seed windows from earlier reads; without it every seed
// is summed from memory, which is what an output overlapping the input requires.
template <bool Remember>
void run(std::uint64_t f, std::uint64_t s, std::uint64_t g, InputSlice data, const Outputs& out) {
    const std::uint64_t n = data.size();
    const double* x = data.data();
    NonFiniteSeen seen;
    const std::uint64_t warm = std::min(s - 1, n);
    for (std::uint64_t i = 0; i < warm; ++i) {
        if constexpr (Remember) seen.note(i, x[i]);
        out.write_markers(i);
    }
    if (warm == n) return;  // a series too short for a value: no weights needed

    const Weights fast_w(f), slow_w(s), signal_w(g);
    const std::uint64_t signal_start = s + g - 2;  // wraps for huge g: the signal is then never due
    Averages avg;
    double signal = nan_marker;
    bool steady = false;  // the averages and the signal all hold numbers
    std::uint64_t tolerant_until = 0;
    std::uint64_t i = warm;
    while (i < n) {
        if (steady && i < tolerant_until) {
            i = run_nan_tolerant<Remember>(x, i, std::min(tolerant_until, n), fast_w, slow_w,
                                           signal_w, avg, signal, seen, out);
            if (i == tolerant_until) continue;
        } else if (steady) {
            const std::uint64_t start = i;
            i = Remember ? run_steady_pairs(x, i, n, fast_w, slow_w, signal_w, avg, signal, out)
                         : run_steady(x, i, n, fast_w, slow_w, signal_w, avg, signal, out);
            // NaNs close together: take the next stretch in the loop that skips them by selects.
            if (i < n && i - start < nan_run_threshold && std::isnan(x[i])) {
                tolerant_until = i + tolerant_stretch;
            }
        } else if (std::isnan(avg.fast)) {
            if constexpr (Remember) i = skip_poisoned(x, i, n, f, seen, out);
        } else if (std::isnan(avg.slow)) {
            i = run_slow_nan<Remember>(x, i, n, fast_w, avg, seen, out);
            continue;
        }
        if (i == n) break;
        steady = general_step<Remember>(x, i, f, s, signal_start, fast_w, slow_w, signal_w, seen,
                                        data, avg, signal, out);
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
