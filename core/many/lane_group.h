// A group of lanes, one series each, for the instruction set of the including file: where they lie, how they move, how a group ends.
//
// Every lane does the one-series kernel's operations in its order. Included by each target's file
// (through lane_kernels.h) after it has defined BRINDLEX_LANES_NS and, in that namespace, V (the vector
// type), `registers` (the registers of one group), `leftover` (the namespace whose kernels take
// the series too few to fill a group) and `leftover_at_most` (how few that is). Everything here
// has that namespace, so the targets' copies never meet at link time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/lanes.h"
#include "core/many/kernels.h"
#include "core/many/lane_memory.h"
#include "core/macd_step.h"
#include "core/nan_marker.h"
#include "core/many/lane_series.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

using O = Lanes<V>;
using Mem = Memory<V>;
constexpr int W = O::width;
// Registers of a group, chosen by the target's file (`registers`).
constexpr int R = registers;
constexpr int G = W * R;  // series per group

// Lambdas are inlined like the steps, so that tiles stay in registers.
#define BRINDLEX_LAMBDA __attribute__((always_inline))
// Loops over the registers of a group and the positions of a tile are unrolled whole, so that
// every running value stays in a register of its own instead of going through memory.
#define BRINDLEX_UNROLL _Pragma("GCC unroll 16")

inline std::uint64_t smaller(std::uint64_t a, std::uint64_t b) noexcept { return a < b ? a : b; }

// How a group's lanes lie in memory: side by side (one series per column), each along its own
// contiguous row (read W positions at a time and transposed), anywhere (element by element), or
// all at one place (a sweep's lanes reading one series: each element loaded once for all).
// `any` stands for whichever the lanes hold, read at each access; the hot loops are compiled for
// a fixed layout where they can (with_mode), so that no access tests one.
enum class Mode { adjacent, rows, gather, broadcast, any };

// The periods of a sweep's lanes, one each; kernels of one period hold none.
using LanePeriods = std::uint64_t[G];
struct NoPeriods {};

// One pointer per lane, to its series' element 0. (Not a template over the pointer type: a
// template argument would drop the element type's one-byte alignment.)
struct In {
    const unaligned_double* p[G];
    std::ptrdiff_t stride;
    Mode mode;
    Strand strand(int j) const noexcept { return {p[j], stride}; }
};
struct RowWindow;
struct Out {
    unaligned_double* p[G];
    std::ptrdiff_t stride;
    Mode mode;
    // Along rows, large outputs go past the caches in whole lines (streaming stores): each line is
    // then written once, without first being read, and evicts nothing. Lane 0 is line-aligned at
    // the positions congruent to `line_start` modulo line_positions, and every lane with it.
    // Side by side, streamed registers go out whole lines at a time: where two registers make a
    // line, the even one waits here for its odd neighbour (the registers of a tile are stored in
    // order), since a line's halves written far apart would be flushed in pieces.
    bool streamed = false;
    std::uint64_t line_start = 0;
    mutable V pending[W * 8 < 64 ? W : 1];
    // Side by side, streamed, four groups or more to a turn: where the group's part of a row starts
    // inside a line, its registers are gathered here first (null: stored as usual).
    RowWindow* window = nullptr;
};

// A group's part of side-by-side rows that do not start a line, gathered as the lines it covers,
// so that those lines too go out whole past the caches: for 4,001 series only one row in eight
// starts a line, and every other line was first read from memory to be written (SMA 1.29 ns an
// element against 0.88 at 4,000). A group's part is whole lines long (`group_lines`), so it covers
// the end of a line shared with the group before, the lines between, and the start of one shared
// with the group after. The shared line's start is kept here until the next group brings its end,
// and both go out as one line; a kept start that no group completes goes out as usual. Lines 0 to
// group_lines of each row, line 0 the first the group's part touches; a row per position of a tile.
constexpr std::uint64_t group_lines = G * sizeof(double) / 64;
struct RowWindow {
    alignas(64) unsigned char rows[W][(group_lines + 1) * 64];
    unaligned_double* kept[W];       // the line whose start line 0 holds (null: none)
    std::uint64_t kept_bytes[W];     // how much of it
};

