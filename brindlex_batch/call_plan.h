// The checked shape of a call: which arrays, which axis is time, series or runs, and how many threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

#include "series_blocks.h"

namespace brindlex::batch {

struct CallPlan {
    std::size_t time_axis;
    std::uint64_t series;              // blocks: series in the block; runs: number of runs
    std::span<const std::uint64_t> runs;  // empty unless `lengths` or `groups` was given
    bool by_runs;
    std::span<const std::uint64_t> slots;  // groups scattered over the rows: each row's place, run by run
    std::size_t threads;               // at least 1, at most one per series
    std::uint64_t length;              // blocks: of every series
    bool gathered;                     // blocks: some array is not contiguous along time
    std::uint64_t turns;               // blocks: a long column whose rows take turns through this many series
    bool fresh_outputs = false;        // the outputs were allocated by the call (core::FreshOutputs)
};

// Raises ValueError unless every array has the first input's shape of one or two dimensions,
// `time_axis` is one of its axes, and `runs`, when given, split a contiguous column exactly,
// taking it as it lies or, when `slots` are given, with each row moved to its slot. With `turns`,
// the long column is a block of that many series, row i in series i mod turns.
CallPlan plan_call(std::initializer_list<const InputArray*> inputs,
                   std::initializer_list<const OutputArray*> outputs, std::size_t time_axis,
                   const std::optional<std::span<const std::uint64_t>>& runs, std::span<const std::uint64_t> slots,
                   std::uint64_t turns, std::size_t threads);

}  // namespace brindlex::batch
