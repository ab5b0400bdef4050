// The many-series kernels with eight series per AVX-512 register, built with -mavx512f, called only where the processor has it.
#include "core/many/lanes_avx512.h"
#include "core/many/targets.h"

namespace brindlex::core::avx512 {
using V = f64x8;
// Two registers in flight: a group of more than sixteen series along rows would be more streams of
// memory than the prefetchers follow.
constexpr int registers = 2;
// Narrower groups take up to three quarters of a group left over: with its chains waiting on their
// latency a narrower group does less per step, but a full group with some lanes empty wastes more
// (measured with AVX2, where four series in one register cost about a third of a full group).
constexpr int leftover_at_most = 3 * 8 * registers / 4;
namespace leftover = avx512_narrow;
}  // namespace brindlex::core::avx512

#define BRINDLEX_LANES_NS avx512
#include "core/many/lane_kernels.h"
