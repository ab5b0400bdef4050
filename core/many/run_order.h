// The runs of a long column ordered by length, longest first, so that lanes share runs of nearly equal length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brindlex::core {

struct Run {
    std::uint64_t start;   // of the run in the column
    std::uint64_t length;
};

// The runs of `lengths`, longest first and, among equally long ones, in column order, written into
// `room` (one entry per length at least). Zero-length runs are left out: they have nothing to write.
std::span<const Run> order_runs(std::span<const std::uint64_t> lengths, std::span<Run> room) noexcept;

}  // namespace brindlex::core
