// The extension of brindlex_batch: many series per call, each computed as brindlex would alone.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "call_plan.h"
#include "core/many/kernels.h"
#include "dispatch_targets.h"
#include "series_blocks.h"
#include "thread_split.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace brindlex::batch {
namespace {

using Lengths = std::optional<LengthArray>;

// Computes with the interpreter lock released, each thread on its own share of the series or runs:
// on_series(first, count, work) over series of the blocks, on_runs(runs, first_element, elements,
// work) over consecutive runs of the columns. Every share's workspace is allocated first, so that
// running out of memory raises MemoryError before anything is written.
template <class OnSeries, class OnRuns>
void compute(const CallPlan& plan, const OnSeries& on_series, const OnRuns& on_runs) {
    std::vector<core::Workspace> work;
    work.reserve(plan.threads);
    if (!plan.by_runs) {
        const auto first = [&](std::size_t k) { return series_boundary(plan.series, k, plan.threads); };
        for (std::size_t k = 0; k < plan.threads; ++k) {
            work.push_back(core::Workspace::for_blocks(first(k + 1) - first(k), plan.length, plan.gathered));
        }
        nb::gil_scoped_release unlocked;
        run_parts(plan.threads, [&](std::size_t k) {
            if (first(k + 1) > first(k)) on_series(first(k), first(k + 1) - first(k), work[k]);
        });
        return;
    }
    const std::vector<RunBoundary> parts = run_boundaries(plan.runs, plan.threads);
    for (std::size_t k = 0; k < plan.threads; ++k) {
        work.push_back(core::Workspace::for_runs(parts[k + 1].run - parts[k].run));
    }
    nb::gil_scoped_release unlocked;
    run_parts(plan.threads, [&](std::size_t k) {
        const RunBoundary begin = parts[k], end = parts[k + 1];
        if (end.element > begin.element) {
            on_runs(plan.runs.subspan(begin.run, end.run - begin.run), begin.element,
                    end.element - begin.element, work[k]);
        }
    });
}

core::InputSlice column_part(const InputArray& array, std::uint64_t first, std::uint64_t size) noexcept {
    return {input_column(array).data() + first, size};
}

core::OutputSlice column_part(const OutputArray& array, std::uint64_t first, std::uint64_t size) noexcept {
    return {output_column(array).data() + first, size};
}

using ManyKernel = void (*)(std::uint64_t, core::BlockIn, core::BlockOut, core::Workspace&) noexcept;
using RunsKernel = void (*)(std::uint64_t, core::InputSlice, std::span<const std::uint64_t>,
                            core::OutputSlice, core::Workspace&) noexcept;

template <ManyKernel many, RunsKernel runs>
void moving_average(InputArray data, OutputArray out, std::uint64_t period, std::size_t time_axis,
                    Lengths lengths, std::size_t threads) {
    const CallPlan plan = plan_call({&data}, {&out}, time_axis, lengths, threads);
    const core::BlockIn in_block = input_block(data, time_axis);
    const core::BlockOut out_block = output_block(out, time_axis);
    compute(
        plan,
        [&](std::uint64_t first, std::uint64_t count, core::Workspace& work) {
            many(period, core::sub_block(in_block, first, count),
                 core::sub_block(out_block, first, count), work);
        },
        [&](std::span<const std::uint64_t> part, std::uint64_t first, std::uint64_t size,
            core::Workspace& work) {
            runs(period, column_part(data, first, size), part, column_part(out, first, size), work);
        });
}

void check_macd_periods(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal) {
    // brindlex's checks and words, so that both modules refuse the same periods alike.
    if (fast == 0 || slow == 0 || signal == 0) {
        throw nb::value_error("Periods must be greater than 0");
    }
    if (fast >= slow) throw nb::value_error("Fast period must be less than slow period");
}

void macd(InputArray data, OutputArray macd_out, OutputArray signal_out, OutputArray hist_out,
          std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, std::size_t time_axis,
          Lengths lengths, std::size_t threads) {
    check_macd_periods(fast, slow, signal);
    const CallPlan plan =
        plan_call({&data}, {&macd_out, &signal_out, &hist_out}, time_axis, lengths, threads);
    const core::BlockIn in_block = input_block(data, time_axis);
    const core::BlockOut out_blocks[3] = {output_block(macd_out, time_axis),
                                          output_block(signal_out, time_axis),
                                          output_block(hist_out, time_axis)};
    compute(
        plan,
        [&](std::uint64_t first, std::uint64_t count, core::Workspace& work) {
            core::macd_many(fast, slow, signal, core::sub_block(in_block, first, count),
                            core::sub_block(out_blocks[0], first, count),
                            core::sub_block(out_blocks[1], first, count),
                            core::sub_block(out_blocks[2], first, count), work);
        },
        [&](std::span<const std::uint64_t> part, std::uint64_t first, std::uint64_t size,
            core::Workspace& work) {
            core::macd_runs(fast, slow, signal, column_part(data, first, size), part,
                            column_part(macd_out, first, size), column_part(signal_out, first, size),
                            column_part(hist_out, first, size), work);
        });
}

void atr(InputArray high, InputArray low, InputArray close, OutputArray out, std::uint64_t period,
         std::size_t time_axis, Lengths lengths, std::size_t threads) {
    const CallPlan plan = plan_call({&high, &low, &close}, {&out}, time_axis, lengths, threads);
    const core::BlockIn in_blocks[3] = {input_block(high, time_axis), input_block(low, time_axis),
                                        input_block(close, time_axis)};
    const core::BlockOut out_block = output_block(out, time_axis);
    compute(
        plan,
        [&](std::uint64_t first, std::uint64_t count, core::Workspace& work) {
            core::atr_many(period, core::sub_block(in_blocks[0], first, count),
                           core::sub_block(in_blocks[1], first, count),
                           core::sub_block(in_blocks[2], first, count),
                           core::sub_block(out_block, first, count), work);
        },
        [&](std::span<const std::uint64_t> part, std::uint64_t first, std::uint64_t size,
            core::Workspace& work) {
            core::atr_runs(period, column_part(high, first, size), column_part(low, first, size),
                           column_part(close, first, size), part, column_part(out, first, size), work);
        });
}

}  // namespace
}  // namespace brindlex::batch

