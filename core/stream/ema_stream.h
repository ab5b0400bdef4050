// The exponential moving average one bar at a time, bit for bit as the whole-series kernel computes it.
#pragma once

#include <cstdint>
#include <optional>

#include "../float_slice.h"
#include "../nan_marker.h"
#include "../seeds.h"
#include "../ema_step.h"
#include "../weights.h"
#include "state_words.h"

namespace brindlex::core::stream {

// The seed is the mean of the first run of `period` finite bars, summed from -0.0 in order: a
// running sum over the current run of finite bars, restarted at each non-finite one, reaches it
// with no window at all. State is O(1) whatever the period.
class EmaStream {
public:
    explicit EmaStream(std::uint64_t period) noexcept : period_(period), w_(weights_of(period)) {}

    std::uint64_t period() const noexcept { return period_; }
    std::uint64_t count() const noexcept { return count_; }
    double value() const noexcept { return last_; }
    bool ready() const noexcept { return seeded_; }

    double peek(double x) const noexcept { return next(x).out; }

    double update(double x) noexcept {
        commit(next(x));
        return last_;
    }

    void update_many(InputSlice x, OutputSlice out) noexcept {
        const std::uint64_t n = x.size();
        std::uint64_t i = 0;
        for (; i < n && !seeded_; ++i) out[i] = update(x[i]);
        if (i == n) return;
        // Seeded: ema_step's rule with the skip as a branch, as in the whole-series kernel's loop;
        // for the usual series it always goes the same way.
        const std::uint64_t first = i;
        const unaligned_double* in = x.data();
        unaligned_double* o = out.data();
        double v = value_;
        const Weights w = w_;
        for (; i < n; ++i) {
            const double xi = in[i];
            if (is_finite(xi)) {
                v = blend(v, xi, w);
                o[i] = v;
            } else {
                o[i] = nan_marker;
            }
        }
        value_ = v;
        count_ += n - first;
        last_ = o[n - 1];
    }

    void save(WordWriter& w) const {
        w.word(period_);
        w.word(count_);
        w.word(run_);
        w.word(seeded_);
        w.real(sum_);
        w.real(value_);
        w.real(last_);
    }

    static std::optional<EmaStream> restore(WordReader& r) {
        const auto p = r.word(), count = r.word(), run = r.word(), seeded = r.word();
        const auto sum = r.real(), value = r.real(), last = r.real();
        if (!p || !count || !run || !seeded || !sum || !value || !last) return std::nullopt;
        if (*seeded > 1 || *run > *count || (*seeded == 0 && *p != 0 && *run >= *p)) return std::nullopt;
        EmaStream s(*p);
        s.count_ = *count;
        s.run_ = *run;
        s.seeded_ = *seeded == 1;
        s.sum_ = *sum;
        s.value_ = *value;
        s.last_ = *last;
        return s;
    }

private:
    struct Next {
        std::uint64_t run;
        double sum;    // of the current run of finite bars, while not seeded
        double value;  // the average
        bool seeded;
        double out;
    };

    Next next(double x) const noexcept {
        if (seeded_) {
            const EmaStep<double> s = ema_step(value_, x, w_);
            return {run_, sum_, s.value, true, s.output};
        }
        const std::uint64_t run = finite_run(run_, x);
        if (run == 0) return {0, average_sum_start<double>(), value_, false, nan_marker};
        const double sum = sum_ + x;
        if (run != period_) return {run, sum, value_, false, nan_marker};
        const double v = ema_seed(sum, static_cast<double>(period_));
        return {run, sum, v, true, v};
    }

    void commit(const Next& n) noexcept {
        run_ = n.run;
        sum_ = n.sum;
        value_ = n.value;
        seeded_ = n.seeded;
        ++count_;
        last_ = n.out;
    }

    std::uint64_t period_;
    Weights w_;
    std::uint64_t count_ = 0;
    std::uint64_t run_ = 0;  // finite bars in a row, while not seeded
    bool seeded_ = false;
    double sum_ = average_sum_start<double>();
    double value_ = nan_marker;
    double last_ = nan_marker;
};

}  // namespace brindlex::core::stream
