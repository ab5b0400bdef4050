// The average true range one bar at a time, bit for bit as the whole-series kernel computes it.
#pragma once

#include <cstdint>
#include <optional>

#include "../atr_step.h"
#include "../continuations.h"
#include "../float_slice.h"
#include "../low_lane.h"
#include "../nan_marker.h"
#include "../seeds.h"
#include "state_words.h"

namespace brindlex::core::stream {

// The seed sum runs forward over bars 1 to `period`, so it accumulates as they arrive; with the
// previous close that is all the memory there is, O(1) whatever the period.
// The true range in the low lane of a register, as the whole-series kernel forms it: its maxima
// are selects by masks, where a branch would go either way at random on real bars.
inline double bar_true_range(double high, double low, double prev_close) noexcept {
    return lane::value(true_range(lane::scalar(high), lane::scalar(low), lane::scalar(prev_close)));
}

class AtrStream {
public:
    explicit AtrStream(std::uint64_t period) noexcept
        : period_(period), inv_(reciprocal_of(period)) {}

    std::uint64_t period() const noexcept { return period_; }
    std::uint64_t count() const noexcept { return count_; }
    double value() const noexcept { return last_; }
    bool ready() const noexcept { return period_ != 0 && count_ > period_; }

    // A bar's close only enters the next bar's true range.
    double peek(double high, double low) const noexcept { return next(high, low).out; }

    double update(double high, double low, double close) noexcept {
        const Next n = next(high, low);
        sum_ = n.sum;
        value_ = n.value;
        prev_close_ = close;
        ++count_;
        return last_ = n.out;
    }

    // The four slices have the same length.
    void update_many(InputSlice high, InputSlice low, InputSlice close, OutputSlice out) noexcept {
        const std::uint64_t n = high.size();
        std::uint64_t j = 0;
        for (; j < n && (period_ == 0 || count_ <= period_); ++j) out[j] = update(high[j], low[j], close[j]);
        if (j == n) return;
        // Past the seed: the whole-series kernel's smoothing loop.
        const std::uint64_t first = j;
        const unaligned_double* h = high.data();
        const unaligned_double* l = low.data();
        const unaligned_double* c = close.data();
        unaligned_double* o = out.data();
        double prev = prev_close_;
        const auto range = [&](std::uint64_t k) {
            const double tr = bar_true_range(h[k], l[k], prev);
            prev = c[k];
            return tr;
        };
        value_ = atr_continue(value_, inv_, range, out, j, n);
        prev_close_ = prev;
        count_ += n - first;
        last_ = o[n - 1];
    }

    void save(WordWriter& w) const {
        w.word(period_);
        w.word(count_);
        w.real(prev_close_);
        w.real(sum_);
        w.real(value_);
        w.real(last_);
    }

    static std::optional<AtrStream> restore(WordReader& r) {
        const auto p = r.word(), count = r.word();
        const auto prev = r.real(), sum = r.real(), value = r.real(), last = r.real();
        if (!p || !count || !prev || !sum || !value || !last) return std::nullopt;
        AtrStream s(*p);
        s.count_ = *count;
        s.prev_close_ = *prev;
        s.sum_ = *sum;
        s.value_ = *value;
        s.last_ = *last;
        return s;
    }

private:
    struct Next {
        double sum;    // of the true ranges so far, while seeding
        double value;  // the average
        double out;
    };

    Next next(double high, double low) const noexcept {
        const std::uint64_t i = count_;
        if (period_ == 0 || i == 0) return {sum_, value_, nan_marker};  // bar 0 has no true range
        const double tr = bar_true_range(high, low, prev_close_);
        if (i < period_) return {sum_ + tr, value_, nan_marker};
        if (i == period_) {
            const double sum = sum_ + tr;
            const double v = atr_seed(sum, static_cast<double>(period_));
            return {sum, v, v};
        }
        const double v = atr_smooth(value_, tr, inv_);
        return {sum_, v, v};
    }

    std::uint64_t period_;
    double inv_;
    std::uint64_t count_ = 0;
    double prev_close_ = nan_marker;
    double sum_ = true_range_sum_start<double>();
    double value_ = nan_marker;
    double last_ = nan_marker;
};

}  // namespace brindlex::core::stream
