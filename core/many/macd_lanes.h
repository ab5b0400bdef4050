// MACD over a group of lanes: a steady rule while every value is a number, the general rule around NaNs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "core/macd_step.h"
#include "core/weights.h"
#include "core/many/lane_group.h"
#include "core/seeds.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// The lanes follow the rule of a series whose averages are seeded at s - 1 and never turn NaN;
// a series that leaves it (a NaN input before the seed, a NaN seed, an average turning NaN,
// where the one-series kernel takes its shortcuts) is computed whole by that kernel instead.
// Member by member: a copy of the whole record may go through memory in halves, and a vector
// read back whole from two half stores waits for both.
BRINDLEX_STEP void assign(MacdState<V>& to, const MacdState<V>& from) noexcept {
    to.fast = from.fast;
    to.slow = from.slow;
    to.signal = from.signal;
}

// A sweep's lane: its three periods.
struct MacdPeriods {
    std::uint64_t fast, slow, signal;
};
using LaneMacdPeriods = MacdPeriods[G];

// Swept: every lane reads one series with periods of its own (`periods`, set after construction,
// each with slow - 1 < n); f, s and g are then unused.
template <bool Swept>
struct MacdLanesOf {
    static constexpr bool outputs_stream = true;
    Mode in_mode() const noexcept { return in.mode; }
    std::uint64_t f, s, g, n;
    In in;
    Out out[3];
    MacdState<V> st[R]{};
    MacdState<V> saved[R]{};  // the state before a tile the steady rule tries
    MacdWeights<V> w[Swept ? R : 1]{};
    std::uint64_t signal_start = 0;
    bool unusable[G]{};
    [[no_unique_address]] std::conditional_t<Swept, LaneMacdPeriods, NoPeriods> periods{};

    // Whether periods q give a series of n elements any value.
    static bool computes(const MacdPeriods& q, std::uint64_t n) noexcept { return q.slow - 1 < n; }

    // A sweep: each lane as the one-series kernel begins (the seeds at slow - 1 when it keeps to
    // the lanes' rule, else the lane is redone whole), up to where every lane's signal has
    // started; from there all lanes step together.
    std::uint64_t begin_each() noexcept {
        std::uint64_t t0 = 0;
        for (const MacdPeriods& q : periods) {
            const std::uint64_t start = macd_signal_start(q.slow, q.signal);  // may lie beyond the series
            t0 = std::max({t0, q.slow, start < n ? start + 1 : n});
        }
        t0 = smaller(t0, n);
        signal_start = 0;
        for (int j = 0; j < G; ++j) {
            const MacdPeriods q = periods[j];
            const Strand x = in.strand(j);
            const OutStrand y[3] = {out_strand(out[0], j), out_strand(out[1], j), out_strand(out[2], j)};
            for (const OutStrand& o : y) {
                for (std::uint64_t t = 0; t + 1 < q.slow; ++t) o[t] = nan_marker;
            }
            const MacdWeights<double> lane{weights_of(q.fast), weights_of(q.slow), weights_of(q.signal)};
            const MacdSeed seed = macd_seed_of(x, q.fast, q.slow);
            MacdState<double> state{seed.fast, seed.slow, nan_marker};
            unusable[j] = !seed.usable;
            if (seed.usable) {
                const MacdStep<double> step = macd_outputs(state, q.slow - 1 >= macd_signal_start(q.slow, q.signal), lane);
                y[0][q.slow - 1] = step.macd;
                y[1][q.slow - 1] = step.signal;
                y[2][q.slow - 1] = step.hist;
                state = step.state;
                unusable[j] = !macd_tail(q.fast, q.slow, q.signal, state, x, y[0], y[1], y[2], q.slow, t0);
            }
            // A lane to be redone carries numbers, so that it sends no tile to the general rule.
            if (unusable[j]) state = {0.0, 0.0, 0.0};
            st[j / W].fast[j % W] = state.fast;
            st[j / W].slow[j % W] = state.slow;
            st[j / W].signal[j % W] = state.signal;
            for (auto [to, from] : {std::pair{&w[j / W].fast, lane.fast}, std::pair{&w[j / W].slow, lane.slow},
                                    std::pair{&w[j / W].signal, lane.signal}}) {
                to->alpha[j % W] = from.alpha;
                to->beta[j % W] = from.beta;
            }
        }
        return t0;
    }

