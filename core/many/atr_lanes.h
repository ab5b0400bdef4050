// ATR over a group of lanes: the seed of the first true ranges, then the smoothing.
#pragma once

#include <cstdint>

#include "core/atr_step.h"
#include "core/many/lane_group.h"
#include "core/seeds.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

struct AtrLanes {
    Mode in_mode() const noexcept { return in[0].mode; }
    std::uint64_t p, n;
    In in[3];
    Out out;
    V value[R]{}, inv{};

    template <int T>
    BRINDLEX_STEP void ranges(std::uint64_t t, int r, V (&tr)[T]) const noexcept {
        V h[T], l[T], c[T];
        load<T>(in[0], t, r, h);
        load<T>(in[1], t, r, l);
        load<T>(in[2], t - 1, r, c);
        BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) tr[tt] = true_range(h[tt], l[tt], c[tt]);
    }

    std::uint64_t begin() noexcept {
        if (p == 0 || p >= n) {  // the first value needs p true ranges, that is p + 1 bars
            fill_markers(out, 0, n);
            return n;
        }
        fill_markers(out, 0, p);
        V s[R];
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) s[r] = true_range_sum_start<V>();
        sweep(1, p + 1, [&]<int T>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                V tr[T];
                ranges<T>(t, r, tr);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) s[r] = s[r] + tr[tt];
            }
        });
        const V pd = O::all(static_cast<double>(p));
        inv = O::all(reciprocal_of(p));
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
        const V k = inv;
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) v[r] = value[r];
        sweep(from, to, [&]<int T>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) {
                V tr[T], y[T];
                ranges<T>(t, r, tr);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) y[tt] = v[r] = atr_smooth(v[r], tr[tt], k);
                store<T>(out, t, r, y);
            }
        });
        BRINDLEX_UNROLL for (int r = R0; r < R0 + P; ++r) value[r] = v[r];
    }

    void advance(std::uint64_t from, std::uint64_t to) noexcept {
        by_passes(in[0].mode, [&]<int R0, int P>() BRINDLEX_LAMBDA { advance<R0, P>(from, to); });
    }

    void finish(GroupEnd& end) const noexcept {
        for (int j = 0; j < G; ++j) {
            end.redo[j] = false;
            end.resumable[j] = p != 0 && p < n;
            end.value[j] = value[j / W][j % W];
        }
    }
};

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
