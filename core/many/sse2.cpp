// The many-series kernels with two series in each SSE2 register: every x86-64 processor runs them.
#include "core/lanes.h"
#include "core/many/targets.h"

namespace brindlex::core::sse2 {
using V = f64x2;
// Registers in flight: enough independent chains to hide the latency of each step's chain.
constexpr int registers = 4;
// Narrower groups take up to three quarters of a group left over: with its chains waiting on their
// latency a narrower group does less per step, but a full group with some lanes empty wastes more
// (measured with AVX2, where four series in one register cost about a third of a full group).
constexpr int leftover_at_most = 3 * 2 * registers / 4;
namespace leftover = sse2_narrow;
}  // namespace brindlex::core::sse2

#define BRINDLEX_LANES_NS sse2
#include "core/many/lane_kernels.h"
