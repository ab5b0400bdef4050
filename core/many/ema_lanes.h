// EMA over a group of lanes, each seeded where its own first run of finite values ends.
#pragma once

#include <cstdint>
#include <type_traits>

#include "core/ema_step.h"
#include "core/weights.h"
#include "core/many/lane_group.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// Each lane is seeded where its own first run of p finite values ends. Until then its input is
// replaced by a NaN (all ones, through `waiting`), which the skip rule turns into the marker; at
// that position the lane takes its seed.
// Swept: every lane reads one series with a period of its own (`periods`, set after construction),
// its weights in its own lane; `p` is then unused.
template <bool Swept>
struct EmaLanesOf {
    static constexpr bool outputs_stream = true;
    Mode in_mode() const noexcept { return in.mode; }
    std::uint64_t p, n;
    In in;
    Out out;
    V value[R]{}, waiting[R]{};
    BlendWeights<V> w[Swept ? R : 1]{};
    EmaSeed seeds[G]{};
    [[no_unique_address]] std::conditional_t<Swept, LanePeriods, NoPeriods> periods{};

    // Whether period q gives a series of n elements any value: from 1 to n (0 wraps round).
    static bool computes(std::uint64_t q, std::uint64_t n) noexcept { return q - 1 < n; }

    // A sweep: every lane waits from the start for its own seed (for ever with a period of 0 or
    // one longer than the series).
    std::uint64_t begin_each() noexcept {
        for (int j = 0; j < G; ++j) {
            const std::uint64_t q = periods[j];
            seeds[j] = q - 1 < n ? ema_seed_of(in.strand(j), n, q) : EmaSeed{n, 0.0};
            value[j / W][j % W] = nan_marker;
            waiting[j / W][j % W] = all_ones;
            const Weights lane = weights_of(q);
            w[j / W].alpha[j % W] = lane.alpha;
            w[j / W].beta[j % W] = lane.beta;
        }
        return 0;
    }

    std::uint64_t begin() noexcept {
        if constexpr (Swept) return begin_each();
        if (p - 1 >= n) {
            fill_markers(out, 0, n);
            return n;
        }
        for (int j = 0; j < G; ++j) {
            seeds[j] = ema_seed_of(in.strand(j), n, p);
            const bool now = seeds[j].first == p - 1;
            value[j / W][j % W] = now ? seeds[j].value : nan_marker;
            waiting[j / W][j % W] = now ? 0.0 : all_ones;
        }
        fill_markers(out, 0, p - 1);
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
            V y[1] = {value[r]};  // the marker in lanes still waiting
            store<1>(out, p - 1, r, y);
        }
        w[0] = in_lanes<V>(weights_of(p));
        return p;
    }

    void steps(std::uint64_t from, std::uint64_t to) noexcept {
        V v[R], wait[R];
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) v[r] = value[r], wait[r] = waiting[r];
        sweep(from, to, common_mode(in, out), [&]<int T, Mode M>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                const BlendWeights<V>& k = w[Swept ? r : 0];
                V x[T], y[T];
                load<T, M>(in, t, r, x);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) {
                    const EmaStep<V> step = ema_step(v[r], O::bit_or(x[tt], wait[r]), k);
                    v[r] = step.value;
                    y[tt] = step.output;
                }
                store<T, M>(out, t, r, y);
            }
        }, lines_of(out));
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) value[r] = v[r];
    }

    void advance(std::uint64_t from, std::uint64_t to) noexcept {
        while (from < to) {
            std::uint64_t next = to;  // the next position where a waiting lane is seeded
            for (int j = 0; j < G; ++j) {
                if (seeds[j].first >= from && seeds[j].first < next) next = seeds[j].first;
            }
            steps(from, next);
            if (next == to) return;
            steps(next, next + 1);
            for (int j = 0; j < G; ++j) {
                if (seeds[j].first != next) continue;
                value[j / W][j % W] = seeds[j].value;
                waiting[j / W][j % W] = 0.0;
                put_element(out, j, next, seeds[j].value);
            }
            from = next + 1;
        }
    }

    void finish(GroupEnd& end) const noexcept {
        for (int j = 0; j < G; ++j) {
            end.redo[j] = false;
            end.resumable[j] = p - 1 < n && seeds[j].first < n;
            end.value[j] = value[j / W][j % W];
        }
    }
};

using EmaLanes = EmaLanesOf<false>;
using EmaSweepLanes = EmaLanesOf<true>;

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
