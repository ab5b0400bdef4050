// Many series in the lanes of vector registers, one lane per series, for the instruction set of the including file.
//
// Every lane does the one-series kernel's operations in its order. Included once by each
// target's file, after it has defined BRINDLEX_LANES_NS and, in that namespace, V (the vector
// type). Everything here has that namespace, so the targets' copies never meet at link time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "atr_step.h"
#include "ema_step.h"
#include "lane_memory.h"
#include "lane_series.h"
#include "lanes.h"
#include "macd_step.h"
#include "many_targets.h"
#include "nan_marker.h"
#include "run_order.h"
#include "series_block.h"
#include "sma_step.h"
#include "weights.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

using O = Lanes<V>;
using Mem = Memory<V>;
constexpr int W = O::width;
// Registers in flight: enough independent chains to hide the latency of each step's chain.
constexpr int R = 4;
constexpr int G = W * R;  // series per group

// Lambdas are inlined like the steps, so that tiles stay in registers.
#define BRINDLEX_LAMBDA __attribute__((always_inline))
// Loops over the registers of a group and the positions of a tile are unrolled whole, so that
// every running value stays in a register of its own instead of going through memory.
#define BRINDLEX_UNROLL _Pragma("GCC unroll 16")

inline std::uint64_t smaller(std::uint64_t a, std::uint64_t b) noexcept { return a < b ? a : b; }

// How a group's lanes lie in memory: side by side (one series per column), each along its own
// contiguous row (read W positions at a time and transposed), or anywhere (element by element).
enum class Mode { adjacent, rows, gather };

// One pointer per lane, to its series' element 0. (Not a template over the pointer type: a
// template argument would drop the element type's one-byte alignment.)
struct In {
    const unaligned_double* p[G];
    std::ptrdiff_t stride;
    Mode mode;
    Strand strand(int j) const noexcept { return {p[j], stride}; }
};
struct Out {
    unaligned_double* p[G];
    std::ptrdiff_t stride;
    Mode mode;
};

template <class Lanes_>
void settle(Lanes_& l) noexcept {
    bool adjacent = true;
    for (int j = 1; j < G; ++j) adjacent = adjacent && l.p[j] == l.p[0] + j;
    l.mode = adjacent ? Mode::adjacent : l.stride == 1 ? Mode::rows : Mode::gather;
}

inline OutStrand out_strand(const Out& o, int j) noexcept { return {o.p[j], o.stride}; }

constexpr std::ptrdiff_t prefetch_bytes = 1024;

// T consecutive positions from t on, of the lanes of register r: x[tt] holds position t + tt of
// lanes r*W..r*W+W-1. One register at a time, so that the registers' chains each need few
// registers and the processor overlaps them.
template <int T>
BRINDLEX_STEP void load(const In& in, std::uint64_t t, int r, V (&x)[T]) noexcept {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(t) * in.stride;
    if constexpr (T == W) {
        if (in.mode == Mode::rows) {
            // Sixteen rows per input and output are more streams than the hardware prefetchers
            // follow; each row's line some way ahead is asked for once per line.
            if ((t & 7) == 0) {
                BRINDLEX_UNROLL for (int j = 0; j < W; ++j) {
                    __builtin_prefetch(reinterpret_cast<const char*>(in.p[r * W + j] + t) + prefetch_bytes);
                }
            }
            Mem::load_rows(in.p + r * W, t, x);
            return;
        }
    }
    if (in.mode == Mode::adjacent) {
        BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) x[tt] = Mem::load(in.p[0] + r * W + at + tt * in.stride);
        return;
    }
    BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) x[tt] = Mem::gather(in.p + r * W, at + tt * in.stride);
}

template <int T>
BRINDLEX_STEP void store(const Out& out, std::uint64_t t, int r, V (&y)[T]) noexcept {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(t) * out.stride;
    if constexpr (T == W) {
        if (out.mode == Mode::rows) {
            Mem::store_rows(out.p + r * W, t, y);
            return;
        }
    }
    if (out.mode == Mode::adjacent) {
        BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) Mem::store(out.p[0] + r * W + at + tt * out.stride, y[tt]);
        return;
    }
    BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) Mem::scatter(out.p + r * W, at + tt * out.stride, y[tt]);
}

