// Many series in the lanes of vector registers, for the instruction set of the including file: one lane per series,
// every lane doing the one-series kernel's operations in its order.
//
// Included once by each target's file, after it has defined BRINDLEX_LANES_NS and, in that
// namespace, V (the vector type). Everything here has that namespace, so the targets' copies
// never meet at link time.
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

// T consecutive positions from t on, of every lane: x[tt][r] holds position t + tt of lanes r*W..r*W+W-1.
template <int T>
BRINDLEX_STEP void load(const In& in, std::uint64_t t, V (&x)[T][R]) noexcept {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(t) * in.stride;
    if constexpr (T == W) {
        if (in.mode == Mode::rows) {
            for (int r = 0; r < R; ++r) {
                V rows[W];
                for (int j = 0; j < W; ++j) rows[j] = Mem::load(in.p[r * W + j] + t);
                Mem::transpose(rows);
                for (int tt = 0; tt < W; ++tt) x[tt][r] = rows[tt];
            }
            return;
        }
    }
    if (in.mode == Mode::adjacent) {
        for (int tt = 0; tt < T; ++tt) {
            for (int r = 0; r < R; ++r) x[tt][r] = Mem::load(in.p[0] + r * W + at + tt * in.stride);
        }
        return;
    }
    for (int tt = 0; tt < T; ++tt) {
        for (int r = 0; r < R; ++r) x[tt][r] = Mem::gather(in.p + r * W, at + tt * in.stride);
    }
}

template <int T>
BRINDLEX_STEP void store(const Out& out, std::uint64_t t, V (&y)[T][R]) noexcept {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(t) * out.stride;
    if constexpr (T == W) {
        if (out.mode == Mode::rows) {
            for (int r = 0; r < R; ++r) {
                V rows[W];
                for (int tt = 0; tt < W; ++tt) rows[tt] = y[tt][r];
                Mem::transpose(rows);
                for (int j = 0; j < W; ++j) Mem::store(out.p[r * W + j] + t, rows[j]);
            }
            return;
        }
    }
    if (out.mode == Mode::adjacent) {
        for (int tt = 0; tt < T; ++tt) {
            for (int r = 0; r < R; ++r) Mem::store(out.p[0] + r * W + at + tt * out.stride, y[tt][r]);
        }
        return;
    }
    for (int tt = 0; tt < T; ++tt) {
        for (int r = 0; r < R; ++r) Mem::scatter(out.p + r * W, at + tt * out.stride, y[tt][r]);
    }
}

// Positions t..end - 1 in order, W at a time while W remain, then one at a time.
template <class Body>
BRINDLEX_STEP void sweep(std::uint64_t t, std::uint64_t end, Body&& body) noexcept {
    for (; t + W <= end; t += W) body.template operator()<W>(t);
    for (; t < end; ++t) body.template operator()<1>(t);
}

void fill_markers(const Out& out, std::uint64_t from, std::uint64_t to) noexcept {
    sweep(from, to, [&]<int T>(std::uint64_t t) {
        V y[T][R];
        for (int tt = 0; tt < T; ++tt) {
            for (int r = 0; r < R; ++r) y[tt][r] = marker<V>();
        }
        store<T>(out, t, y);
    });
}

double lane_of(const V (&v)[R], int j) noexcept { return v[j / W][j % W]; }
void set_lane(V (&v)[R], int j, double x) noexcept { v[j / W][j % W] = x; }
const double all_ones = std::bit_cast<double>(~std::uint64_t{0});

// --- The four kernels on one group of G lanes, over positions 0..n - 1. Each hands back what a
// lane's tail needs (runs of unequal length continue past n one series at a time) and whether a
// lane must be computed whole by the one-series kernel instead.

struct GroupEnd {
    double value[G];   // SMA: the running sum; EMA and ATR: the average
    bool resumable[G]; // the tail may carry on from `value` (or `state`)
    bool redo[G];      // the lanes did not follow the one-series kernel: compute the series whole
    MacdState<double> state[G];
};

