// Many series per call: every series' result is bit for bit what the one-series kernel gives it.
#pragma once

#include <cstdint>
#include <span>

#include "float_slice.h"
#include "series_block.h"

namespace brindlex::core {

// Blocks: every block of a call has the same length and count (the caller checks). Precondition:
// no output shares memory with an input or with another output. Single-threaded and pure; to
// split the work, call on sub-blocks (sub_block) from several threads.
void sma_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept;
void ema_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept;
// Periods already checked as the one-series entry point checks them (all >= 1, fast < slow).
void macd_many(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, BlockIn data, BlockOut macd,
               BlockOut signal_out, BlockOut hist) noexcept;
void atr_many(std::uint64_t period, BlockIn high, BlockIn low, BlockIn close, BlockOut out) noexcept;

// Runs: consecutive series of one contiguous column (a long frame). Run r has lengths[r]
// elements; the lengths sum to data.size(), and every slice has that size. Zero-length runs are
// allowed. To split the work, call on sub-spans of `lengths` with the matching sub-slices.
void sma_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out) noexcept;
void ema_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out) noexcept;
void macd_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, InputSlice data,
               std::span<const std::uint64_t> lengths, OutputSlice macd, OutputSlice signal_out,
               OutputSlice hist) noexcept;
void atr_runs(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
              std::span<const std::uint64_t> lengths, OutputSlice out) noexcept;

// The instruction sets the kernels are built for. `scalar` is the reference: each series gathered
// and handed to the one-series kernel.
enum class Target { scalar, sse2, avx2 };

// The targets this processor runs, from `scalar` up to the best; the best is the default.
std::span<const Target> available_targets() noexcept;
// For tests and benchmarks: every later call, on every thread, uses `target` (a target this
// processor lacks is ignored). Not meant to be changed while another thread is computing.
void force_target(Target target) noexcept;
Target current_target() noexcept;

}  // namespace brindlex::core
