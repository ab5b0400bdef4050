// SMA over a group of lanes: the seed sum, then the rolling sum.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "core/continuations.h"
#include "core/sma_step.h"
#include "core/many/lane_group.h"
#include "core/seeds.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// that a driver may interleave groups: begin (the warm-up and the seeds, returning the first
// position of the steady part), advance over consecutive stretches of that part, and finish.
// Running values are copied into locals for each stretch: held in the object, they could be
// aliased by the output stores, for all the compiler knows, and would go through memory.


// Swept: every lane reads one series with a window of its own (`periods`, set after construction,
// each from 1 to n); `p` is then unused.
template <bool Swept>
struct SmaLanesOf {
    static constexpr bool outputs_stream = true;
    Mode in_mode() const noexcept { return in.mode; }
    std::uint64_t p, n;
    In in;
    Out out;
    V sum[R]{}, inv[Swept ? R : 1]{};
    [[no_unique_address]] std::conditional_t<Swept, LanePeriods, NoPeriods> periods{};

    // Whether period q gives a series of n elements any value: from 1 to n (0 wraps round).
    static bool computes(std::uint64_t q, std::uint64_t n) noexcept { return q - 1 < n; }

    // A sweep: each lane as the one-series kernel begins, up to where the longest window is
    // first full; from there all lanes roll together.
    std::uint64_t begin_each() noexcept {
        std::uint64_t t0 = 0;
        for (int j = 0; j < G; ++j) t0 = std::max(t0, periods[j]);
        for (int j = 0; j < G; ++j) {
            const std::uint64_t q = periods[j];
            const Strand x = in.strand(j);
            const OutStrand y = out_strand(out, j);
            for (std::uint64_t t = 0; t + 1 < q; ++t) y[t] = nan_marker;
            double s = seed_sum(average_sum_start<double>(), 0, q, [&](std::uint64_t k) { return x[k]; });
            const double k = reciprocal_of(q);
            y[q - 1] = sma_mean(s, k);
            sum[j / W][j % W] = sma_continue(s, q, k, x, y, q, t0);
            inv[j / W][j % W] = k;
        }
        return t0;
    }

    std::uint64_t begin() noexcept {
        if constexpr (Swept) return begin_each();
        if (p - 1 >= n) {  // p = 0 wraps round and lands here too
            fill_markers(out, 0, n);
            return n;
        }
        fill_markers(out, 0, p - 1);
        V s[R];
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) s[r] = average_sum_start<V>();
        sweep(0, p, [&]<int T, Mode>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                V x[T];
                load<T>(in, t, r, x);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) s[r] = s[r] + x[tt];
            }
        });
        inv[0] = O::all(reciprocal_of(p));
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
            sum[r] = s[r];
            V y[1] = {sma_mean(s[r], inv[0])};
            store<1>(out, p - 1, r, y);
        }
        return p;
    }

    // A sweep's leaving values: each lane's own period back, as from position `from` (every window
    // full there): along rows, W positions of W lanes read and transposed at once, instead of one
    // element at a time. One period's lanes read them `p` back along `in`.
    In leaving(std::uint64_t from) const noexcept {
        In old = in;
        for (int j = 0; j < G; ++j) old.p[j] = in.p[j] + static_cast<std::ptrdiff_t>(from - periods[j]) * in.stride;
        old.mode = in.stride == 1 ? Mode::rows : Mode::gather;
        return old;
    }

    void advance(std::uint64_t from, std::uint64_t to) noexcept {
        V s[R];
        In moved;
        if constexpr (Swept) moved = leaving(from);
        const In& old_in = Swept ? moved : in;
        const std::uint64_t back = Swept ? from : p;  // position t leaves old_in's t - back
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) s[r] = sum[r];
        sweep(from, to, common_mode(in, old_in, out), [&]<int T, Mode M>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                const V k = inv[Swept ? r : 0];
                V x[T], old[T], y[T];
                load<T, M>(in, t, r, x);
                load<T, M>(old_in, t - back, r, old);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) {
                    const SmaStep<V> step = sma_roll(s[r], x[tt], old[tt], k);
                    s[r] = step.sum;
                    y[tt] = step.mean;
                }
                store<T, M>(out, t, r, y);
            }
        }, lines_of(out));
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) sum[r] = s[r];
    }

    void finish(GroupEnd& end) const noexcept {
        for (int j = 0; j < G; ++j) {
            end.resumable[j] = p - 1 < n;
            end.redo[j] = false;
            end.value[j] = p - 1 < n ? sum[j / W][j % W] : 0.0;
        }
    }
};

using SmaLanes = SmaLanesOf<false>;
using SmaSweepLanes = SmaLanesOf<true>;

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
