// Average true range: seeded by the plain mean of the first `period` true ranges, then smoothed.
#include "atr.h"

#include "lane_ops.h"
#include "nan_marker.h"

namespace brindlex::core {
namespace {

// max(max(high - low, |high - c|), |low - c|), each maximum ignoring a NaN operand and keeping the
// first on a tie. A tie between two zeros of opposite sign could pick either sign, but no output
// shows it: the seed sum starts from +0.0, and +0.0 plus either zero is +0.0. The true range is
// off the running average's dependency chain, so its extra mask operations cost no latency.
inline double true_range(const unaligned_double* high, const unaligned_double* low,
                         const unaligned_double* prev_close) noexcept {
    using lane::V;
    const V h = lane::load(high), l = lane::load(low), c = lane::load(prev_close);
    const V range = _mm_sub_sd(h, l);
    const V up = lane::abs(_mm_sub_sd(h, c));
    const V down = lane::abs(_mm_sub_sd(l, c));
    return lane::value(lane::max_ignoring_nan(lane::max_ignoring_nan(range, up), down));
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
    const double inv = 1.0 / pd;

    double s = +0.0;
    for (std::uint64_t i = 1; i <= p; ++i) s = s + true_range(h + i, l + i, c + i - 1);
    double value = s / pd;
    out[p] = value;
    for (std::uint64_t j = p + 1; j < n; ++j) {
        double d = true_range(h + j, l + j, c + j - 1) - value;
        d = d * inv;
        value = value + d;
        out[j] = value;
    }
}

}  // namespace brindlex::core
