// The many-series kernels with four series per AVX register, built with -mavx2, called only where the processor has it.
#include "core/many/lanes_avx2.h"
#include "core/many/targets.h"

namespace brindlex::core::avx2 {
using V = f64x4;
// Registers in flight: enough independent chains to hide the latency of each step's chain.
constexpr int registers = 4;
// Narrower groups take up to three quarters of a group left over: with its chains waiting on their
// latency a narrower group does less per step, but a full group with some lanes empty wastes more
// (measured with AVX2, where four series in one register cost about a third of a full group).
constexpr int leftover_at_most = 3 * 4 * registers / 4;
namespace leftover = avx2_narrow;
}  // namespace brindlex::core::avx2

#define BRINDLEX_LANES_NS avx2
#include "core/many/lane_kernels.h"
