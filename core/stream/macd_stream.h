// MACD one bar at a time, bit for bit as the whole-series kernel computes it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "../float_slice.h"
#include "../macd_steady_run.h"
#include "../macd_step.h"
#include "../nan_marker.h"
#include "../seeds.h"
#include "../weights.h"
#include "state_words.h"
#include "window.h"

namespace brindlex::core::stream {

struct MacdValues {
    double macd = nan_marker;
    double signal = nan_marker;
    double hist = nan_marker;
};

// The averages are seeded by sums that run backwards from the current bar over the last
// `slow_period` bars, and seeded again whenever the fast average turns NaN, at any time; so the
// last slow_period - 1 bars are kept in a ring for as long as the stream lives. Everything else is
// O(1). Preconditions (checked by the caller): every period at least 1, fast < slow.
class MacdStream {
public:
    MacdStream(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period) noexcept
        : f_(fast_period), s_(slow_period), g_(signal_period),
          signal_start_(macd_signal_start(slow_period, signal_period)),
          w_{weights_of(fast_period), weights_of(slow_period), weights_of(signal_period)},
          window_(slow_period - 1) {}

    std::uint64_t fast_period() const noexcept { return f_; }
    std::uint64_t slow_period() const noexcept { return s_; }
    std::uint64_t signal_period() const noexcept { return g_; }
    std::uint64_t count() const noexcept { return count_; }
    MacdValues value() const noexcept { return last_; }
    // The signal line has had a value: all three outputs have appeared.
    bool ready() const noexcept { return ready_; }

    // Makes room for `bars` more updates, so that they cannot fail.
    void reserve_for(std::uint64_t bars) { window_.reserve_for(bars); }

    MacdValues peek(double x) const noexcept {
        State st = st_;
        return step(st, count_, x, Recent{x, window_});
    }

    // While the averages and the signal hold numbers, a bar whose histogram comes out a number is
    // all of it (as in update_many's steady run); every other bar takes the full rules.
    MacdValues update(double x) {
        if (steady(st_)) [[likely]] {
            const MacdStep<double> r = macd_steady_step(st_.avg, x, w_);
            if (!is_nan(r.hist)) [[likely]] {
                window_.push(x);  // the only step that can fail, and it then changes nothing
                st_.avg = r.state;
                ++count_;
                ready_ = true;
                return last_ = {r.macd, r.signal, r.hist};
            }
        }
        return update_by_rules(x);
    }

    // Commits the stretch `x`, writing its values to the three outputs (each of x's length).
    void update_many(InputSlice x, OutputSlice macd, OutputSlice signal, OutputSlice hist) {
        const std::uint64_t n = x.size();
        if (n == 0) return;
        window_.reserve_for(n);
        const unaligned_double* in = x.data();
        unaligned_double* om = macd.data();
        unaligned_double* os = signal.data();
        unaligned_double* oh = hist.data();
        State st = st_;
        bool ready = ready_;
        for (std::uint64_t j = 0; j < n;) {
            if (steady(st)) {
                ready = true;
                const MacdReached r = macd_run_steady_pairs(in, j, n, w_, st.avg, MacdOutputs{om, os, oh});
                j = r.i;
                st.avg = r.state;
                if (j == n) break;
            }
            const MacdValues v = step(st, count_ + j, in[j], InStretch{in, j, window_});
            om[j] = v.macd;
            os[j] = v.signal;
            oh[j] = v.hist;
            ready = ready || !is_nan(st.avg.signal);
            ++j;
        }
        for (std::uint64_t j = n > window_.period() ? n - window_.period() : 0; j < n; ++j) window_.push(in[j]);
        st_ = st;
        count_ += n;
        ready_ = ready;
        last_ = {om[n - 1], os[n - 1], oh[n - 1]};
    }

    void save(WordWriter& w) const {
        for (std::uint64_t word : {f_, s_, g_, count_, st_.seen.nan, st_.seen.plus_inf, st_.seen.minus_inf,
                                   std::uint64_t{ready_}}) {
            w.word(word);
        }
        for (double x : {st_.avg.fast, st_.avg.slow, st_.avg.signal, last_.macd, last_.signal, last_.hist}) w.real(x);
        w.reals(window_.in_order());
    }

