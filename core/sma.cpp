// Simple moving average: rolling sum of the window, times the precomputed reciprocal.
#include "sma.h"

#include "continuations.h"
#include "nan_marker.h"
#include "seeds.h"
#include "sma_step.h"

namespace brindlex::core {

void sma(std::uint64_t period, InputSlice data, OutputSlice output) noexcept {
    const std::uint64_t n = data.size();
    const std::uint64_t p = period;
    if (p - 1 >= n) {  // p = 0 wraps round and lands here too
        fill_nan(output);
        return;
    }
    // Positions from p - 1 on are written by the loops below, so without overlap only the warm-up
    // needs the marker. With overlap the marker must be in memory before the first read.
    if (overlaps(data, output)) {
        fill_nan(output);
    } else {
        fill_nan(output.first(p - 1));
    }

    const unaligned_double* x = data.data();
    unaligned_double* out = output.data();
    const double sum = seed_sum(average_sum_start<double>(), 0, p, [x](std::uint64_t k) { return double{x[k]}; });
    const double inv = reciprocal_of(p);
    out[p - 1] = sma_mean(sum, inv);
    sma_continue(sum, p, inv, data, output, p, n);
}

}  // namespace brindlex::core
