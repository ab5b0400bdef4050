// Runs of a long column taken by groups of lanes of nearly equal length, longer runs finished alone.
#pragma once

#include <cstdint>
#include <span>

#include "core/float_slice.h"
#include "core/many/lane_group.h"
#include "core/many/run_order.h"
#include "core/many/series_block.h"
#include "core/many/workspace.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// --- Runs: groups of G runs of nearly equal length (order_runs). The lanes take every run of a
// group up to the shortest one's length; each longer run then carries on alone from its lane's
// state, or is computed whole when its lane stopped before a state to carry on from. A last group
// of fewer than half G runs goes to the one-series kernel run by run, as a block's leftover
// series do.

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
void over_runs(std::span<const std::uint64_t> lengths, Workspace& work, Make&& make, Tail&& tail,
               Redo&& redo) noexcept {
    const std::span<const Run> order = order_runs(lengths, work.runs());
    GroupEnd end;
    for (std::size_t first = 0; first < order.size(); first += G) {
        const Run* runs = order.data() + first;
        const std::uint64_t real = smaller(G, order.size() - first);
        if (2 * real < G) {
            for (std::uint64_t j = 0; j < real; ++j) redo(runs[j]);
            return;
        }
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


template <class Kernel, class Tail, class Whole>
void one_input_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths, OutputSlice out,
                    Workspace& work, Tail tail_of, Whole whole) noexcept {
    const unaligned_double* x = data.data();
    unaligned_double* y = out.data();
    over_runs(
        lengths, work,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n) {
            return Kernel{period, n, lanes_of(x, runs, real), lanes_of(y, runs, real)};
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            tail_of(period, end.value[j], Strand{x + r.start, 1}, OutStrand{y + r.start, 1}, from, r.length);
            return true;
        },
        [&](const Run& r) { whole(period, run_block(x, r), run_block(y, r), work); });
}

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