// Whether side-by-side lanes can write whole lines: a register one line wide, or two registers
// one, paired within a group.
constexpr bool adjacent_streams = Memory<V>::streams && (W * 8 == 64 || (W * 8 == 32 && R % 2 == 0));

// Doubles in a 64-byte cache line.
constexpr std::uint64_t line_positions = 8;
// Positions of a tile along rows when the outputs stream: a whole line of every row.
constexpr int TL = W > static_cast<int>(line_positions) ? W : static_cast<int>(line_positions);
// A sweep not along streamed rows: no line alignment to keep.
constexpr std::uint64_t no_lines = ~std::uint64_t{0};

template <class Lanes_>
void settle(Lanes_& l) noexcept {
    bool adjacent = true, one = true;
    for (int j = 1; j < G; ++j) adjacent = adjacent && l.p[j] == l.p[0] + j, one = one && l.p[j] == l.p[0];
    l.mode = adjacent ? Mode::adjacent : one ? Mode::broadcast : l.stride == 1 ? Mode::rows : Mode::gather;
}

// An output's lanes, streamed where asked (`streamed`) and every lane lies at the same place in
// its lines.
inline void settle(Out& l, bool streamed) noexcept {
    settle(l);
    const auto offset = [&](int j) { return reinterpret_cast<std::uintptr_t>(l.p[j]) % 64; };
    if (l.mode == Mode::adjacent) {
        l.streamed = adjacent_streams && streamed;
        return;
    }
    bool same = Mem::streams && streamed && l.mode == Mode::rows && offset(0) % 8 == 0;
    for (int j = 1; j < G; ++j) same = same && offset(j) == offset(0);
    l.streamed = same;
    l.line_start = (64 - offset(0)) % 64 / 8;
}

// Where a hot loop over `out` aligns its tiles to lines, or no_lines.
inline std::uint64_t lines_of(const Out& out) noexcept { return out.streamed ? out.line_start : no_lines; }

inline OutStrand out_strand(const Out& o, int j) noexcept { return {o.p[j], o.stride}; }

constexpr std::ptrdiff_t prefetch_bytes = 1024;

// Through a template, so that only targets whose memory moves stream name stream_lines.
template <class Mem_, int T>
BRINDLEX_STEP void stream_lines(unaligned_double* const* p, std::uint64_t t, V (&y)[T]) noexcept {
    Mem_::stream_lines(p, t, y);
}

template <class Mem_>
BRINDLEX_STEP void stream_vector(unaligned_double* p, V v) noexcept {
    Mem_::stream(p, v);
}

// Positions c * W.. of a tile of T, as the W positions a transpose moves.
template <int T>
BRINDLEX_STEP auto part(V (&x)[T], int c) noexcept -> V (&)[W] { return *reinterpret_cast<V(*)[W]>(x + c * W); }

// T consecutive positions from t on, of the lanes of register r: x[tt] holds position t + tt of
// lanes r*W..r*W+W-1. One register at a time, so that the registers' chains each need few
// registers and the processor overlaps them.
template <int T, Mode M = Mode::any>
BRINDLEX_STEP void load(const In& in, std::uint64_t t, int r, V (&x)[T]) noexcept {
    const Mode mode = M == Mode::any ? in.mode : M;
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(t) * in.stride;
    if constexpr (T % W == 0 && (T == W || T == TL)) {
        if (mode == Mode::rows) {
            // Sixteen rows per input and output are more streams than the hardware prefetchers
            // follow; each row's line some way ahead is asked for once per line (once per tile
            // of a line's positions).
            if (T == TL || (t & 7) == 0) {
                BRINDLEX_UNROLL for (int j = 0; j < W; ++j) {
                    __builtin_prefetch(reinterpret_cast<const char*>(in.p[r * W + j] + t) + prefetch_bytes);
                }
            }
            BRINDLEX_UNROLL for (int c = 0; c < T / W; ++c) Mem::load_rows(in.p + r * W, t + c * W, part<T>(x, c));
            return;
        }
    }
    if (mode == Mode::adjacent) {
        BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) x[tt] = Mem::load(in.p[0] + r * W + at + tt * in.stride);
        return;
    }
    if (mode == Mode::broadcast) {
        BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) x[tt] = O::all(in.p[0][at + tt * in.stride]);
        return;
    }
    BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) x[tt] = Mem::gather(in.p + r * W, at + tt * in.stride);
}

