// The simple moving average one bar at a time, bit for bit as the whole-series kernel computes it.
#pragma once

#include <cstdint>
#include <optional>

#include "../continuations.h"
#include "../float_slice.h"
#include "../nan_marker.h"
#include "../seeds.h"
#include "../sma_step.h"
#include "state_words.h"
#include "window.h"

namespace brindlex::core::stream {

// The running sum grows from -0.0 over the first `period` bars in the order they come, which is the
// whole-series seed's order; from then on each bar adds (new - leaving), so the window of the last
// `period` bars is all the memory there is.
class SmaStream {
public:
    explicit SmaStream(std::uint64_t period) noexcept
        : window_(period), inv_(reciprocal_of(period)) {}

    std::uint64_t period() const noexcept { return window_.period(); }
    std::uint64_t count() const noexcept { return count_; }
    double value() const noexcept { return last_; }
    bool ready() const noexcept { return period() != 0 && count_ >= period(); }

    double peek(double x) const noexcept { return next(x).out; }

    double update(double x) {
        const Next n = next(x);
        window_.push(x);  // the only step that can fail, and it then changes nothing
        sum_ = n.sum;
        ++count_;
        return last_ = n.out;
    }

    // Makes room for `bars` more bars, so that updating with them cannot fail (throws
    // std::bad_alloc, changing nothing, when memory runs out).
    void reserve_for(std::uint64_t bars) { window_.reserve_for(bars); }

    // Commits the stretch `x`, writing its values to `out` (same length). Room is made first, so
    // that a failed allocation leaves the stream as it was.
    void update_many(InputSlice x, OutputSlice out) {
        const std::uint64_t n = x.size();
        if (n == 0) return;
        const std::uint64_t p = period();
        window_.reserve_for(n);
        if (p == 0) {
            fill_nan(out);
            count_ += n;
            last_ = nan_marker;
            return;
        }
        // While the leaving bar lies before the stretch it comes from the ring; after that from
        // the stretch itself, in the whole-series kernel's loop.
        const std::uint64_t from_ring = n < p ? n : p;
        for (std::uint64_t i = 0; i < from_ring; ++i) out[i] = update(x[i]);
        if (from_ring == n) return;
        const unaligned_double* in = x.data();
        unaligned_double* o = out.data();
        sum_ = sma_continue(sum_, p, inv_, x, out, p, n);
        for (std::uint64_t i = n - p > p ? n - p : p; i < n; ++i) window_.push(in[i]);
        count_ += n - p;
        last_ = o[n - 1];
    }

    void save(WordWriter& w) const {
        w.word(period());
        w.word(count_);
        w.real(sum_);
        w.real(last_);
        w.reals(window_.in_order());
    }

    static std::optional<SmaStream> restore(WordReader& r) {
        const auto p = r.word(), count = r.word();
        const auto sum = r.real(), last = r.real();
        if (!p || !count || !sum || !last) return std::nullopt;
        auto values = r.reals(*p);
        if (!values || values->size() != (*count < *p ? *count : *p)) return std::nullopt;
        SmaStream s(*p);
        s.window_ = Window::restored(*p, std::move(*values));
        s.count_ = *count;
        s.sum_ = *sum;
        s.last_ = *last;
        return s;
    }

private:
    struct Next {
        double sum;
        double out;
    };

    Next next(double x) const noexcept {
        const std::uint64_t p = period();
        if (count_ < p) {  // the first window, summed in arrival order
            const double sum = sum_ + x;
            return {sum, count_ + 1 == p ? sma_mean(sum, inv_) : nan_marker};
        }
        if (p == 0) return {sum_, nan_marker};
        const SmaStep<double> s = sma_roll(sum_, x, window_.oldest(), inv_);
        return {s.sum, s.mean};
    }

    Window window_;
    double inv_;
    std::uint64_t count_ = 0;
    double sum_ = average_sum_start<double>();
    double last_ = nan_marker;
};

}  // namespace brindlex::core::stream
