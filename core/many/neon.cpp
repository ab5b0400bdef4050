// The many-series kernels with two series in each NEON register: every ARM64 processor runs them.
#include "core/lanes.h"
#include "core/many/targets.h"

namespace brindlex::core::neon {
using V = f64x2;
// Registers in flight: enough independent chains to hide the latency of each step's chain.
constexpr int registers = 4;
// Narrower groups take up to three quarters of a group left over: with its chains waiting on their
// latency a narrower group does less per step, but a full group with some lanes empty wastes more
// (measured with AVX2, where four series in one register cost about a third of a full group).
constexpr int leftover_at_most = 3 * 2 * registers / 4;
namespace leftover = neon_narrow;
}  // namespace brindlex::core::neon

#define BRINDLEX_LANES_NS neon
#include "core/many/lane_kernels.h"
