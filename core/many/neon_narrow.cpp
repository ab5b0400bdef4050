// The NEON kernels in groups of two registers, for the few series left over by the full groups.
#include "core/lanes.h"
#include "core/many/targets.h"

namespace brindlex::core::neon_narrow {
using V = f64x2;
// A pass of the kernels that read or write several rows takes two registers of two lanes.
constexpr int registers = 2;
// The one-series kernel is cheaper than a group with less than half its lanes busy.
constexpr int leftover_at_most = (2 * registers - 1) / 2;
namespace leftover = scalar;
}  // namespace brindlex::core::neon_narrow

#define BRINDLEX_LANES_NS neon_narrow
#include "core/many/lane_kernels.h"