    static std::optional<MacdStream> restore(WordReader& r) {
        std::uint64_t words[8];
        for (auto& word : words) {
            const auto v = r.word();
            if (!v) return std::nullopt;
            word = *v;
        }
        double reals[6];
        for (auto& real : reals) {
            const auto v = r.real();
            if (!v) return std::nullopt;
            real = *v;
        }
        const std::uint64_t fast_period = words[0], slow_period = words[1], signal_period = words[2];
        const std::uint64_t count = words[3];
        if (fast_period == 0 || signal_period == 0 || fast_period >= slow_period || words[7] > 1) return std::nullopt;
        for (int k = 4; k < 7; ++k) {
            if (words[k] > count) return std::nullopt;
        }
        auto values = r.reals(slow_period - 1);
        if (!values || values->size() != std::min(count, slow_period - 1)) return std::nullopt;
        MacdStream m(fast_period, slow_period, signal_period);
        m.count_ = count;
        m.st_ = {{reals[0], reals[1], reals[2]}, {words[4], words[5], words[6]}};
        m.ready_ = words[7] == 1;
        m.last_ = {reals[3], reals[4], reals[5]};
        m.window_ = Window::restored(slow_period - 1, std::move(*values));
        return m;
    }

private:
    // update() by the full rules: the warm-up, a seed, a NaN or infinite bar or outcome.
    [[gnu::noinline]] MacdValues update_by_rules(double x) {
        State st = st_;
        const MacdValues out = step(st, count_, x, Recent{x, window_});
        window_.push(x);  // the only step that can fail, and it then changes nothing
        st_ = st;
        ++count_;
        ready_ = ready_ || !is_nan(st.avg.signal);
        return last_ = out;
    }

    // The averages, the signal line, and the last NaN, +inf and -inf seen, by which a seed window
    // bound to sum to NaN is known without its sum.
    struct State {
        MacdState<double> avg;
        NonFiniteSeen seen;
    };

    static bool steady(const State& st) noexcept {
        return !is_nan(st.avg.fast) && !is_nan(st.avg.slow) && !is_nan(st.avg.signal);
    }

    // The bars back from the one being stepped (k = 0 is that bar): a single bar before the ring.
    struct Recent {
        double x;
        const Window& window;
        double operator()(std::uint64_t k) const noexcept { return k == 0 ? x : window.back(k - 1); }
    };
    // Bar j of a stretch, then the ring as it stood before the stretch.
    struct InStretch {
        const unaligned_double* x;
        std::uint64_t j;
        const Window& window;
        double operator()(std::uint64_t k) const noexcept { return k <= j ? x[j - k] : window.back(k - j - 1); }
    };

    // The shared seed, with a window bound to sum to NaN not summed (i + 1 >= s_ here).
    template <class History>
    void seed(State& st, std::uint64_t i, History at) const noexcept {
        MacdState<double>& a = st.avg;
        if (seed_doomed(st.seen, i, f_)) {
            a.fast = a.slow = invalid_nan;
            return;
        }
        const SeededAverages seeded = seed_doomed(st.seen, i, s_) ? macd_seed(f_, s_, at, invalid_nan)
                                                             : macd_seed(f_, s_, at);
        a.fast = seeded.fast;
        a.slow = seeded.slow;
    }

    // One bar at position i by the full rules.
    template <class History>
    MacdValues step(State& st, std::uint64_t i, double x, History at) const noexcept {
        if (!is_finite(x)) {
            st.seen.note(i, x);
            if (is_nan(x)) return {};
        }
        if (i + 1 < s_) return {};  // the warm-up
        if (is_nan(st.avg.fast)) {
            seed(st, i, at);
        } else {
            st.avg = blend_averages(st.avg, x, w_);
        }
        const MacdStep<double> r = macd_outputs(st.avg, i >= signal_start_, w_);
        st.avg = r.state;
        return {r.macd, r.signal, r.hist};
    }

    std::uint64_t f_, s_, g_;
    std::uint64_t signal_start_;
    MacdWeights<double> w_;
    Window window_;  // the last slow_period - 1 bars: with the current one, a slow seed window
    std::uint64_t count_ = 0;
    State st_;
    bool ready_ = false;
    MacdValues last_;
};

}  // namespace brindlex::core::stream
