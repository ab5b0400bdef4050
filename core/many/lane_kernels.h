// The many-series entry points of one target, over the lane kernels and drivers: the shared template of every SIMD target.
//
// Included once by each target's file, after it has defined BRINDLEX_LANES_NS and, in that
// namespace, what lane_group.h asks for.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/many/atr_lanes.h"
#include "core/many/block_driver.h"
#include "core/many/ema_lanes.h"
#include "core/many/lane_series.h"
#include "core/many/macd_lanes.h"
#include "core/many/run_driver.h"
#include "core/many/sma_lanes.h"
#include "core/many/sweep_driver.h"
#include "core/many/targets.h"

namespace brindlex::core::BRINDLEX_LANES_NS {

std::uint64_t series_per_group() noexcept { return G; }

// The leftover series are computed first, with the same workspace.
std::size_t group_state_bytes(std::uint64_t count) noexcept {
    constexpr std::size_t largest = std::max({sizeof(SmaLanes), sizeof(EmaLanes), sizeof(MacdLanes), sizeof(AtrLanes)});
    // The groups of a turn, then their outputs' row windows (block_driver.h).
    return std::max({groups_in_turn(count) * largest + row_windows_bytes,
                     leftover::group_state_bytes(series_alone(count)),
                     leftover::group_state_bytes(smaller(count, line_positions - 1))});
}

void sma_many(std::uint64_t period, BlockIn data, BlockOut out, Workspace& work) noexcept {
    one_input_blocks<SmaLanes>(period, data, out, work, leftover::sma_many);
}

void ema_many(std::uint64_t period, BlockIn data, BlockOut out, Workspace& work) noexcept {
    one_input_blocks<EmaLanes>(period, data, out, work, leftover::ema_many);
}

void macd_many(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, BlockIn data, BlockOut macd,
               BlockOut signal_out, BlockOut hist, Workspace& work) noexcept {
    over_blocks(
        data.count, data.length, work,
        [&](std::uint64_t first, std::uint64_t real) {
            return MacdLanes{fast, slow, signal, data.length, lanes_of<In>(data, first, real),
                             {lanes_of<Out>(macd, first, real, MacdLanes::outputs_stream),
                              lanes_of<Out>(signal_out, first, real, MacdLanes::outputs_stream),
                              lanes_of<Out>(hist, first, real, MacdLanes::outputs_stream)}};
        },
        [&](std::uint64_t first, std::uint64_t count) {
            leftover::macd_many(fast, slow, signal, sub_block(data, first, count), sub_block(macd, first, count),
                              sub_block(signal_out, first, count), sub_block(hist, first, count), work);
        },
        streamed_lead(macd, MacdLanes::outputs_stream));
}

void atr_many(std::uint64_t period, BlockIn high, BlockIn low, BlockIn close, BlockOut out,
              Workspace& work) noexcept {
    over_blocks(
        high.count, high.length, work,
        [&](std::uint64_t first, std::uint64_t real) {
            return AtrLanes{period, high.length,
                            {lanes_of<In>(high, first, real), lanes_of<In>(low, first, real),
                             lanes_of<In>(close, first, real)},
                            lanes_of<Out>(out, first, real, AtrLanes::outputs_stream)};
        },
        [&](std::uint64_t first, std::uint64_t count) {
            leftover::atr_many(period, sub_block(high, first, count), sub_block(low, first, count),
                             sub_block(close, first, count), sub_block(out, first, count), work);
        },
        streamed_lead(out, AtrLanes::outputs_stream));
}

void sma_sweep(std::span<const std::uint64_t> periods, BlockIn data, BlockOut out, Workspace&) noexcept {
    one_period_sweep<SmaSweepLanes>(periods, data.length, out, [&](auto& k) { k.in = lanes_of<In>(data, 0, 1); });
}

void ema_sweep(std::span<const std::uint64_t> periods, BlockIn data, BlockOut out, Workspace&) noexcept {
    one_period_sweep<EmaSweepLanes>(periods, data.length, out, [&](auto& k) { k.in = lanes_of<In>(data, 0, 1); });
}

void atr_sweep(std::span<const std::uint64_t> periods, BlockIn high, BlockIn low, BlockIn close, BlockOut out,
               Workspace&) noexcept {
    const BlockIn bars[3] = {high, low, close};
    one_period_sweep<AtrSweepLanes>(periods, high.length, out, [&](auto& k) {
        for (int i = 0; i < 3; ++i) k.in[i] = lanes_of<In>(bars[i], 0, 1);
    });
}

// MACD: three periods a row (fast, slow, signal) and three outputs; a row whose lane leaves the
// lanes' rule is computed whole by the one-series kernel.
void macd_sweep(std::span<const std::uint64_t> periods, BlockIn data, BlockOut macd, BlockOut signal_out,
                BlockOut hist, Workspace& work) noexcept {
    const BlockOut y[3] = {macd, signal_out, hist};
    const auto of = [&](std::uint64_t row) {
        return MacdPeriods{periods[3 * row], periods[3 * row + 1], periods[3 * row + 2]};
    };
    over_periods(
        periods.size() / 3,
        [&](const std::uint64_t (&rows)[G]) {
            MacdSweepLanes k{1, 1, 1, data.length, lanes_of<In>(data, 0, 1),
                             {rows_out(y[0], rows, MacdSweepLanes::outputs_stream), rows_out(y[1], rows, MacdSweepLanes::outputs_stream),
                              rows_out(y[2], rows, MacdSweepLanes::outputs_stream)}};
            for (int j = 0; j < G; ++j) k.periods[j] = of(rows[j]);
            return k;
        },
        [&](std::uint64_t row) { return MacdSweepLanes::computes(of(row), data.length); },
        [&](std::uint64_t row) {
            for (const BlockOut& o : y) blank_row(o, row);
        },
        [&](std::uint64_t row) {
            const MacdPeriods q = of(row);
            scalar::macd_many(q.fast, q.slow, q.signal, data, sub_block(y[0], row, 1), sub_block(y[1], row, 1),
                              sub_block(y[2], row, 1), work);
        });
}

// Runs already ordered: groups of lanes, then the shared continuation loops for the longer runs,
// the one-series kernel for runs whose lanes could not be carried on, and the narrower groups for
// the runs too few for a group.
void sma_ordered_runs(std::uint64_t period, const unaligned_double* data, std::span<const Run> runs,
                      unaligned_double* out) noexcept {
    one_input_runs<SmaLanes>(period, data, runs, out, sma_tail, scalar::sma_ordered_runs, leftover::sma_ordered_runs);
}

void ema_ordered_runs(std::uint64_t period, const unaligned_double* data, std::span<const Run> runs,
                      unaligned_double* out) noexcept {
    one_input_runs<EmaLanes>(period, data, runs, out, ema_tail, scalar::ema_ordered_runs, leftover::ema_ordered_runs);
}

void macd_ordered_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, const unaligned_double* x,
                       std::span<const Run> order, unaligned_double* macd, unaligned_double* signal_out,
                       unaligned_double* hist) noexcept {
    unaligned_double* const y[3] = {macd, signal_out, hist};
    over_runs(
        order,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n, std::uint64_t elements) {
            const bool streamed = MacdLanes::outputs_stream && streams_size(elements);
            return MacdLanes{fast, slow, signal, n, lanes_of(x, runs, real),
                             {lanes_of(y[0], runs, real, streamed), lanes_of(y[1], runs, real, streamed),
                              lanes_of(y[2], runs, real, streamed)}};
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            MacdState<double> state = end.state[j];
            return macd_tail(fast, slow, signal, state, {x + r.start, 1}, {y[0] + r.start, 1},
                             {y[1] + r.start, 1}, {y[2] + r.start, 1}, from, r.length);
        },
        [&](const Run& r) { scalar::macd_ordered_runs(fast, slow, signal, x, {&r, 1}, y[0], y[1], y[2]); },
        [&](std::span<const Run> runs) { leftover::macd_ordered_runs(fast, slow, signal, x, runs, y[0], y[1], y[2]); });
}

