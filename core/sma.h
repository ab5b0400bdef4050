// Simple moving average: the mean of the last `period` values, by a rolling sum times the reciprocal.
#pragma once

#include <cstdint>

#include "float_slice.h"

namespace brindlex::core {

// Writes every element of `output`, whose length must equal that of `data`. `output` may share
// memory with `data`: the result is then what the element-by-element order of reads and writes gives.
void sma(std::uint64_t period, InputSlice data, OutputSlice output) noexcept;

}  // namespace brindlex::core