void sma_group(std::uint64_t p, std::uint64_t n, const In& in, const Out& out, GroupEnd& end) noexcept {
    for (int j = 0; j < G; ++j) end.resumable[j] = p - 1 < n, end.redo[j] = false;
    if (p - 1 >= n) {  // p = 0 wraps round and lands here too
        fill_markers(out, 0, n);
        return;
    }
    fill_markers(out, 0, p - 1);
    V sum[R];
    for (int r = 0; r < R; ++r) sum[r] = O::all(-0.0);
    sweep(0, p, [&]<int T>(std::uint64_t t) {
        V x[T][R];
        load<T>(in, t, x);
        for (int tt = 0; tt < T; ++tt) {
            for (int r = 0; r < R; ++r) sum[r] = sum[r] + x[tt][r];
        }
    });
    const V inv = O::all(1.0 / static_cast<double>(p));
    V first[1][R];
    for (int r = 0; r < R; ++r) first[0][r] = sma_mean(sum[r], inv);
    store<1>(out, p - 1, first);
    sweep(p, n, [&]<int T>(std::uint64_t t) {
        V x[T][R], old[T][R], y[T][R];
        load<T>(in, t, x);
        load<T>(in, t - p, old);
        for (int tt = 0; tt < T; ++tt) {
            for (int r = 0; r < R; ++r) {
                const SmaStep<V> s = sma_roll(sum[r], x[tt][r], old[tt][r], inv);
                sum[r] = s.sum;
                y[tt][r] = s.mean;
            }
        }
        store<T>(out, t, y);
    });
    for (int j = 0; j < G; ++j) end.value[j] = lane_of(sum, j);
}

// Each lane is seeded where its own first run of p finite values ends. Until then its input is
// replaced by a NaN (all ones, through `waiting`), which the skip rule turns into the marker; at
// that position the lane takes its seed.
void ema_group(std::uint64_t p, std::uint64_t n, const In& in, const Out& out, GroupEnd& end) noexcept {
    for (int j = 0; j < G; ++j) end.resumable[j] = false, end.redo[j] = false;
    if (p - 1 >= n) {
        fill_markers(out, 0, n);
        return;
    }
    EmaSeed seeds[G];
    V value[R], waiting[R];
    for (int j = 0; j < G; ++j) {
        seeds[j] = ema_seed_of(in.strand(j), n, p);
        set_lane(value, j, seeds[j].first == p - 1 ? seeds[j].value : nan_marker);
        set_lane(waiting, j, seeds[j].first == p - 1 ? 0.0 : all_ones);
    }
    fill_markers(out, 0, p - 1);
    V first[1][R];
    for (int r = 0; r < R; ++r) first[0][r] = value[r];  // the marker in lanes still waiting
    store<1>(out, p - 1, first);

    const BlendWeights<V> w = in_lanes<V>(weights_of(p));
    const auto steps = [&]<int T>(std::uint64_t t) {
        V x[T][R], y[T][R];
        load<T>(in, t, x);
        for (int tt = 0; tt < T; ++tt) {
            for (int r = 0; r < R; ++r) {
                const EmaStep<V> s = ema_step(value[r], O::bit_or(x[tt][r], waiting[r]), w);
                value[r] = s.value;
                y[tt][r] = s.output;
            }
        }
        store<T>(out, t, y);
    };
    std::uint64_t t = p;
    while (t < n) {
        std::uint64_t next = n;  // the next position where a waiting lane is seeded
        for (int j = 0; j < G; ++j) {
            if (seeds[j].first >= t && seeds[j].first < next) next = seeds[j].first;
        }
        sweep(t, next, steps);
        if (next == n) break;
        steps.template operator()<1>(next);
        for (int j = 0; j < G; ++j) {
            if (seeds[j].first != next) continue;
            set_lane(value, j, seeds[j].value);
            set_lane(waiting, j, 0.0);
            out_strand(out, j)[next] = seeds[j].value;
        }
        t = next + 1;
    }
    for (int j = 0; j < G; ++j) {
        end.value[j] = lane_of(value, j);
        end.resumable[j] = seeds[j].first < n;
    }
}

