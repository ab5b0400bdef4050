// Average true range: seeded by the plain mean of the first `period` true ranges, then smoothed.
#include "atr.h"

#include "atr_step.h"
#include "continuations.h"
#include "low_lane.h"
#include "nan_marker.h"
#include "seeds.h"

namespace brindlex::core {
namespace {

// The true range is off the running average's dependency chain, so the masks of its branch-free
// maxima cost no latency; on real bars, whose ranges vary, a branch would go either way at random.
inline double true_range_at(const unaligned_double* high, const unaligned_double* low,
                            const unaligned_double* prev_close) noexcept {
    return lane::value(true_range(lane::load(high), lane::load(low), lane::load(prev_close)));
}

}  // namespace

void atr(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
         OutputSlice output) noexcept {
    const std::uint64_t n = high.size();
    const std::uint64_t p = period;
    // The first value needs p true ranges, that is p + 1 bars.
    if (p == 0 || p >= n) {
        fill_nan(output);
        return;
    }
    const bool aliased = overlaps(output, high) || overlaps(output, low) || overlaps(output, close);
    fill_nan(aliased ? output : output.first(p));

    const unaligned_double* h = high.data();
    const unaligned_double* l = low.data();
    const unaligned_double* c = close.data();
    unaligned_double* out = output.data();
    const double pd = static_cast<double>(p);
    const double inv = reciprocal_of(p);

    const double s = seed_sum(true_range_sum_start<double>(), 1, p + 1,
                              [=](std::uint64_t i) { return true_range_at(h + i, l + i, c + i - 1); });
    const double value = atr_seed(s, pd);
    out[p] = value;
    atr_continue(value, inv, [=](std::uint64_t j) { return true_range_at(h + j, l + j, c + j - 1); }, output, p + 1, n);
}

}  // namespace brindlex::core