// Positions t..end - 1 in order, W at a time while W remain, then one at a time.
template <class Body>
BRINDLEX_STEP void sweep(std::uint64_t t, std::uint64_t end, Body&& body) noexcept {
    for (; t + W <= end; t += W) body.template operator()<W>(t);
    for (; t < end; ++t) body.template operator()<1>(t);
}

void fill_markers(const Out& out, std::uint64_t from, std::uint64_t to) noexcept {
    sweep(from, to, [&]<int T>(std::uint64_t t) BRINDLEX_LAMBDA {
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
            V y[T];
            BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) y[tt] = marker<V>();
            store<T>(out, t, r, y);
        }
    });
}

const double all_ones = std::bit_cast<double>(~std::uint64_t{0});

// --- The four kernels on one group of G lanes over positions 0..n - 1, each in three parts so
// that a driver may interleave groups: begin (the warm-up and the seeds, returning the first
// position of the steady part), advance over consecutive stretches of that part, and finish.
// Running values are copied into locals for each stretch: held in the object, they could be
// aliased by the output stores, for all the compiler knows, and would go through memory.

struct GroupEnd {
    double value[G];    // SMA: the running sum; EMA and ATR: the average
    bool resumable[G];  // a tail may carry on from `value` (or `state`)
    bool redo[G];       // the lanes did not follow the one-series kernel: compute the series whole
    MacdState<double> state[G];
};

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
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) s[r] = O::all(-0.0);
        sweep(0, p, [&]<int T>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                V x[T];
                load<T>(in, t, r, x);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) s[r] = s[r] + x[tt];
            }
        });
        inv = O::all(1.0 / static_cast<double>(p));
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

// Each lane is seeded where its own first run of p finite values ends. Until then its input is
// replaced by a NaN (all ones, through `waiting`), which the skip rule turns into the marker; at
// that position the lane takes its seed.
struct EmaLanes {
    Mode in_mode() const noexcept { return in.mode; }
    std::uint64_t p, n;
    In in;
    Out out;
    V value[R]{}, waiting[R]{};
    BlendWeights<V> w{};
    EmaSeed seeds[G]{};

    std::uint64_t begin() noexcept {
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
        w = in_lanes<V>(weights_of(p));
        return p;
    }