inline std::uintptr_t address(const void* p) noexcept { return reinterpret_cast<std::uintptr_t>(p); }

// `bytes` (a multiple of 8) from `from` to `to`, as usual.
inline void put_doubles(unsigned char* to, const unsigned char* from, std::uint64_t bytes) noexcept {
    for (std::uint64_t k = 0; k < bytes; k += sizeof(double)) std::memcpy(to + k, from + k, sizeof(double));
}

// A whole line from `from` to `to` (64-byte aligned) past the caches.
template <class Mem_>
BRINDLEX_STEP void stream_line(unsigned char* to, const unsigned char* from) noexcept {
    BRINDLEX_UNROLL for (std::uint64_t v = 0; v < 64; v += W * sizeof(double)) {
        stream_vector<Mem_>(reinterpret_cast<unaligned_double*>(to + v), Mem_::load(reinterpret_cast<const unaligned_double*>(from + v)));
    }
}

// Writes out as usual the start of a line kept at row tt of the window.
inline void put_kept(RowWindow& w, int tt) noexcept {
    if (!w.kept[tt]) return;
    put_doubles(reinterpret_cast<unsigned char*>(w.kept[tt]), w.rows[tt], w.kept_bytes[tt]);
    w.kept[tt] = nullptr;
}

// Before a group's first register at row tt, its part starting at `part`: a kept start that the
// group will not complete goes out.
inline void open_row(RowWindow& w, int tt, const unaligned_double* part) noexcept {
    const std::uintptr_t into = address(part) % 64;
    if (w.kept[tt] && (address(w.kept[tt]) != address(part) - into || w.kept_bytes[tt] < into)) put_kept(w, tt);
}

// After the group's last register at row tt: its first line goes out whole where the group
// before left its start, else its part of it as usual; the lines between whole; the start of the
// last is kept for the next group.
template <class Mem_>
BRINDLEX_STEP void close_row(RowWindow& w, int tt, unaligned_double* part) noexcept {
    const std::uintptr_t into = address(part) % 64;
    auto* line = reinterpret_cast<unsigned char*>(part) - into;
    unsigned char* rows = w.rows[tt];
    if (w.kept[tt]) {
        stream_line<Mem_>(line, rows);
    } else {
        put_doubles(line + into, rows + into, 64 - into);
    }
    for (std::uint64_t k = 1; k < group_lines; ++k) stream_line<Mem_>(line + 64 * k, rows + 64 * k);
    std::memcpy(rows, rows + 64 * group_lines, 64);
    w.kept[tt] = reinterpret_cast<unaligned_double*>(line + 64 * group_lines);
    w.kept_bytes[tt] = into;
}

// Lane j's element at position t set to v outside the lanes' stores: where the start of its line
// is kept in the output's window, the kept copy takes it too, or would later write the old value
// over it.
inline void put_element(const Out& out, int j, std::uint64_t t, double v) noexcept {
    unaligned_double* at = out.p[j] + static_cast<std::ptrdiff_t>(t) * out.stride;
    *at = v;
    if (RowWindow* w = out.window) {
        const std::uintptr_t line = address(at) / 64 * 64, into = address(at) - line;
        for (int tt = 0; tt < W; ++tt) {
            if (address(w->kept[tt]) == line && into < w->kept_bytes[tt]) std::memcpy(w->rows[tt] + into, &v, sizeof v);
        }
    }
}

