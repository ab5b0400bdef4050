// Runs of a long column taken by groups of lanes of nearly equal length, longer runs finished alone.
#pragma once

#include <cstdint>
#include <span>

#include "core/float_slice.h"
#include "core/many/lane_group.h"
#include "core/many/run_order.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// --- Runs: groups of G runs of nearly equal length (order_runs). The lanes take every run of a
// group up to the shortest one's length; each longer run then carries on alone from its lane's
// state, or is computed whole when its lane stopped before a state to carry on from. A last group
// of leftover_at_most runs or fewer goes to the leftover kernels, as a block's leftover series do.

template <class Lanes_, class Ptr>
BRINDLEX_STEP void point(Lanes_& l, Ptr column, const Run* runs, std::uint64_t real) noexcept {
    for (int j = 0; j < G; ++j) l.p[j] = column + runs[smaller(static_cast<std::uint64_t>(j), real - 1)].start;
    l.stride = 1;
}
In lanes_of(const unaligned_double* column, const Run* runs, std::uint64_t real) noexcept {
    In l;
    point(l, column, runs, real);
    settle(l);
    return l;
}
// `streamed`: the lanes write with streaming stores where they can (settle).
Out lanes_of(unaligned_double* column, const Run* runs, std::uint64_t real, bool streamed) noexcept {
    Out l;
    point(l, column, runs, real);
    settle(l, streamed);
    return l;
}

// make(runs, real, n, elements) gives the lanes of a group, `elements` being the runs' total (an
// output's size, for streams_size); tail(run, lane, end, from) carries a run on from its lane's
// state; redo(run) computes one whole; few(runs) takes the runs too few for a group.
template <class Make, class Tail, class Redo, class Few>
void over_runs(std::span<const Run> order, Make&& make, Tail&& tail, Redo&& redo, Few&& few) noexcept {
    std::uint64_t elements = 0;
    for (const Run& r : order) elements += r.length;
    GroupEnd end;
    for (std::size_t first = 0; first < order.size(); first += G) {
        const Run* runs = order.data() + first;
        const std::uint64_t real = smaller(G, order.size() - first);
        if (real <= leftover_at_most) return few(std::span<const Run>(runs, real));
        const std::uint64_t n = runs[real - 1].length;
        auto kernel = make(runs, real, n, elements);
        run_whole(kernel, end);
        for (std::uint64_t j = 0; j < real; ++j) {
            const bool done = !end.redo[j] &&
                              (runs[j].length == n || (end.resumable[j] && tail(runs[j], static_cast<int>(j), end, n)));
            if (!done) redo(runs[j]);
        }
    }
}

template <class Kernel, class Tail, class Whole, class Few>
void one_input_runs(std::uint64_t period, const unaligned_double* x, std::span<const Run> order, unaligned_double* y,
                    Tail tail_of, Whole whole, Few few) noexcept {
    over_runs(
        order,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n, std::uint64_t elements) {
            return Kernel{period, n, lanes_of(x, runs, real),
                          lanes_of(y, runs, real, Kernel::outputs_stream && streams_size(elements))};
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            tail_of(period, end.value[j], Strand{x + r.start, 1}, OutStrand{y + r.start, 1}, from, r.length);
            return true;
        },
        [&](const Run& r) { whole(period, x, std::span<const Run>(&r, 1), y); },
        [&](std::span<const Run> runs) { few(period, x, runs, y); });
}

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
