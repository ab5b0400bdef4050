// The per-target kernels behind the one dispatch point of kernels.h; each namespace offers the same set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/float_slice.h"
#include "core/many/kernel_list.h"
#include "core/many/run_order.h"

// Besides the kernels, each target tells how many series one group of its lanes takes, and how
// much group state a block of `count` series needs in its workspace. Its runs kernels also take
// runs already ordered (order_runs): the few runs a wider target's groups leave over.
#define BRINDLEX_TARGET_KERNELS                                                                                    \
    BRINDLEX_MANY_KERNEL_LIST(BRINDLEX_DECLARE_KERNEL)                                                             \
    std::uint64_t series_per_group() noexcept;                                                                     \
    std::size_t group_state_bytes(std::uint64_t count) noexcept;                                                   \
    void sma_ordered_runs(std::uint64_t period, const unaligned_double* data, std::span<const Run> runs,           \
                          unaligned_double* out) noexcept;                                                         \
    void ema_ordered_runs(std::uint64_t period, const unaligned_double* data, std::span<const Run> runs,           \
                          unaligned_double* out) noexcept;                                                         \
    void macd_ordered_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, const unaligned_double* data, \
                           std::span<const Run> runs, unaligned_double* macd, unaligned_double* signal_out,        \
                           unaligned_double* hist) noexcept;                                                       \
    void atr_ordered_runs(std::uint64_t period, const unaligned_double* high, const unaligned_double* low,          \
                          const unaligned_double* close, std::span<const Run> runs, unaligned_double* out) noexcept;

namespace brindlex::core {
namespace scalar { BRINDLEX_TARGET_KERNELS }
namespace sse2 { BRINDLEX_TARGET_KERNELS }
namespace avx2 { BRINDLEX_TARGET_KERNELS }
namespace avx512 { BRINDLEX_TARGET_KERNELS }
namespace neon { BRINDLEX_TARGET_KERNELS }
// Each target again in narrower groups, for the series a full group's leftover holds: a full group
// costs as much with its lanes empty, and four series run faster in one register than one by one.
namespace sse2_narrow { BRINDLEX_TARGET_KERNELS }
namespace avx2_narrow { BRINDLEX_TARGET_KERNELS }
namespace avx512_narrow { BRINDLEX_TARGET_KERNELS }
namespace neon_narrow { BRINDLEX_TARGET_KERNELS }
}  // namespace brindlex::core
