// SMA over a group of lanes: the seed sum, then the rolling sum.
#pragma once

#include <cstdint>

#include "core/sma_step.h"
#include "core/many/lane_group.h"
#include "core/seeds.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// that a driver may interleave groups: begin (the warm-up and the seeds, returning the first
// position of the steady part), advance over consecutive stretches of that part, and finish.
// Running values are copied into locals for each stretch: held in the object, they could be
// aliased by the output stores, for all the compiler knows, and would go through memory.


struct SmaLanes {
    Mode in_mode() const noexcept { return in.mode; }
    std::uint64_t p, n;
    In in;
    Out out;
    V sum[R]{}, inv{};

    std::uint64_t begin() noexcept {
        if (p - 1 >= n) {  // p = 0 wraps round and lands here too
            fill_markers(out, 0, n);
            return n;
        }
        fill_markers(out, 0, p - 1);
        V s[R];
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) s[r] = average_sum_start<V>();
        sweep(0, p, [&]<int T>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                V x[T];
                load<T>(in, t, r, x);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) s[r] = s[r] + x[tt];
            }
        });
        inv = O::all(reciprocal_of(p));
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
            sum[r] = s[r];
            V y[1] = {sma_mean(s[r], inv)};
            store<1>(out, p - 1, r, y);
        }
        return p;
    }

    void advance(std::uint64_t from, std::uint64_t to) noexcept {
        V s[R];
        const V k = inv;
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) s[r] = sum[r];
        sweep(from, to, [&]<int T>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                V x[T], old[T], y[T];
                load<T>(in, t, r, x);
                load<T>(in, t - p, r, old);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) {
                    const SmaStep<V> step = sma_roll(s[r], x[tt], old[tt], k);
                    s[r] = step.sum;
                    y[tt] = step.mean;
                }
                store<T>(out, t, r, y);
            }
        });
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

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
