// The many-series kernels with eight series per AVX-512 register, built with -mavx512f, called only where the processor has it.
#include "core/many/lanes_avx512.h"

namespace brindlex::core::avx512 {
using V = f64x8;
}

#define BRINDLEX_LANES_NS avx512
#include "core/many/lane_kernels.h"
