// Splitting a call's series over threads: how many, where each part begins, and running the parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <thread>
#include <vector>

#include "helper_threads.h"

namespace brindlex::batch {

// 0 asks for every core this process may run on.
std::size_t requested_threads(std::size_t threads) noexcept;

// Where part k of `parts` begins among `count` series: equal shares, cut on the nearest multiple of
// a lane group from series `from` when every part can have one, so that no vector register
// straddles two threads. Side by side, `from` is where the output's lines start
// (core::series_before_line), so that no line of it is written by two threads.
std::uint64_t series_boundary(std::uint64_t count, std::size_t k, std::size_t parts, std::uint64_t from = 0) noexcept;

// Where a part begins among consecutive runs: its first run and that run's first element.
struct RunBoundary {
    std::size_t run;
    std::uint64_t element;
};

// Entry k of the result is where part k begins, the last one is the end of the column. The parts
// hold about equal numbers of elements; a run is never split, since it is one series.
std::vector<RunBoundary> run_boundaries(std::span<const std::uint64_t> lengths, std::size_t parts);

// Runs part(0) to part(parts - 1) at once, on the calling thread and the process's helper threads,
// or, while another call holds those, on threads started for this call. A thread the system
// refuses leaves its parts to the calling thread.
template <class Part>
void run_parts(std::size_t parts, const Part& part) noexcept {
    if (parts == 1) return part(0);
    Job job{[](const void* context, std::size_t k) { (*static_cast<const Part*>(context))(k); }, &part,
            parts};
    HelperThreads* const helpers = HelperThreads::instance();
    if (helpers != nullptr && helpers->run(job)) return;
    std::vector<std::jthread> threads;
    std::size_t started = 1;
    try {
        threads.reserve(parts - 1);
        for (; started < parts; ++started) threads.emplace_back([&part, started] { part(started); });
    } catch (const std::exception&) {
        // The parts not started run below, in turn.
    }
    part(0);
    for (std::size_t k = started; k < parts; ++k) part(k);
}

}  // namespace brindlex::batch
