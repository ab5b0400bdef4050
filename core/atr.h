// Average true range: the mean of the first `period` true ranges, then smoothed by 1 / period.
#pragma once

#include <cstdint>

#include "float_slice.h"

namespace brindlex::core {

// `high`, `low`, `close` and `output` must all have the same length. `output` may share memory with
// any input: the result is then what the bar-by-bar order of reads and writes gives.
void atr(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
         OutputSlice output) noexcept;

}  // namespace brindlex::core
