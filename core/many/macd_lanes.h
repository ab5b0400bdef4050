// MACD over a group of lanes: a steady rule while every value is a number, the general rule around NaNs.
#pragma once

#include <cstdint>

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

struct MacdLanes {
    Mode in_mode() const noexcept { return in.mode; }
    std::uint64_t f, s, g, n;
    In in;
    Out out[3];
    MacdState<V> st[R]{};
    MacdState<V> saved[R]{};  // the state before a tile the steady rule tries
    MacdWeights<V> w{};
    std::uint64_t signal_start = 0;
    bool unusable[G]{};

    // The general rule: a NaN input skipped through masks, the signal's seeding, the marker in
    // the histogram while the signal is NaN.
    template <int T, int R0, int P>
    BRINDLEX_STEP void general(std::uint64_t t, MacdState<V> (&a)[R]) const noexcept {
        const MacdWeights<V>& k = w;
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) {
            V x[T], m[T], sig[T], h[T];
            load<T>(in, t, r, x);
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
            store<T>(out[0], t, r, m);
            store<T>(out[1], t, r, sig);
            store<T>(out[2], t, r, h);
        }
    }

    // The steady rule, as in the one-series kernel: while every histogram comes out a number, the
    // general rule gives the same. Returns false, having written what the general rule then
    // overwrites, when one does not.
    template <int R0, int P>
    BRINDLEX_STEP bool steady(std::uint64_t t, MacdState<V> (&a)[R]) noexcept {
        const MacdWeights<V>& k = w;
        V bad = O::all(0.0);
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) {
            V x[W], m[W], sig[W], h[W];
            load<W>(in, t, r, x);
            assign(saved[r], a[r]);
            BRINDLEX_UNROLL for (int tt = 0; tt < W; ++tt) {
                const MacdStep<V> step = macd_steady_step(a[r], x[tt], k);
                assign(a[r], step.state);
                m[tt] = step.macd, sig[tt] = step.signal, h[tt] = step.hist;
                // A sum of the histograms is NaN when any of them is (and, rarely, for opposite
                // infinities, a false alarm the general rule sorts out).
                bad = bad + step.hist;
            }
            store<W>(out[0], t, r, m);
            store<W>(out[1], t, r, sig);
            store<W>(out[2], t, r, h);
        }
        if (!O::any(O::nan(bad))) return true;
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) assign(a[r], saved[r]);
        return false;
    }

    // Registers R0..R0 + P - 1 over the whole stretch.
    template <int R0, int P>
    void steps(std::uint64_t from, std::uint64_t to) noexcept {
        MacdState<V> a[R];
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) assign(a[r], st[r]);
        std::uint64_t t = from;
        // After a tile the steady rule could not take, the next few go straight to the general
        // one: NaNs tend to come in stretches, and each failed attempt costs a tile.
        std::uint64_t general_until = 0;
        for (; t + W <= to; t += W) {
            if (t >= general_until && t >= signal_start && steady<R0, P>(t, a)) continue;
            if (t >= general_until) general_until = t + 16 * W;
            general<W, R0, P>(t, a);
        }
        for (; t < to; ++t) general<1, R0, P>(t, a);
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) assign(st[r], a[r]);
    }

    void steps(std::uint64_t from, std::uint64_t to) noexcept {
        by_passes(in.mode, [&]<int R0, int P>() BRINDLEX_LAMBDA { steps<R0, P>(from, to); });
    }

    std::uint64_t begin() noexcept {
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
        w = in_lanes<V>(MacdWeights<double>{weights_of(f), weights_of(s), weights_of(g)});
        signal_start = macd_signal_start(s, g);
        // Position s - 1: the seeded averages, then the general rule for the signal and histogram.
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
            const MacdStep<V> step = macd_outputs(st[r], O::when(s - 1 >= signal_start), w);
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
        const bool ran = smaller(s - 1, n) != n;
        for (int j = 0; j < G; ++j) {
            const MacdState<double> lane{st[j / W].fast[j % W], st[j / W].slow[j % W], st[j / W].signal[j % W]};
            end.redo[j] = ran && (unusable[j] || lane.fast != lane.fast || lane.slow != lane.slow);
            end.resumable[j] = ran && !end.redo[j];
            end.state[j] = lane;
        }
    }
};

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