    void steps(std::uint64_t from, std::uint64_t to) noexcept {
        V v[R], wait[R];
        const BlendWeights<V>& k = w;
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) v[r] = value[r], wait[r] = waiting[r];
        sweep(from, to, [&]<int T>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                V x[T], y[T];
                load<T>(in, t, r, x);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) {
                    const EmaStep<V> step = ema_step(v[r], O::bit_or(x[tt], wait[r]), k);
                    v[r] = step.value;
                    y[tt] = step.output;
                }
                store<T>(out, t, r, y);
            }
        });
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
                out.p[j][static_cast<std::ptrdiff_t>(next) * out.stride] = seeds[j].value;
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
    template <int T, int R0>
    BRINDLEX_STEP void general(std::uint64_t t, MacdState<V> (&a)[R]) const noexcept {
        const MacdWeights<V>& k = w;
        BRINDLEX_UNROLL for (int r = R0; r < R0 + pass; ++r) {
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
    template <int R0>
    BRINDLEX_STEP bool steady(std::uint64_t t, MacdState<V> (&a)[R]) noexcept {
        const MacdWeights<V>& k = w;
        V bad = O::all(0.0);
        BRINDLEX_UNROLL for (int r = R0; r < R0 + pass; ++r) {
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
        BRINDLEX_UNROLL for (int r = R0; r < R0 + pass; ++r) assign(a[r], saved[r]);
        return false;
    }

    // Registers R0..R0 + pass - 1 over the whole stretch. Three running values and six weights
    // per register: all four registers' at once would not fit the sixteen vector registers.
    template <int R0>
    void steps(std::uint64_t from, std::uint64_t to) noexcept {
        MacdState<V> a[R];
        BRINDLEX_UNROLL for (int r = R0; r < R0 + pass; ++r) assign(a[r], st[r]);
        std::uint64_t t = from;
        // After a tile the steady rule could not take, the next few go straight to the general
        // one: NaNs tend to come in stretches, and each failed attempt costs a tile.
        std::uint64_t general_until = 0;
        for (; t + W <= to; t += W) {
            if (t >= general_until && t >= signal_start && steady<R0>(t, a)) continue;
            if (t >= general_until) general_until = t + 16 * W;
            general<W, R0>(t, a);
        }
        for (; t < to; ++t) general<1, R0>(t, a);
        BRINDLEX_UNROLL for (int r = R0; r < R0 + pass; ++r) assign(st[r], a[r]);
    }
    static constexpr int pass = 2;
    static_assert(R % pass == 0);

    void steps(std::uint64_t from, std::uint64_t to) noexcept {
        steps<0>(from, to);
        steps<2>(from, to);
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
        signal_start = s + g - 2;  // wraps for a huge g, as in the one-series kernel
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
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) s[r] = O::all(+0.0);
        sweep(1, p + 1, [&]<int T>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
                V tr[T];
                ranges<T>(t, r, tr);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) s[r] = s[r] + tr[tt];
            }
        });
        const V pd = O::all(static_cast<double>(p));
        inv = O::all(1.0 / static_cast<double>(p));
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
            value[r] = atr_seed(s[r], pd);
            V y[1] = {value[r]};
            store<1>(out, p, r, y);
        }
        return p + 1;
    }

    // Two registers of lanes at a time over the whole stretch: three inputs and an output for
    // all sixteen lanes at once would be more streams of memory than the prefetchers follow.
    static constexpr int pass = 2;
    static_assert(R % pass == 0);

    template <int R0>
    void advance(std::uint64_t from, std::uint64_t to) noexcept {
        V v[R];
        const V k = inv;
        BRINDLEX_UNROLL for (int r = R0; r < R0 + pass; ++r) v[r] = value[r];
        sweep(from, to, [&]<int T>(std::uint64_t t) BRINDLEX_LAMBDA {
            BRINDLEX_UNROLL for (int r = R0; r < R0 + pass; ++r) {
                V tr[T], y[T];
                ranges<T>(t, r, tr);
                BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) y[tt] = v[r] = atr_smooth(v[r], tr[tt], k);
                store<T>(out, t, r, y);
            }
        });
        BRINDLEX_UNROLL for (int r = R0; r < R0 + pass; ++r) value[r] = v[r];
    }

    void advance(std::uint64_t from, std::uint64_t to) noexcept {
        advance<0>(from, to);
        advance<2>(from, to);
    }

    void finish(GroupEnd& end) const noexcept {
        for (int j = 0; j < G; ++j) {
            end.redo[j] = false;
            end.resumable[j] = p != 0 && p < n;
            end.value[j] = value[j / W][j % W];
        }
    }
};

// One group on its own, from start to end.
template <class Kernel>
void run_whole(Kernel& k, GroupEnd& end) noexcept {
    const std::uint64_t t0 = k.begin();
    if (t0 < k.n) k.advance(t0, k.n);
    k.finish(end);
}

// --- Blocks: groups of G consecutive series. The last group, when short, takes the G series that
// end the block (recomputing some, to the same bits) so that side-by-side series stay side by
// side; a block of fewer than G series repeats its last one in the spare lanes.

template <class Lanes_, class Block>
Lanes_ lanes_of(Block b, std::uint64_t first, std::uint64_t real) noexcept {
    Lanes_ l;
    for (int j = 0; j < G; ++j) {
        const std::uint64_t k = first + smaller(static_cast<std::uint64_t>(j), real - 1);
        l.p[j] = b.data + static_cast<std::ptrdiff_t>(k) * b.series_stride;
    }
    l.stride = b.time_stride;
    settle(l);
    return l;
}

