// The scratch memory of one many-series kernel call, allocated by the caller before any kernel runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/many/huge_pages.h"
#include "core/many/run_order.h"
#include "core/many/series_block.h"

namespace brindlex::core {

// Bytes of group state a block of `count` series needs on the chosen target.
std::size_t group_state_bytes(std::uint64_t count) noexcept;

// The kernels never allocate: they are noexcept, and an allocation failing inside one would end
// the process. Everything they need lies here, and making one throws std::bad_alloc when memory
// runs out, before a call has written anything.
class Workspace {
public:
    // For a block of `count` series of `length` elements; `gathered` when some array of the call
    // is not contiguous along time, so that a series must be copied out for the one-series kernel.
    static Workspace for_blocks(std::uint64_t count, std::uint64_t length, bool gathered);
    // For `runs` consecutive runs of a column; with room in series() for `gathered` elements when
    // the runs' rows are copied out of a column where they lie scattered (groups of rows).
    static Workspace for_runs(std::size_t runs, std::uint64_t gathered = 0);

    // Four series of the block's length: one input gathered and up to three outputs (three inputs
    // and one output for ATR); null unless the block was `gathered`. For runs, the room asked for.
    double* series() noexcept { return series_.data(); }
    std::span<Run> runs() noexcept { return runs_; }
    // The state of the groups of lanes that take turns over a block.
    void* groups() noexcept { return groups_.data(); }

private:
    Workspace() = default;

    struct alignas(64) Line {
        std::byte bytes[64];
    };
    // Left uninitialised by its allocator: every element is written before it is read.
    std::vector<double, HugePageAllocator<double>> series_;
    std::vector<Run> runs_;
    std::vector<Line> groups_;
};

// Defined here, not in the kernels' library, which is built without exceptions: the callers that
// make a workspace are built with them, and the std::bad_alloc unwinds through their frames.
inline Workspace Workspace::for_blocks(std::uint64_t count, std::uint64_t length, bool gathered) {
    Workspace w;
    if (count != 0 && gathered) w.series_.resize(4 * length);
    w.groups_.resize((group_state_bytes(count) + sizeof(Line) - 1) / sizeof(Line));
    return w;
}

inline Workspace Workspace::for_runs(std::size_t runs, std::uint64_t gathered) {
    Workspace w;
    w.runs_.resize(runs);
    w.series_.resize(gathered);
    return w;
}

// A workspace sized for the arguments of any kernel of kernel_list.h: the blocks tell their count,
// length and strides, the run lengths their number (the span of a sweep's periods is no runs). What the tests and benchmarks call through
// the allocating entry points of kernels.h.
namespace workspace_detail {
struct CallShape {
    std::uint64_t count = 0, length = 0;
    bool gathered = false;
    bool by_runs = false, blocks = false;
    std::size_t runs = 0;
    template <class Block>
        requires requires(Block b) { b.series_stride; }
    void see(const Block& b) noexcept {
        blocks = true;
        count = b.count;
        length = b.length;
        gathered = gathered || b.time_stride != 1;
    }
    void see(std::span<const std::uint64_t> lengths) noexcept {
        by_runs = true;
        runs = lengths.size();
    }
    void see(...) noexcept {}
};
}  // namespace workspace_detail

template <class... Arguments>
Workspace workspace_for(const Arguments&... arguments) {
    workspace_detail::CallShape shape;
    (shape.see(arguments), ...);
    // A sweep's periods come as a span too, besides its blocks.
    return shape.by_runs && !shape.blocks ? Workspace::for_runs(shape.runs)
                         : Workspace::for_blocks(shape.count, shape.length, shape.gathered);
}

}  // namespace brindlex::core
