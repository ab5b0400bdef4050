// Exponential moving average, seeded by the mean of the first run of `period` finite values.
#include "ema.h"

#include "ema_step.h"
#include "low_lane.h"
#include "nan_marker.h"
#include "seeds.h"
#include "weights.h"

namespace brindlex::core {
namespace {

// A run shorter than this between two non-finite inputs sends the next tolerant_stretch positions
// to the loop that skips them by masks; after that the plain loop is tried again.
constexpr std::uint64_t skip_run_threshold = 64;
constexpr std::uint64_t tolerant_stretch = 4096;

// The plain loop: one predictable test per position while inputs are finite. Returns the first
// position it did not handle, a non-finite input.
std::uint64_t run_finite(const unaligned_double* x, unaligned_double* out, std::uint64_t i, std::uint64_t n,
                         Weights w, double& value) noexcept {
    double v = value;
    for (; i < n; ++i) {
        const double xi = x[i];
        if (!is_finite(xi)) break;
        v = blend(v, xi, w);  // ema_step's rule, with the skip as the loop's exit
        out[i] = v;
    }
    value = v;
    return i;
}

// For stretches where non-finite inputs are frequent: they are skipped through masks, with no
// branch on the data to mispredict; the masks cost a little on the dependency chain.
std::uint64_t run_tolerant(const unaligned_double* x, unaligned_double* out, std::uint64_t i, std::uint64_t end,
                           Weights w, double& value) noexcept {
    using lane::V;
    const BlendWeights<V> lw = in_lanes<V>(w);
    V v = lane::scalar(value);
    for (; i < end; ++i) {
        const EmaStep<V> s = ema_step(v, lane::load(x + i), lw);
        v = s.value;
        lane::store(out + i, s.output);
    }
    value = lane::value(v);
    return i;
}

// From the first position after the seed to the end. Each position reads data[i] before it
// writes output[i], and a skipped position gets the marker, in every loop.
void run(const unaligned_double* x, unaligned_double* out, std::uint64_t i, std::uint64_t n, Weights w,
         double value) noexcept {
    while (i < n) {
        const std::uint64_t start = i;
        i = run_finite(x, out, i, n, w, value);
        if (i == n) break;
        out[i] = nan_marker;  // a skipped position: the average carries on unchanged
        ++i;
        if (i - start < skip_run_threshold) {
            i = run_tolerant(x, out, i, std::min(n, i + tolerant_stretch), w, value);
        }
    }
}

}  // namespace

void ema(std::uint64_t period, InputSlice data, OutputSlice output) noexcept {
    const std::uint64_t n = data.size();
    const std::uint64_t p = period;
    if (p - 1 >= n) {  // p = 0 wraps round and lands here too
        fill_nan(output);
        return;
    }
    // The search only reads, so it may see the marker already in place; without overlap only the
    // positions before the seed need it, every later one is written by the run below.
    const bool aliased = overlaps(data, output);
    if (aliased) fill_nan(output);

    const unaligned_double* x = data.data();
    unaligned_double* out = output.data();
    const EmaSeed seed = ema_seed_search([x](std::uint64_t i) { return double{x[i]}; }, n, p);
    if (seed.first == n) {
        if (!aliased) fill_nan(output);
        return;
    }
    if (!aliased) fill_nan(output.first(seed.first));
    out[seed.first] = seed.value;

    run(x, out, seed.first + 1, n, weights_of(p), seed.value);
}

}  // namespace brindlex::core