// Side-by-side series are taken one tile of positions at a time across all the groups, row after
// row, not one group from start to end: a group's lanes are a sliver of each row, and walking one
// sliver down thousands of rows defeats the prefetchers and the address translation cache alike.
// The groups' running values go through memory between turns, but no chain waits on that: a
// group's next turn comes after every other group's.
template <class Make, class Redo>
void over_blocks(std::uint64_t count, std::uint64_t length, Make&& make, Redo&& redo) noexcept {
    if (count == 0 || length == 0) return;
    const std::uint64_t groups = (count + G - 1) / G;
    const auto start_of = [&](std::uint64_t i) { return count >= G && (i + 1) * G > count ? count - G : i * G; };
    const std::uint64_t real = count < G ? count : G;
    GroupEnd end;
    const auto settle_group = [&](auto& kernel, std::uint64_t i) {
        kernel.finish(end);
        for (std::uint64_t j = 0; j < real; ++j) {
            if (end.redo[j]) redo(start_of(i) + j);
        }
    };
    auto first = make(start_of(0), real);
    if (first.in_mode() != Mode::adjacent) {
        run_whole(first, end);
        settle_group(first, 0);
        for (std::uint64_t i = 1; i < groups; ++i) {
            auto k = make(start_of(i), real);
            run_whole(k, end);
            settle_group(k, i);
        }
        return;
    }
    // A batch of groups takes turns: enough series side by side for whole lines and pages of
    // every row, and a bounded number of groups in memory however wide the block.
    using Kernel = decltype(first);
    constexpr std::uint64_t batch = 64;
    Kernel* const all = new Kernel[smaller(groups, batch)];
    for (std::uint64_t b = 0; b < groups; b += batch) {
        const std::uint64_t m = smaller(batch, groups - b);
        for (std::uint64_t i = 0; i < m; ++i) all[i] = b + i == 0 ? first : make(start_of(b + i), real);
        std::uint64_t t0 = length;
        for (std::uint64_t i = 0; i < m; ++i) t0 = all[i].begin();  // the same for every group
        for (std::uint64_t t = t0; t < length; t += W) {
            const std::uint64_t to = smaller(t + W, length);
            for (std::uint64_t i = 0; i < m; ++i) all[i].advance(t, to);
        }
        for (std::uint64_t i = 0; i < m; ++i) settle_group(all[i], b + i);
    }
    delete[] all;
}

// --- Runs: groups of G runs of nearly equal length (RunOrder). The lanes take every run of a
// group up to the shortest one's length; each longer run then carries on alone from its lane's
// state, or is computed whole when its lane stopped before a state to carry on from.

template <class Lanes_, class Ptr>
BRINDLEX_STEP void lanes_of(Lanes_& l, Ptr column, const Run* runs, std::uint64_t real) noexcept {
    for (int j = 0; j < G; ++j) l.p[j] = column + runs[smaller(static_cast<std::uint64_t>(j), real - 1)].start;
    l.stride = 1;
    settle(l);
}
In lanes_of(const unaligned_double* column, const Run* runs, std::uint64_t real) noexcept {
    In l;
    lanes_of(l, column, runs, real);
    return l;
}
Out lanes_of(unaligned_double* column, const Run* runs, std::uint64_t real) noexcept {
    Out l;
    lanes_of(l, column, runs, real);
    return l;
}

inline BlockIn run_block(const unaligned_double* column, const Run& r) noexcept {
    return {column + r.start, 1, 0, r.length, 1};
}
inline BlockOut run_block(unaligned_double* column, const Run& r) noexcept {
    return {column + r.start, 1, 0, r.length, 1};
}

template <class Make, class Tail, class Redo>
void over_runs(std::span<const std::uint64_t> lengths, Make&& make, Tail&& tail, Redo&& redo) noexcept {
    const RunOrder order(lengths);
    GroupEnd end;
    for (std::size_t first = 0; first < order.size(); first += G) {
        const Run* runs = order.runs() + first;
        const std::uint64_t real = smaller(G, order.size() - first);
        const std::uint64_t n = runs[real - 1].length;
        auto kernel = make(runs, real, n);
        run_whole(kernel, end);
        for (std::uint64_t j = 0; j < real; ++j) {
            const bool done = !end.redo[j] &&
                              (runs[j].length == n || (end.resumable[j] && tail(runs[j], static_cast<int>(j), end, n)));
            if (!done) redo(runs[j]);
        }
    }
}

// SMA and EMA: one input, one output and one period, their lanes and tails alike.
template <class Kernel>
void one_input_blocks(std::uint64_t period, BlockIn data, BlockOut out) noexcept {
    over_blocks(
        data.count, data.length,
        [&](std::uint64_t first, std::uint64_t real) {
            return Kernel{period, data.length, lanes_of<In>(data, first, real), lanes_of<Out>(out, first, real)};
        },
        [](std::uint64_t) {});
}

