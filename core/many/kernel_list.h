// The list of many-series kernels, written once: every target defines them, the dispatch table holds them, and the public entry points forward to them.
#pragma once

#include <cstdint>
#include <span>

#include "core/float_slice.h"
#include "core/many/series_block.h"
#include "core/many/workspace.h"

// X(name, parameters, arguments) for each kernel; kernels.h documents what each computes. Each
// kernel also takes, last, the Workspace sized for its call.
#define BRINDLEX_MANY_KERNEL_LIST(X)                                                                                 \
    X(sma_many, (std::uint64_t period, BlockIn data, BlockOut out), (period, data, out))                            \
    X(ema_many, (std::uint64_t period, BlockIn data, BlockOut out), (period, data, out))                            \
    X(macd_many,                                                                                                     \
      (std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, BlockIn data, BlockOut macd, BlockOut signal_out, \
       BlockOut hist),                                                                                               \
      (fast, slow, signal, data, macd, signal_out, hist))                                                            \
    X(atr_many, (std::uint64_t period, BlockIn high, BlockIn low, BlockIn close, BlockOut out),                     \
      (period, high, low, close, out))                                                                               \
    X(sma_runs, (std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths, OutputSlice out),    \
      (period, data, lengths, out))                                                                                  \
    X(ema_runs, (std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths, OutputSlice out),    \
      (period, data, lengths, out))                                                                                  \
    X(macd_runs,                                                                                                     \
      (std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, InputSlice data,                                \
       std::span<const std::uint64_t> lengths, OutputSlice macd, OutputSlice signal_out, OutputSlice hist),          \
      (fast, slow, signal, data, lengths, macd, signal_out, hist))                                                   \
    X(atr_runs,                                                                                                      \
      (std::uint64_t period, InputSlice high, InputSlice low, InputSlice close, std::span<const std::uint64_t> lengths, \
       OutputSlice out),                                                                                             \
      (period, high, low, close, lengths, out))                                                                      \
    X(sma_sweep, (std::span<const std::uint64_t> periods, BlockIn data, BlockOut out), (periods, data, out))        \
    X(ema_sweep, (std::span<const std::uint64_t> periods, BlockIn data, BlockOut out), (periods, data, out))        \
    X(atr_sweep, (std::span<const std::uint64_t> periods, BlockIn high, BlockIn low, BlockIn close, BlockOut out),   \
      (periods, high, low, close, out))                                                                              \
    X(macd_sweep,                                                                                                    \
      (std::span<const std::uint64_t> periods, BlockIn data, BlockOut macd, BlockOut signal_out, BlockOut hist),      \
      (periods, data, macd, signal_out, hist))

// A parenthesised list without its parentheses, to append the workspace to it.
#define BRINDLEX_UNPAREN(...) __VA_ARGS__
#define BRINDLEX_DECLARE_KERNEL(name, parameters, arguments) \
    void name(BRINDLEX_UNPAREN parameters, Workspace& work) noexcept;