// Side by side, registers r (and r - 1, waiting in `pending`) at T positions from `at`: each
// line-aligned line written whole past the caches; a part of a row that does not start a line
// gathered in the output's window (see RowWindow), or stored as usual where the output has none
// (elements not 8 bytes aligned).
template <int T>
BRINDLEX_STEP void stream_adjacent(const Out& out, std::ptrdiff_t at, int r, V (&y)[T]) noexcept {
    const auto whole_line = [](const unaligned_double* q) { return address(q) % 64 == 0; };
    // Register k of the tile's row tt into the window, with the row's opening and closing.
    const auto gather = [&](int tt, int k, unaligned_double* part, V v) BRINDLEX_LAMBDA {
        RowWindow& w = *out.window;
        if (k == 0) open_row(w, tt, part);
        Mem::store(reinterpret_cast<unaligned_double*>(w.rows[tt] + address(part) % 64) + k * W, v);
        if (k == R - 1) close_row<Mem>(w, tt, part);
    };
    if constexpr (W * 8 == 64) {
        BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) {
            unaligned_double* part = out.p[0] + at + tt * out.stride;
            unaligned_double* q = part + r * W;
            if (whole_line(q)) {
                stream_vector<Mem>(q, y[tt]);
            } else if (out.window) {
                gather(tt, r, part, y[tt]);
            } else {
                Mem::store(q, y[tt]);
            }
        }
    } else {
        if (r % 2 == 0) {
            BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) out.pending[tt] = y[tt];
            return;
        }
        BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) {
            unaligned_double* part = out.p[0] + at + tt * out.stride;
            unaligned_double* q = part + (r - 1) * W;
            if (whole_line(q)) {
                stream_vector<Mem>(q, out.pending[tt]);
                stream_vector<Mem>(q + W, y[tt]);
            } else if (out.window) {
                gather(tt, r - 1, part, out.pending[tt]);
                gather(tt, r, part, y[tt]);
            } else {
                Mem::store(q, out.pending[tt]);
                Mem::store(q + W, y[tt]);
            }
        }
    }
}

template <int T, Mode M = Mode::any>
BRINDLEX_STEP void store(const Out& out, std::uint64_t t, int r, V (&y)[T]) noexcept {
    const Mode mode = M == Mode::any ? out.mode : M;
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(t) * out.stride;
    if constexpr (T % W == 0 && (T == W || T == TL)) {
        if (mode == Mode::rows) {
            if constexpr (T == TL && Mem::streams) {
                if (out.streamed && reinterpret_cast<std::uintptr_t>(out.p[r * W] + t) % 64 == 0) {
                    stream_lines<Mem>(out.p + r * W, t, y);
                    return;
                }
            }
            BRINDLEX_UNROLL for (int c = 0; c < T / W; ++c) Mem::store_rows(out.p + r * W, t + c * W, part<T>(y, c));
            return;
        }
    }
    if (mode == Mode::adjacent) {
        if constexpr (adjacent_streams && T <= W) {
            if (out.streamed) return stream_adjacent(out, at, r, y);
        }
        BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) Mem::store(out.p[0] + r * W + at + tt * out.stride, y[tt]);
        return;
    }
    BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) Mem::scatter(out.p + r * W, at + tt * out.stride, y[tt]);
}

template <int P, int R0, class F>
BRINDLEX_STEP void passes_from(F& f) noexcept {
    if constexpr (R0 < R) {
        f.template operator()<R0, P>();
        passes_from<P, R0 + P>(f);
    }
}