template <class Kernel, class Tail, class Whole>
void one_input_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths, OutputSlice out,
                    Tail tail_of, Whole whole) noexcept {
    const unaligned_double* x = data.data();
    unaligned_double* y = out.data();
    over_runs(
        lengths,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n) {
            return Kernel{period, n, lanes_of(x, runs, real), lanes_of(y, runs, real)};
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            tail_of(period, end.value[j], Strand{x + r.start, 1}, OutStrand{y + r.start, 1}, from, r.length);
            return true;
        },
        [&](const Run& r) { whole(period, run_block(x, r), run_block(y, r)); });
}

}  // namespace

void sma_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept {
    one_input_blocks<SmaLanes>(period, data, out);
}

void ema_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept {
    one_input_blocks<EmaLanes>(period, data, out);
}

void macd_many(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, BlockIn data, BlockOut macd,
               BlockOut signal_out, BlockOut hist) noexcept {
    over_blocks(
        data.count, data.length,
        [&](std::uint64_t first, std::uint64_t real) {
            return MacdLanes{fast, slow, signal, data.length, lanes_of<In>(data, first, real),
                             {lanes_of<Out>(macd, first, real), lanes_of<Out>(signal_out, first, real),
                              lanes_of<Out>(hist, first, real)}};
        },
        [&](std::uint64_t k) {
            scalar::macd_many(fast, slow, signal, sub_block(data, k, 1), sub_block(macd, k, 1),
                              sub_block(signal_out, k, 1), sub_block(hist, k, 1));
        });
}

void atr_many(std::uint64_t period, BlockIn high, BlockIn low, BlockIn close, BlockOut out) noexcept {
    over_blocks(
        high.count, high.length,
        [&](std::uint64_t first, std::uint64_t real) {
            return AtrLanes{period, high.length,
                            {lanes_of<In>(high, first, real), lanes_of<In>(low, first, real),
                             lanes_of<In>(close, first, real)},
                            lanes_of<Out>(out, first, real)};
        },
        [](std::uint64_t) {});
}

void sma_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out) noexcept {
    one_input_runs<SmaLanes>(period, data, lengths, out, sma_tail, scalar::sma_many);
}

void ema_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out) noexcept {
    one_input_runs<EmaLanes>(period, data, lengths, out, ema_tail, scalar::ema_many);
}

void macd_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, InputSlice data,
               std::span<const std::uint64_t> lengths, OutputSlice macd, OutputSlice signal_out,
               OutputSlice hist) noexcept {
    const unaligned_double* x = data.data();
    unaligned_double* const y[3] = {macd.data(), signal_out.data(), hist.data()};
    over_runs(
        lengths,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n) {
            return MacdLanes{fast, slow, signal, n, lanes_of(x, runs, real),
                             {lanes_of(y[0], runs, real), lanes_of(y[1], runs, real), lanes_of(y[2], runs, real)}};
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            return macd_tail(fast, slow, signal, end.state[j], {x + r.start, 1}, {y[0] + r.start, 1},
                             {y[1] + r.start, 1}, {y[2] + r.start, 1}, from, r.length);
        },
        [&](const Run& r) {
            scalar::macd_many(fast, slow, signal, run_block(x, r), run_block(y[0], r), run_block(y[1], r),
                              run_block(y[2], r));
        });
}

void atr_runs(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
              std::span<const std::uint64_t> lengths, OutputSlice out) noexcept {
    const unaligned_double* const x[3] = {high.data(), low.data(), close.data()};
    unaligned_double* y = out.data();
    over_runs(
        lengths,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n) {
            return AtrLanes{period, n, {lanes_of(x[0], runs, real), lanes_of(x[1], runs, real), lanes_of(x[2], runs, real)},
                            lanes_of(y, runs, real)};
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            atr_tail(period, end.value[j], {x[0] + r.start, 1}, {x[1] + r.start, 1}, {x[2] + r.start, 1},
                     {y + r.start, 1}, from, r.length);
            return true;
        },
        [&](const Run& r) {
            scalar::atr_many(period, run_block(x[0], r), run_block(x[1], r), run_block(x[2], r), run_block(y, r));
        });
}

}  // namespace brindlex::core::BRINDLEX_LANES_NS
