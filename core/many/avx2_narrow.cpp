// The AVX2 kernels in groups of one register, for the few series left over by the full groups.
#include "core/many/lanes_avx2.h"
#include "core/many/targets.h"

namespace brindlex::core::avx2_narrow {
using V = f64x4;
// One chain alone waits on its latency, yet four series in it still go faster than one at a time.
constexpr int registers = 1;
// The one-series kernel is cheaper than a group with less than half its lanes busy.
constexpr int leftover_at_most = (4 * registers - 1) / 2;
namespace leftover = scalar;
}  // namespace brindlex::core::avx2_narrow

#define BRINDLEX_LANES_NS avx2_narrow
#include "core/many/lane_kernels.h"