// The lanes follow the rule of a series whose averages are seeded at s - 1 and never turn NaN;
// a series that leaves it (a NaN input before the seed, a NaN seed, an average turning NaN,
// where the one-series kernel takes its shortcuts) is computed whole by that kernel instead.
void macd_group(std::uint64_t f, std::uint64_t s, std::uint64_t g, std::uint64_t n, const In& in, const Out (&out)[3],
                GroupEnd& end) noexcept {
    for (int j = 0; j < G; ++j) end.resumable[j] = false, end.redo[j] = false;
    const std::uint64_t warm = smaller(s - 1, n);
    for (const Out& o : out) fill_markers(o, 0, warm);
    if (warm == n) return;

    MacdState<V> st[R];
    for (int j = 0; j < G; ++j) {
        const MacdSeed seed = macd_seed_of(in.strand(j), f, s);
        end.redo[j] = !seed.usable;
        st[j / W].fast[j % W] = seed.fast;
        st[j / W].slow[j % W] = seed.slow;
    }
    const MacdWeights<V> w = in_lanes<V>(MacdWeights<double>{weights_of(f), weights_of(s), weights_of(g)});
    const std::uint64_t signal_start = s + g - 2;  // wraps for a huge g, as in the one-series kernel
    const auto write = [&]<int T>(std::uint64_t t, V (&m)[T][R], V (&sig)[T][R], V (&h)[T][R]) {
        store<T>(out[0], t, m);
        store<T>(out[1], t, sig);
        store<T>(out[2], t, h);
    };
    {
        V m[1][R], sig[1][R], h[1][R];
        for (int r = 0; r < R; ++r) {
            const MacdStep<V> step = macd_outputs(st[r], O::when(s - 1 >= signal_start), w);
            st[r] = step.state;
            m[0][r] = step.macd, sig[0][r] = step.signal, h[0][r] = step.hist;
        }
        write.template operator()<1>(s - 1, m, sig, h);
    }
    sweep(s, n, [&]<int T>(std::uint64_t t) {
        V x[T][R], m[T][R], sig[T][R], h[T][R];
        load<T>(in, t, x);
        for (int tt = 0; tt < T; ++tt) {
            const auto due = O::when(t + tt >= signal_start);
            for (int r = 0; r < R; ++r) {
                const auto skip = O::nan(x[tt][r]);
                const MacdStep<V> step = macd_outputs(blend_averages(st[r], x[tt][r], w), due, w);
                st[r].fast = O::pick(skip, st[r].fast, step.state.fast);
                st[r].slow = O::pick(skip, st[r].slow, step.state.slow);
                st[r].signal = O::pick(skip, st[r].signal, step.state.signal);
                m[tt][r] = O::pick(skip, marker<V>(), step.macd);
                sig[tt][r] = O::pick(skip, marker<V>(), step.signal);
                h[tt][r] = O::pick(skip, marker<V>(), step.hist);
            }
        }
        write.template operator()<T>(t, m, sig, h);
    });
    // A NaN average stays NaN under the blend, so the state at the end tells whether one ever was.
    for (int j = 0; j < G; ++j) {
        const MacdState<double> lane{st[j / W].fast[j % W], st[j / W].slow[j % W], st[j / W].signal[j % W]};
        end.redo[j] = end.redo[j] || lane.fast != lane.fast || lane.slow != lane.slow;
        end.resumable[j] = !end.redo[j];
        end.state[j] = lane;
    }
}

