// The many-series entry points of one target, over the lane kernels and drivers: the shared template of every SIMD target.
//
// Included once by each target's file, after it has defined BRINDLEX_LANES_NS and, in that
// namespace, V (the vector type).
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
#include "core/many/targets.h"

namespace brindlex::core::BRINDLEX_LANES_NS {

std::uint64_t series_per_group() noexcept { return G; }

std::size_t group_state_bytes(std::uint64_t count) noexcept {
    constexpr std::size_t largest = std::max({sizeof(SmaLanes), sizeof(EmaLanes), sizeof(MacdLanes), sizeof(AtrLanes)});
    return groups_in_turn(count) * largest;
}

void sma_many(std::uint64_t period, BlockIn data, BlockOut out, Workspace& work) noexcept {
    one_input_blocks<SmaLanes>(period, data, out, work, scalar::sma_many);
}

void ema_many(std::uint64_t period, BlockIn data, BlockOut out, Workspace& work) noexcept {
    one_input_blocks<EmaLanes>(period, data, out, work, scalar::ema_many);
}

void macd_many(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, BlockIn data, BlockOut macd,
               BlockOut signal_out, BlockOut hist, Workspace& work) noexcept {
    over_blocks(
        data.count, data.length, work,
        [&](std::uint64_t first, std::uint64_t real) {
            return MacdLanes{fast, slow, signal, data.length, lanes_of<In>(data, first, real),
                             {lanes_of<Out>(macd, first, real), lanes_of<Out>(signal_out, first, real),
                              lanes_of<Out>(hist, first, real)}};
        },
        [&](std::uint64_t first, std::uint64_t count) {
            scalar::macd_many(fast, slow, signal, sub_block(data, first, count), sub_block(macd, first, count),
                              sub_block(signal_out, first, count), sub_block(hist, first, count), work);
        });
}

void atr_many(std::uint64_t period, BlockIn high, BlockIn low, BlockIn close, BlockOut out,
              Workspace& work) noexcept {
    over_blocks(
        high.count, high.length, work,
        [&](std::uint64_t first, std::uint64_t real) {
            return AtrLanes{period, high.length,
                            {lanes_of<In>(high, first, real), lanes_of<In>(low, first, real),
                             lanes_of<In>(close, first, real)},
                            lanes_of<Out>(out, first, real)};
        },
        [&](std::uint64_t first, std::uint64_t count) {
            scalar::atr_many(period, sub_block(high, first, count), sub_block(low, first, count),
                             sub_block(close, first, count), sub_block(out, first, count), work);
        });
}

void sma_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out, Workspace& work) noexcept {
    one_input_runs<SmaLanes>(period, data, lengths, out, work, sma_tail, scalar::sma_many);
}

void ema_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out, Workspace& work) noexcept {
    one_input_runs<EmaLanes>(period, data, lengths, out, work, ema_tail, scalar::ema_many);
}

void macd_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, InputSlice data,
               std::span<const std::uint64_t> lengths, OutputSlice macd, OutputSlice signal_out,
               OutputSlice hist, Workspace& work) noexcept {
    const unaligned_double* x = data.data();
    unaligned_double* const y[3] = {macd.data(), signal_out.data(), hist.data()};
    over_runs(
        lengths, work,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n) {
            return MacdLanes{fast, slow, signal, n, lanes_of(x, runs, real),
                             {lanes_of(y[0], runs, real), lanes_of(y[1], runs, real), lanes_of(y[2], runs, real)}};
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            return macd_tail(fast, slow, signal, end.state[j], {x + r.start, 1}, {y[0] + r.start, 1},
                             {y[1] + r.start, 1}, {y[2] + r.start, 1}, from, r.length);
        },
        [&](const Run& r) {
            scalar::macd_many(fast, slow, signal, run_block(x, r), run_block(y[0], r), run_block(y[1], r),
                              run_block(y[2], r), work);
        });
}

void atr_runs(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
              std::span<const std::uint64_t> lengths, OutputSlice out, Workspace& work) noexcept {
    const unaligned_double* const x[3] = {high.data(), low.data(), close.data()};
    unaligned_double* y = out.data();
    over_runs(
        lengths, work,
        [&](const Run* runs, std::uint64_t real, std::uint64_t n) {
            return AtrLanes{period, n, {lanes_of(x[0], runs, real), lanes_of(x[1], runs, real), lanes_of(x[2], runs, real)},
                            lanes_of(y, runs, real)};
        },
        [&](const Run& r, int j, const GroupEnd& end, std::uint64_t from) {
            atr_tail(period, end.value[j], {x[0] + r.start, 1}, {x[1] + r.start, 1}, {x[2] + r.start, 1},
                     {y + r.start, 1}, from, r.length);
            return true;
        },
        [&](const Run& r) {
            scalar::atr_many(period, run_block(x[0], r), run_block(x[1], r), run_block(x[2], r), run_block(y, r), work);
        });
}

}  // namespace brindlex::core::BRINDLEX_LANES_NS