    // The general rule: a NaN input skipped through masks, the signal's seeding, the marker in
    // the histogram while the signal is NaN.
    template <int T, int R0, int P, Mode M>
    BRINDLEX_STEP void general(std::uint64_t t, MacdState<V> (&a)[R]) const noexcept {
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) {
            const MacdWeights<V>& k = w[Swept ? r : 0];
            V x[T], m[T], sig[T], h[T];
            load<T, M>(in, t, r, x);
            BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) {
                const auto skip = O::nan(x[tt]);
                const MacdStep<V> step = macd_outputs(blend_averages(a[r], x[tt], k), O::when(t + tt >= signal_start), k);
                a[r].fast = O::pick(skip, a[r].fast, step.state.fast);
                a[r].slow = O::pick(skip, a[r].slow, step.state.slow);
                a[r].signal = O::pick(skip, a[r].signal, step.state.signal);
                m[tt] = O::pick(skip, marker<V>(), step.macd);
                sig[tt] = O::pick(skip, marker<V>(), step.signal);
                h[tt] = O::pick(skip, marker<V>(), step.hist);
            }
            store<T, M>(out[0], t, r, m);
            store<T, M>(out[1], t, r, sig);
            store<T, M>(out[2], t, r, h);
        }
    }

    // The steady rule, as in the one-series kernel: while every histogram comes out a number, the
    // general rule gives the same. Returns false, having written what the general rule then
    // overwrites, when one does not.
    template <int T, int R0, int P, Mode M>
    BRINDLEX_STEP bool steady(std::uint64_t t, MacdState<V> (&a)[R]) noexcept {
        V bad = O::all(0.0);
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) {
            const MacdWeights<V>& k = w[Swept ? r : 0];
            V x[T], m[T], sig[T], h[T];
            load<T, M>(in, t, r, x);
            assign(saved[r], a[r]);
            BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) {
                const MacdStep<V> step = macd_steady_step(a[r], x[tt], k);
                assign(a[r], step.state);
                m[tt] = step.macd, sig[tt] = step.signal, h[tt] = step.hist;
                // A sum of the histograms is NaN when any of them is (and, rarely, for opposite
                // infinities, a false alarm the general rule sorts out).
                bad = bad + step.hist;
            }
            store<T, M>(out[0], t, r, m);
            store<T, M>(out[1], t, r, sig);
            store<T, M>(out[2], t, r, h);
        }
        if (!O::any(O::nan(bad))) return true;
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) assign(a[r], saved[r]);
        return false;
    }

    // Registers R0..R0 + P - 1 over the whole stretch, the arrays in layout M.
    template <int R0, int P, Mode M>
    void steps(std::uint64_t from, std::uint64_t to) noexcept {
        MacdState<V> a[R];
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) assign(a[r], st[r]);
        // After a tile the steady rule could not take, the next few go straight to the general
        // one: NaNs tend to come in stretches, and each failed attempt costs a tile.
        std::uint64_t general_until = 0;
        const auto tile = [&]<int T, Mode>(std::uint64_t t) BRINDLEX_LAMBDA {
            if constexpr (T > 1) {
                if (t >= general_until && t >= signal_start && steady<T, R0, P, M>(t, a)) return;
                if (t >= general_until) general_until = t + 16 * W;
            }
            general<T, R0, P, M>(t, a);
        };
        sweep_as<M>(from, to, tile, lines_of(out[0]));
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) assign(st[r], a[r]);
    }

    // A sweep's lanes too go a few registers at a pass: their weights differ from register to
    // register, and a whole group's states and weights at once would not stay in registers.
    void steps(std::uint64_t from, std::uint64_t to) noexcept {
        with_mode(common_mode(in, out[0], out[1], out[2]), [&]<Mode M>() BRINDLEX_LAMBDA {
            by_passes(in, [&]<int R0, int P>() BRINDLEX_LAMBDA { steps<R0, P, M>(from, to); }, out[0], out[1], out[2]);
        });
    }

    std::uint64_t begin() noexcept {
        if constexpr (Swept) return begin_each();
        const std::uint64_t warm = smaller(s - 1, n);
        for (const Out& o : out) fill_markers(o, 0, warm);
        for (int j = 0; j < G; ++j) unusable[j] = false;
        if (warm == n) return n;
        for (int j = 0; j < G; ++j) {
            const MacdSeed seed = macd_seed_of(in.strand(j), f, s);
            unusable[j] = !seed.usable;
            st[j / W].fast[j % W] = seed.fast;
            st[j / W].slow[j % W] = seed.slow;
            st[j / W].signal[j % W] = nan_marker;
        }
        w[0] = in_lanes<V>(MacdWeights<double>{weights_of(f), weights_of(s), weights_of(g)});
        signal_start = macd_signal_start(s, g);
        // Position s - 1: the seeded averages, then the general rule for the signal and histogram.
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
            const MacdStep<V> step = macd_outputs(st[r], O::when(s - 1 >= signal_start), w[0]);
            st[r] = step.state;
            V m[1] = {step.macd}, sig[1] = {step.signal}, h[1] = {step.hist};
            store<1>(out[0], s - 1, r, m);
            store<1>(out[1], s - 1, r, sig);
            store<1>(out[2], s - 1, r, h);
        }
        return s;
    }

    void advance(std::uint64_t from, std::uint64_t to) noexcept { steps(from, to); }

    // A NaN average stays NaN under the blend, so the state at the end tells whether one ever was.
    void finish(GroupEnd& end) const noexcept {
        const bool ran = Swept || smaller(s - 1, n) != n;
        for (int j = 0; j < G; ++j) {
            const MacdState<double> lane{st[j / W].fast[j % W], st[j / W].slow[j % W], st[j / W].signal[j % W]};
            end.redo[j] = ran && (unusable[j] || lane.fast != lane.fast || lane.slow != lane.slow);
            end.resumable[j] = ran && !end.redo[j];
            end.state[j] = lane;
        }
    }
};

using MacdLanes = MacdLanesOf<false>;
using MacdSweepLanes = MacdLanesOf<true>;

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
