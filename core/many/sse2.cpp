// The many-series kernels with two series in each SSE2 register: every x86-64 processor runs them.
#include "core/lanes.h"

namespace brindlex::core::sse2 {
using V = f64x2;
}

#define BRINDLEX_LANES_NS sse2
#include "core/many/lane_kernels.h"
