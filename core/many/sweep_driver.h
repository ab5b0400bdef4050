// Sweeps: one series under many periods, a group's lanes each taking one period and reading every element once for all.
#pragma once

#include <cstdint>
#include <span>

#include "core/many/lane_group.h"
#include "core/many/series_block.h"
#include "core/nan_marker.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// Row `row` of the sweep's output as one lane's output.
inline unaligned_double* row_of(BlockOut out, std::uint64_t row) noexcept {
    return out.data + static_cast<std::ptrdiff_t>(row) * out.series_stride;
}

// The periods that give the series some value (Kernel::computes) take the lanes, G at a time in
// the order given; the rows of the others hold only the marker, written here. A last group short of
// G lanes repeats its last period, whose row is then written more than once, with the same values.
// Periods rather than series share a group because every lane then reads the same element: one
// load serves the group, and the weights, the only difference, sit in the lanes' registers.
// make(lanes) gives the group's kernel, every input's lanes at the one series, writing `lanes`.
template <class Make>
void over_periods(std::span<const std::uint64_t> periods, std::uint64_t n, BlockOut out, Make make) noexcept {
    using Kernel = decltype(make(Out{}));
    std::uint64_t rows[G];
    int taken = 0;
    const auto run = [&] {
        Out lanes;
        Kernel k = make(Out{});
        for (int j = 0; j < G; ++j) {
            const std::uint64_t row = rows[j < taken ? j : taken - 1];
            lanes.p[j] = row_of(out, row);
            k.periods[j] = periods[row];
        }
        lanes.stride = out.time_stride;
        settle(lanes);
        k.out = lanes;
        GroupEnd end;
        run_whole(k, end);
        taken = 0;
    };
    for (std::uint64_t row = 0; row < periods.size(); ++row) {
        if (!Kernel::computes(periods[row], n)) {
            const OutStrand y{row_of(out, row), out.time_stride};
            for (std::uint64_t t = 0; t < n; ++t) y[t] = nan_marker;
            continue;
        }
        rows[taken++] = row;
        if (taken == G) run();
    }
    if (taken != 0) run();
}

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