// The registers of a group, for a kernel whose lanes each read or write several rows (MACD,
// ATR): f.template operator()<R0, P>() takes registers R0..R0 + P - 1 over the whole stretch.
// Along rows (or anywhere but side by side), four lanes a pass: every lane's inputs and outputs
// are streams of memory, and more than the prefetchers follow cost more than the chains of one
// register of four lanes leave idle. Side by side, where a call takes one tile: every register
// at once, so that the call and the state's trips through memory serve the whole group.
// Every register at once too where an output streams side by side, whatever the input: its
// registers must then be stored in order within each tile (stream_adjacent).
template <class F, class... Outs>
BRINDLEX_STEP void by_passes(const In& in, F&& f, const Outs&... outs) noexcept {
    constexpr int P = W >= 4 ? 1 : 4 / W;
    static_assert(R % P == 0);
    const bool streams_adjacent = ((outs.streamed && outs.mode == Mode::adjacent) || ...);
    if (in.mode == Mode::adjacent || streams_adjacent) return f.template operator()<0, R>();
    passes_from<P, 0>(f);
}

// The layout all of a kernel's arrays share, or `any` where they differ.
template <class First, class... Rest>
Mode common_mode(const First& first, const Rest&... rest) noexcept {
    return ((rest.mode == first.mode) && ...) ? first.mode : Mode::any;
}

// f.template operator()<M>() compiled for the layout given: the two that the hot loops meet most
// (along rows, side by side) fixed, the rest read at each access.
template <class F>
BRINDLEX_STEP void with_mode(Mode mode, F&& f) noexcept {
    if (mode == Mode::rows) return f.template operator()<Mode::rows>();
    if (mode == Mode::adjacent) return f.template operator()<Mode::adjacent>();
    f.template operator()<Mode::any>();
}

// Positions t..end - 1 in order, W at a time while W remain, then one at a time: the body is
// called as body.template operator()<T, M>(t), for T positions from t of lanes in layout M.
// Along streamed rows (`lines` not no_lines), one at a time up to the first position congruent to
// `lines`, then TL at a time: each tile a whole line of every output row.
template <Mode M, class Body>
BRINDLEX_STEP void sweep_as(std::uint64_t t, std::uint64_t end, Body& body, std::uint64_t lines = no_lines) noexcept {
    if constexpr (M == Mode::rows) {
        if (lines != no_lines) {
            for (; t < end && (t - lines) % line_positions != 0; ++t) body.template operator()<1, M>(t);
            for (; t + TL <= end; t += TL) body.template operator()<TL, M>(t);
        }
    }
    for (; t + W <= end; t += W) body.template operator()<W, M>(t);
    for (; t < end; ++t) body.template operator()<1, M>(t);
}

// A hot loop, compiled for the layout its arrays share; `lines` as for sweep_as.
template <class Body>
BRINDLEX_STEP void sweep(std::uint64_t t, std::uint64_t end, Mode mode, Body&& body,
                         std::uint64_t lines = no_lines) noexcept {
    with_mode(mode, [&]<Mode M>() BRINDLEX_LAMBDA { sweep_as<M>(t, end, body, lines); });
}

// A loop run once per group (seeds, markers): one copy, whatever the layout.
template <class Body>
BRINDLEX_STEP void sweep(std::uint64_t t, std::uint64_t end, Body&& body) noexcept {
    sweep_as<Mode::any>(t, end, body);
}

void fill_markers(const Out& out, std::uint64_t from, std::uint64_t to) noexcept {
    sweep(from, to, [&]<int T, Mode>(std::uint64_t t) BRINDLEX_LAMBDA {
        BRINDLEX_UNROLL for (int r = 0; r < R; ++r) {
            V y[T];
            BRINDLEX_UNROLL for (int tt = 0; tt < T; ++tt) y[tt] = marker<V>();
            store<T>(out, t, r, y);
        }
    });
}

const double all_ones = std::bit_cast<double>(~std::uint64_t{0});

struct GroupEnd {
    double value[G];    // SMA: the running sum; EMA and ATR: the average
    bool resumable[G];  // a tail may carry on from `value` (or `state`)
    bool redo[G];       // the lanes did not follow the one-series kernel: compute the series whole
    MacdState<double> state[G];
};


// One group on its own, from start to end.
template <class Kernel>
void run_whole(Kernel& k, GroupEnd& end) noexcept {
    const std::uint64_t t0 = k.begin();
    if (t0 < k.n) k.advance(t0, k.n);
    k.finish(end);
}

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
