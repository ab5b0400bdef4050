// Splitting a call's series over threads of its own: how many, where each part begins, and running the parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <thread>
#include <vector>

namespace brindlex::batch {

// 0 asks for every core this process may run on.
std::size_t requested_threads(std::size_t threads) noexcept;

// Where part k of `parts` begins among `count` series: equal shares, cut on a multiple of a lane
// group when every part can have several, so that no vector register straddles two threads.
std::uint64_t series_boundary(std::uint64_t count, std::size_t k, std::size_t parts) noexcept;

// Where a part begins among consecutive runs: its first run and that run's first element.
struct RunBoundary {
    std::size_t run;
    std::uint64_t element;
};

// Entry k of the result is where part k begins, the last one is the end of the column. The parts
// hold about equal numbers of elements; a run is never split, since it is one series.
std::vector<RunBoundary> run_boundaries(std::span<const std::uint64_t> lengths, std::size_t parts);

// Runs part(0) to part(parts - 1) at once, part 0 on the calling thread and each other one on a
// thread started for it. A thread the system refuses leaves its part to the calling thread.
template <class Part>
void run_parts(std::size_t parts, const Part& part) noexcept {
    std::vector<std::jthread> helpers;
    std::size_t started = 1;
    try {
        helpers.reserve(parts - 1);
        for (; started < parts; ++started) helpers.emplace_back([&part, started] { part(started); });
    } catch (const std::exception&) {
        // Out of threads or memory: the parts not started run below, in turn.
    }
    part(0);
    for (std::size_t k = started; k < parts; ++k) part(k);
}

}  // namespace brindlex::batch
