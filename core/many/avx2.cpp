// The many-series kernels with four series per AVX register, built with -mavx2, called only where the processor has it.
#include "core/many/lanes_avx2.h"

namespace brindlex::core::avx2 {
using V = f64x4;
}

#define BRINDLEX_LANES_NS avx2
#include "core/many/lane_kernels.h"