void atr_group(std::uint64_t p, std::uint64_t n, const In (&in)[3], const Out& out, GroupEnd& end) noexcept {
    for (int j = 0; j < G; ++j) end.resumable[j] = p != 0 && p < n, end.redo[j] = false;
    if (p == 0 || p >= n) {  // the first value needs p true ranges, that is p + 1 bars
        fill_markers(out, 0, n);
        return;
    }
    fill_markers(out, 0, p);
    const auto ranges = [&]<int T>(std::uint64_t t, V (&tr)[T][R]) {
        V h[T][R], l[T][R], c[T][R];
        load<T>(in[0], t, h);
        load<T>(in[1], t, l);
        load<T>(in[2], t - 1, c);
        for (int tt = 0; tt < T; ++tt) {
            for (int r = 0; r < R; ++r) tr[tt][r] = true_range(h[tt][r], l[tt][r], c[tt][r]);
        }
    };
    V value[R];
    for (int r = 0; r < R; ++r) value[r] = O::all(+0.0);
    sweep(1, p + 1, [&]<int T>(std::uint64_t t) {
        V tr[T][R];
        ranges.template operator()<T>(t, tr);
        for (int tt = 0; tt < T; ++tt) {
            for (int r = 0; r < R; ++r) value[r] = value[r] + tr[tt][r];
        }
    });
    const V pd = O::all(static_cast<double>(p)), inv = O::all(1.0 / static_cast<double>(p));
    V seeded[1][R];
    for (int r = 0; r < R; ++r) seeded[0][r] = value[r] = atr_seed(value[r], pd);
    store<1>(out, p, seeded);
    sweep(p + 1, n, [&]<int T>(std::uint64_t t) {
        V tr[T][R], y[T][R];
        ranges.template operator()<T>(t, tr);
        for (int tt = 0; tt < T; ++tt) {
            for (int r = 0; r < R; ++r) y[tt][r] = value[r] = atr_smooth(value[r], tr[tt][r], inv);
        }
        store<T>(out, t, y);
    });
    for (int j = 0; j < G; ++j) end.value[j] = lane_of(value, j);
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

template <class Group, class Redo>
void over_blocks(std::uint64_t count, std::uint64_t length, Group&& group, Redo&& redo) noexcept {
    if (count == 0 || length == 0) return;
    for (std::uint64_t first = 0; first < count; first += G) {
        std::uint64_t start = first, real = G;
        if (first + G > count) {
            if (count >= G) start = count - G;
            else real = count - first;
        }
        GroupEnd end;
        group(start, real, end);
        for (std::uint64_t j = 0; j < real; ++j) {
            if (end.redo[j]) redo(start + j);
        }
    }
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

template <class Group, class Tail, class Redo>
void over_runs(std::span<const std::uint64_t> lengths, Group&& group, Tail&& tail, Redo&& redo) noexcept {
    const RunOrder order(lengths);
    for (std::size_t first = 0; first < order.size(); first += G) {
        const Run* runs = order.runs() + first;
        const std::uint64_t real = smaller(G, order.size() - first);
        const std::uint64_t n = runs[real - 1].length;
        GroupEnd end;
        group(runs, real, n, end);
        for (std::uint64_t j = 0; j < real; ++j) {
            const bool done = !end.redo[j] &&
                              (runs[j].length == n || (end.resumable[j] && tail(runs[j], static_cast<int>(j), end, n)));
            if (!done) redo(runs[j]);
        }
    }
}

}  // namespace

void sma_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept {
    over_blocks(
        data.count, data.length,
        [&](std::uint64_t first, std::uint64_t real, GroupEnd& end) {
            sma_group(period, data.length, lanes_of<In>(data, first, real),
                      lanes_of<Out>(out, first, real), end);
        },
        [](std::uint64_t) {});
}

void ema_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept {
    over_blocks(
        data.count, data.length,
        [&](std::uint64_t first, std::uint64_t real, GroupEnd& end) {
            ema_group(period, data.length, lanes_of<In>(data, first, real),
                      lanes_of<Out>(out, first, real), end);
        },
        [](std::uint64_t) {});
}

void macd_many(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, BlockIn data, BlockOut macd,
               BlockOut signal_out, BlockOut hist) noexcept {
    over_blocks(
        data.count, data.length,
        [&](std::uint64_t first, std::uint64_t real, GroupEnd& end) {
            const Out outs[3] = {lanes_of<Out>(macd, first, real),
                                 lanes_of<Out>(signal_out, first, real),
                                 lanes_of<Out>(hist, first, real)};
            macd_group(fast, slow, signal, data.length, lanes_of<In>(data, first, real), outs, end);
        },
        [&](std::uint64_t k) {
            scalar::macd_many(fast, slow, signal, sub_block(data, k, 1), sub_block(macd, k, 1),
                              sub_block(signal_out, k, 1), sub_block(hist, k, 1));
        });
}

void atr_many(std::uint64_t period, BlockIn high, BlockIn low, BlockIn close, BlockOut out) noexcept {
    over_blocks(
        high.count, high.length,
        [&](std::uint64_t first, std::uint64_t real, GroupEnd& end) {
            const In ins[3] = {lanes_of<In>(high, first, real),
                               lanes_of<In>(low, first, real),
                               lanes_of<In>(close, first, real)};
            atr_group(period, high.length, ins, lanes_of<Out>(out, first, real), end);
        },
        [](std::uint64_t) {});
}

void sma_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out) noexcept {
    const unaligned_double* x = data.data();
    unaligned_double* y = out.data();
    over_runs(
        lengths,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n, GroupEnd& end) {
            sma_group(period, n, lanes_of(x, runs, real), lanes_of(y, runs, real), end);
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            sma_tail(period, end.value[j], {x + r.start, 1}, {y + r.start, 1}, from, r.length);
            return true;
        },
        [&](const Run& r) { scalar::sma_many(period, run_block(x, r), run_block(y, r)); });
}

void ema_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out) noexcept {
    const unaligned_double* x = data.data();
    unaligned_double* y = out.data();
    over_runs(
        lengths,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n, GroupEnd& end) {
            ema_group(period, n, lanes_of(x, runs, real), lanes_of(y, runs, real), end);
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            ema_tail(period, end.value[j], {x + r.start, 1}, {y + r.start, 1}, from, r.length);
            return true;
        },
        [&](const Run& r) { scalar::ema_many(period, run_block(x, r), run_block(y, r)); });
}

void macd_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, InputSlice data,
               std::span<const std::uint64_t> lengths, OutputSlice macd, OutputSlice signal_out,
               OutputSlice hist) noexcept {
    const unaligned_double* x = data.data();
    unaligned_double* const y[3] = {macd.data(), signal_out.data(), hist.data()};
    over_runs(
        lengths,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n, GroupEnd& end) {
            const Out outs[3] = {lanes_of(y[0], runs, real), lanes_of(y[1], runs, real), lanes_of(y[2], runs, real)};
            macd_group(fast, slow, signal, n, lanes_of(x, runs, real), outs, end);
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
        [&](const Run* runs, std::uint64_t real, std::uint64_t n, GroupEnd& end) {
            const In ins[3] = {lanes_of(x[0], runs, real), lanes_of(x[1], runs, real), lanes_of(x[2], runs, real)};
            atr_group(period, n, ins, lanes_of(y, runs, real), end);
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
