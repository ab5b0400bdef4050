// ATR over a group of lanes: the seed of the first true ranges, then the smoothing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "core/atr_step.h"
#include "core/continuations.h"
#include "core/many/lane_group.h"
#include "core/seeds.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// Swept: every lane reads one series of bars with a period of its own (`periods`, set after
// construction, each from 1 to n - 1); `p` is then unused.
template <bool Swept>
struct AtrLanesOf {
    // Never streamed, measured: its one output is a quarter of its traffic, and streaming it saved
    // nothing at 4,000 x 2,520 and cost 10 % at 500 x 2,520.
    static constexpr bool outputs_stream = false;
    Mode in_mode() const noexcept { return in[0].mode; }
    std::uint64_t p, n;
    In in[3];
    Out out;
    V value[R]{}, inv[Swept ? R : 1]{};
    [[no_unique_address]] std::conditional_t<Swept, LanePeriods, NoPeriods> periods{};

    // Whether period q gives n bars any value: the first needs q true ranges, q + 1 bars.
    static bool computes(std::uint64_t q, std::uint64_t n) noexcept { return q != 0 && q < n; }

    // A sweep: each lane as the one-series kernel begins, up to where the longest period has its
    // first value; from there all lanes smooth together.
    std::uint64_t begin_each() noexcept {
        std::uint64_t t0 = 0;
        for (int j = 0; j < G; ++j) t0 = std::max(t0, periods[j] + 1);
        for (int j = 0; j < G; ++j) {
            const std::uint64_t q = periods[j];
            const Strand high = in[0].strand(j), low = in[1].strand(j), close = in[2].strand(j);
            const OutStrand y = out_strand(out, j);
            const auto range = [&](std::uint64_t i) { return true_range(high[i], low[i], close[i - 1]); };
            for (std::uint64_t t = 0; t < q; ++t) y[t] = nan_marker;
            const double seed = atr_seed(seed_sum(true_range_sum_start<double>(), 1, q + 1, range), static_cast<double>(q));
            y[q] = seed;
            const double k = reciprocal_of(q);
            value[j / W][j % W] = atr_continue(seed, k, range, y, q + 1, t0);
            inv[j / W][j % W] = k;
        }
        return t0;
    }

    template <int T, Mode M>
    BRINDLEX_STEP void ranges(std::uint64_t t, int r, V (&tr)[T]) const noexcept {
        V h[T], l[T], c[T];
        load<T, M>(in[0], t, r, h);
        load<T, M>(in[1], t, r, l);
        load<T, M>(in[2], t - 1, r, c);
        BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) tr[tt] = true_range(h[tt], l[tt], c[tt]);
    }

    std::uint64_t begin() noexcept {
        if constexpr (Swept) return begin_each();
        if (p == 0 || p >= n) {  // the first value needs p true ranges, that is p + 1 bars
            fill_markers(out, 0, n);
            return n;
        }
        fill_markers(out, 0, p);
        V s[R];
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) s[r] = true_range_sum_start<V>();
        sweep(1, p + 1, [&]<int T, Mode M>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                V tr[T];
                ranges<T, M>(t, r, tr);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) s[r] = s[r] + tr[tt];
            }
        });
        const V pd = O::all(static_cast<double>(p));
        inv[0] = O::all(reciprocal_of(p));
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
            value[r] = atr_seed(s[r], pd);
            V y[1] = {value[r]};
            store<1>(out, p, r, y);
        }
        return p + 1;
    }

    // Registers R0..R0 + P - 1 over the whole stretch.
    template <int R0, int P>
    void advance(std::uint64_t from, std::uint64_t to) noexcept {
        V v[R];
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) v[r] = value[r];
        sweep(from, to, common_mode(in[0], in[1], in[2], out), [&]<int T, Mode M>(std::uint64_t t) BRINDLEX_LAMBDA {
            V shared[T];
            if constexpr (Swept) ranges<T, M>(t, 0, shared);  // every lane reads the same bars
            BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) {
                const V k = inv[Swept ? r : 0];
                V tr[T], y[T];
                if constexpr (Swept) {
                    BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) tr[tt] = shared[tt];
                } else {
                    ranges<T, M>(t, r, tr);
                }
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) y[tt] = v[r] = atr_smooth(v[r], tr[tt], k);
                store<T, M>(out, t, r, y);
            }
        }, lines_of(out));
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) value[r] = v[r];
    }

    // A sweep's registers all at once, sharing each bar's true range.
    void advance(std::uint64_t from, std::uint64_t to) noexcept {
        if constexpr (Swept) return advance<0, R>(from, to);
        by_passes(in[0], [&]<int R0, int P>() BRINDLEX_LAMBDA { advance<R0, P>(from, to); }, out);
    }

    void finish(GroupEnd& end) const noexcept {
        for (int j = 0; j < G; ++j) {
            end.redo[j] = false;
            end.resumable[j] = p != 0 && p < n;
            end.value[j] = value[j / W][j % W];
        }
    }
};

using AtrLanes = AtrLanesOf<false>;
using AtrSweepLanes = AtrLanesOf<true>;

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
