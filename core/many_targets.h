// The per-target kernels behind the one dispatch point of many.h; each namespace offers the same set.
#pragma once

#include <cstdint>
#include <span>

#include "float_slice.h"
#include "series_block.h"

#define BRINDLEX_MANY_KERNELS                                                                              \
    void sma_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept;                              \
    void ema_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept;                              \
    void macd_many(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, BlockIn data,             \
                   BlockOut macd, BlockOut signal_out, BlockOut hist) noexcept;                            \
    void atr_many(std::uint64_t period, BlockIn high, BlockIn low, BlockIn close, BlockOut out) noexcept;  \
    void sma_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,           \
                  OutputSlice out) noexcept;                                                               \
    void ema_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,           \
                  OutputSlice out) noexcept;                                                               \
    void macd_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, InputSlice data,          \
                   std::span<const std::uint64_t> lengths, OutputSlice macd, OutputSlice signal_out,       \
                   OutputSlice hist) noexcept;                                                             \
    void atr_runs(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,                 \
                  std::span<const std::uint64_t> lengths, OutputSlice out) noexcept;

namespace brindlex::core {
namespace scalar { BRINDLEX_MANY_KERNELS }
namespace sse2 { BRINDLEX_MANY_KERNELS }
namespace avx2 { BRINDLEX_MANY_KERNELS }
}  // namespace brindlex::core
