// The AVX-512 kernels in groups of one register, for the few series left over by the full groups.
#include "core/many/lanes_avx512.h"
#include "core/many/targets.h"

namespace brindlex::core::avx512_narrow {
using V = f64x8;
constexpr int registers = 1;
// The one-series kernel is cheaper than a group with less than half its lanes busy.
constexpr int leftover_at_most = (8 * registers - 1) / 2;
namespace leftover = scalar;
}  // namespace brindlex::core::avx512_narrow

#define BRINDLEX_LANES_NS avx512_narrow
#include "core/many/lane_kernels.h"
