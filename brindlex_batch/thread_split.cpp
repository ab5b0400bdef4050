// Splitting a call's series over threads of its own.
#include "thread_split.h"

#include <sched.h>

#include <algorithm>

#include "core/many/kernels.h"

namespace brindlex::batch {
namespace {

std::size_t usable_cores() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(CPU_COUNT(&set), 1);
    return std::max(std::thread::hardware_concurrency(), 1u);
}

}  // namespace

std::size_t requested_threads(std::size_t threads) noexcept {
    return threads == 0 ? usable_cores() : threads;
}

std::uint64_t series_boundary(std::uint64_t count, std::size_t k, std::size_t parts, std::uint64_t from) noexcept {
    if (k == 0) return 0;  // the usual call, on one thread, asks for no more than its bounds
    if (k >= parts) return count;
    const auto share = static_cast<std::uint64_t>(static_cast<unsigned __int128>(count) * k / parts);
    // Whole groups of lanes to each thread, where every thread gets one, cut at the group boundary
    // nearest the equal share: cutting below it left the last thread up to a group more than the
    // others (500 series in two: 240 and 260, 15 groups against 17); rounding keeps every cut
    // within half a group of the equal share (256 and 244). The last share keeps at least half a
    // group, since each share is a group or more.
    const std::uint64_t group = core::series_per_group();
    if (count < group * parts || from >= group) return share;
    return from + (share - from + group / 2) / group * group;
}

std::vector<RunBoundary> run_boundaries(std::span<const std::uint64_t> lengths, std::size_t parts) {
    unsigned __int128 total = 0;
    for (const std::uint64_t length : lengths) total += length;
    std::vector<RunBoundary> boundaries{{0, 0}};
    std::uint64_t done = 0;
    std::size_t run = 0;
    for (std::size_t k = 1; k < parts; ++k) {
        const unsigned __int128 target = total * k / parts;
        while (run < lengths.size() && done < target) done += lengths[run++];
        boundaries.push_back({run, done});
    }
    boundaries.push_back({lengths.size(), static_cast<std::uint64_t>(total)});
    return boundaries;
}

}  // namespace brindlex::batch
