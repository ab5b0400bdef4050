// MACD's loop while the averages and the signal all hold numbers, for the one-series kernel and the stream's stretches.
#pragma once

#include <cmath>
#include <cstdint>

#include "float_slice.h"
#include "macd_step.h"
#include "nan_marker.h"

namespace brindlex::core {

// The three outputs of a MACD series.
struct MacdOutputs {
    unaligned_double* macd;
    unaligned_double* signal;
    unaligned_double* hist;

    void write(std::uint64_t i, double m, double sig, double h) const noexcept {
        macd[i] = m;
        signal[i] = sig;
        hist[i] = h;
    }
    void write_markers(std::uint64_t i) const noexcept {
        write(i, nan_marker, nan_marker, nan_marker);
    }
};

// The state taken by value and handed back by value, so that it stays in registers: a state
// reached through a reference could be aliased by the output stores, for all the compiler knows.
struct MacdReached {
    std::uint64_t i;  // the first position not handled
    MacdState<double> state;
};

// While the averages and the signal all hold numbers, a position needs no test but one: any
// non-finite input then makes the histogram NaN (both averages turn into the same infinity, or
// NaN), and so does any other case the general step must decide. Such a position is left to the
// general step, from the state before it; nothing of it has been written yet.
inline MacdReached macd_run_steady(const unaligned_double* x, std::uint64_t i, std::uint64_t n,
                                   const MacdWeights<double> w, MacdState<double> st, const MacdOutputs o) noexcept {
    for (; i < n; ++i) {
        const MacdStep<double> s = macd_steady_step(st, double{x[i]}, w);
        if (std::isnan(s.hist)) break;
        st = s.state;
        o.write(i, s.macd, s.signal, s.hist);
    }
    return {i, st};
}

// macd_run_steady two positions at a time, for when the outputs do not overlap the input (it
// reads the second input before writing the first position). One test covers both: the sum of the two
// histograms is NaN when either is, and otherwise only for opposite infinities, a false alarm
// that macd_run_steady then sorts out position by position. Half the tests and state copies leave
// more of each cycle to the arithmetic.
inline MacdReached macd_run_steady_pairs(const unaligned_double* x, std::uint64_t i, std::uint64_t n,
                                         const MacdWeights<double> w, MacdState<double> st,
                                         const MacdOutputs o) noexcept {
    for (; i + 1 < n; i += 2) {
        const MacdStep<double> s0 = macd_steady_step(st, double{x[i]}, w);
        const MacdStep<double> s1 = macd_steady_step(s0.state, double{x[i + 1]}, w);
        if (std::isnan(s0.hist + s1.hist)) break;
        st = s1.state;
        o.write(i, s0.macd, s0.signal, s0.hist);
        o.write(i + 1, s1.macd, s1.signal, s1.hist);
    }
    return macd_run_steady(x, i, n, w, st, o);
}

}  // namespace brindlex::core
