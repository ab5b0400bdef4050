// Sweeps: one series under many periods, a group's lanes each taking one period and reading every element once for all.
#pragma once

#include <cstdint>
#include <span>

#include "core/many/lane_group.h"
#include "core/many/series_block.h"
#include "core/nan_marker.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// Row `row` of a sweep's output as one lane's output.
inline unaligned_double* row_of(BlockOut out, std::uint64_t row) noexcept {
    return out.data + static_cast<std::ptrdiff_t>(row) * out.series_stride;
}

// The lanes writing rows rows[0..G-1] of `out`, for a kernel whose outputs stream or not.
inline Out rows_out(BlockOut out, const std::uint64_t (&rows)[G], bool outputs_stream) noexcept {
    Out lanes;
    for (int j = 0; j < G; ++j) lanes.p[j] = row_of(out, rows[j]);
    lanes.stride = out.time_stride;
    settle(lanes, outputs_stream && streams_size(out.count * out.length));
    return lanes;
}

// A row whose periods give the series no value: the marker throughout.
inline void blank_row(BlockOut out, std::uint64_t row) noexcept {
    const OutStrand y{row_of(out, row), out.time_stride};
    for (std::uint64_t t = 0; t < out.length; ++t) y[t] = nan_marker;
}

// The rows whose periods give the series some value (computes(row)) take the lanes, G at a time
// in the order given; blank(row) writes the others. A last group short of G lanes repeats its last
// row, which is then written more than once, with the same values. make(rows) gives a group's
// kernel for rows[0..G-1]; redo(row) computes whole a row whose lane left the lanes' rule.
// Periods rather than series share a group because every lane then reads the same element: one
// load serves the group, and the weights or windows, the only difference, sit in the lanes.
template <class Make, class Computes, class Blank, class Redo>
void over_periods(std::uint64_t count, Make make, Computes computes, Blank blank, Redo redo) noexcept {
    std::uint64_t rows[G];
    int taken = 0;
    const auto run = [&] {
        for (int j = taken; j < G; ++j) rows[j] = rows[taken - 1];
        auto kernel = make(rows);
        GroupEnd end;
        run_whole(kernel, end);
        for (int j = 0; j < taken; ++j) {
            if (end.redo[j]) redo(rows[j]);
        }
        taken = 0;
    };
    for (std::uint64_t row = 0; row < count; ++row) {
        if (!computes(row)) {
            blank(row);
            continue;
        }
        rows[taken++] = row;
        if (taken == G) run();
    }
    if (taken != 0) run();
}

// SMA, EMA and ATR: one period a row, one output; read(k) points the kernel's inputs' lanes.
template <class Kernel, class Read>
void one_period_sweep(std::span<const std::uint64_t> periods, std::uint64_t n, BlockOut out, Read read) noexcept {
    over_periods(
        periods.size(),
        [&](const std::uint64_t (&rows)[G]) {
            Kernel k{1, n, {}, rows_out(out, rows, Kernel::outputs_stream)};
            read(k);
            for (int j = 0; j < G; ++j) k.periods[j] = periods[rows[j]];
            return k;
        },
        [&](std::uint64_t row) { return Kernel::computes(periods[row], n); },
        [&](std::uint64_t row) { blank_row(out, row); }, [](std::uint64_t) {});
}

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