void atr_ordered_runs(std::uint64_t period, const unaligned_double* high, const unaligned_double* low,
                      const unaligned_double* close, std::span<const Run> order, unaligned_double* y) noexcept {
    const unaligned_double* const x[3] = {high, low, close};
    over_runs(
        order,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n, std::uint64_t elements) {
            return AtrLanes{period, n, {lanes_of(x[0], runs, real), lanes_of(x[1], runs, real), lanes_of(x[2], runs, real)},
                            lanes_of(y, runs, real, AtrLanes::outputs_stream && streams_size(elements))};
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            atr_tail(period, end.value[j], {x[0] + r.start, 1}, {x[1] + r.start, 1}, {x[2] + r.start, 1},
                     {y + r.start, 1}, from, r.length);
            return true;
        },
        [&](const Run& r) { scalar::atr_ordered_runs(period, x[0], x[1], x[2], {&r, 1}, y); },
        [&](std::span<const Run> runs) { leftover::atr_ordered_runs(period, x[0], x[1], x[2], runs, y); });
}

void sma_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out, Workspace& work) noexcept {
    sma_ordered_runs(period, data.data(), order_runs(lengths, work.runs()), out.data());
}

void ema_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out, Workspace& work) noexcept {
    ema_ordered_runs(period, data.data(), order_runs(lengths, work.runs()), out.data());
}

void macd_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, InputSlice data,
               std::span<const std::uint64_t> lengths, OutputSlice macd, OutputSlice signal_out,
               OutputSlice hist, Workspace& work) noexcept {
    macd_ordered_runs(fast, slow, signal, data.data(), order_runs(lengths, work.runs()), macd.data(),
                      signal_out.data(), hist.data());
}

void atr_runs(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
              std::span<const std::uint64_t> lengths, OutputSlice out, Workspace& work) noexcept {
    atr_ordered_runs(period, high.data(), low.data(), close.data(), order_runs(lengths, work.runs()), out.data());
}

}  // namespace brindlex::core::BRINDLEX_LANES_NS
