// The per-target kernels behind the one dispatch point of kernels.h; each namespace offers the same set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/many/kernel_list.h"

// Besides the kernels, each target tells how many series one group of its lanes takes, and how
// much group state a block of `count` series needs in its workspace.
#define BRINDLEX_TARGET_KERNELS                              \
    BRINDLEX_MANY_KERNEL_LIST(BRINDLEX_DECLARE_KERNEL)       \
    std::uint64_t series_per_group() noexcept;               \
    std::size_t group_state_bytes(std::uint64_t count) noexcept;

namespace brindlex::core {
namespace scalar { BRINDLEX_TARGET_KERNELS }
namespace sse2 { BRINDLEX_TARGET_KERNELS }
namespace avx2 { BRINDLEX_TARGET_KERNELS }
namespace avx512 { BRINDLEX_TARGET_KERNELS }
}  // namespace brindlex::core