NB_MODULE(_native, m) {
    using namespace brindlex::batch;
    m.doc() =
        "Many series per call, bit for bit as brindlex computes each. Private: brindlex_batch checks "
        "the caller's arguments, converts them and never passes overlapping arrays.";

    namespace core = brindlex::core;
    m.def("sma", &moving_average<core::sma_many, core::sma_runs>, "data"_a.noconvert(),
          "out"_a.noconvert(), "period"_a, "time_axis"_a, "lengths"_a.noconvert().none(),
          "threads"_a, "Simple moving average of every series of `data` into `out`.");
    m.def("ema", &moving_average<core::ema_many, core::ema_runs>, "data"_a.noconvert(),
          "out"_a.noconvert(), "period"_a, "time_axis"_a, "lengths"_a.noconvert().none(),
          "threads"_a, "Exponential moving average of every series of `data` into `out`.");
    m.def("macd", &macd, "data"_a.noconvert(), "macd_out"_a.noconvert(), "signal_out"_a.noconvert(),
          "hist_out"_a.noconvert(), "fast_period"_a, "slow_period"_a, "signal_period"_a,
          "time_axis"_a, "lengths"_a.noconvert().none(), "threads"_a,
          "MACD line, signal line and histogram of every series of `data`.");
    m.def("atr", &atr, "high"_a.noconvert(), "low"_a.noconvert(), "close"_a.noconvert(),
          "out"_a.noconvert(), "period"_a, "time_axis"_a, "lengths"_a.noconvert().none(),
          "threads"_a, "Average true range of every series of bars into `out`.");

    m.def("_available_targets", &available_target_names,
          "Names of the kernels' code paths this processor runs, the one chosen by default last.");
    m.def("_force_target", &force_target_named, "name"_a,
          "Runs every later call on the named code path, for tests of each path.");
}
