// Average true range: seeded by the plain mean of the first `period` true ranges, then smoothed.
#include "atr.h"

#include <cmath>

#include "nan_marker.h"

namespace brindlex::core {
namespace {

// The larger operand, ignoring a NaN one; on a tie the first operand, which decides a zero's sign.
// Written as a select so that it compiles without branches.
inline double max_ignoring_nan(double a, double b) noexcept {
    return (b > a || std::isnan(a)) ? b : a;
}

inline double true_range(double high, double low, double prev_close) noexcept {
    return max_ignoring_nan(max_ignoring_nan(high - low, std::fabs(high - prev_close)),
                            std::fabs(low - prev_close));
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

    const double* h = high.data();
    const double* l = low.data();
    const double* c = close.data();
    double* out = output.data();
    const double pd = static_cast<double>(p);
    const double inv = 1.0 / pd;

    double s = +0.0;
    for (std::uint64_t i = 1; i <= p; ++i) s = s + true_range(h[i], l[i], c[i - 1]);
    double value = s / pd;
    out[p] = value;
    for (std::uint64_t j = p + 1; j < n; ++j) {
        double d = true_range(h[j], l[j], c[j - 1]) - value;
        d = d * inv;
        value = value + d;
        out[j] = value;
    }
}

}  // namespace brindlex::core
