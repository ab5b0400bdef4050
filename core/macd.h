// MACD: fast minus slow exponential average, its signal line and the histogram, in one pass.
#pragma once

#include <cstdint>

#include "float_slice.h"

namespace brindlex::core {

// Preconditions (checked by the caller): every period is at least 1 and fast_period < slow_period;
// every output has the length of `data`. Outputs may alias each other and `data`.
void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputSlice data, OutputSlice macd_output, OutputSlice signal_output,
          OutputSlice hist_output) noexcept;

}  // namespace brindlex::core
