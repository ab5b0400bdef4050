// Random and adversarial series compared with the oracle; aimed at the kernels' linear-time shortcuts and fallbacks.
#include <algorithm>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace brindlex::test {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double big = DBL_MAX;
constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

void check_sma(std::uint64_t period, const std::vector<double>& data, const std::string& context) {
    Block block;
    const std::size_t data_at = block.add(data);
    const std::size_t output_at = block.add_output(data.size());
    expect_matches_reference(block.finish(), SmaCall{period, data.size(), data_at, output_at}, context);
}

void check_ema(std::uint64_t period, const std::vector<double>& data, const std::string& context) {
    Block block;
    const std::size_t data_at = block.add(data);
    const std::size_t output_at = block.add_output(data.size());
    expect_matches_reference(block.finish(), EmaCall{period, data.size(), data_at, output_at}, context);
}

void check_macd(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal,
                const std::vector<double>& data, const std::string& context) {
    const std::size_t n = data.size();
    Block block;
    const std::size_t data_at = block.add(data);
    const std::size_t macd_at = block.add_output(n);
    const std::size_t signal_at = block.add_output(n);
    const std::size_t hist_at = block.add_output(n);
    expect_matches_reference(block.finish(),
                             MacdCall{fast, slow, signal, n, data_at, macd_at, signal_at, hist_at},
                             context);
}

void check_atr(std::uint64_t period, const std::vector<double>& high, const std::vector<double>& low,
               const std::vector<double>& close, const std::string& context) {
    const std::size_t n = high.size();
    Block block;
    const std::size_t high_at = block.add(high);
    const std::size_t low_at = block.add(low);
    const std::size_t close_at = block.add(close);
    const std::size_t output_at = block.add_output(n);
    expect_matches_reference(block.finish(), AtrCall{period, n, high_at, low_at, close_at, output_at},
                             context);
}

// Puts `value` at start, start + step, start + 2 step, ...
void every(std::vector<double>& v, std::size_t start, std::size_t step, double value) {
    for (std::size_t i = start; i < v.size(); i += step) v[i] = value;
}

const std::vector<Mix>& mixes() {
    using B = Mix::Base;
    // base, NaN, +inf, -inf, signed zero and huge rates, marker among the NaNs
    static const std::vector<Mix> all = {
        {B::walk, 0, 0, 0, 0, 0, false},
        {B::walk, 0.02, 0.01, 0.01, 0.01, 0.0, false},
        {B::walk, 0.2, 0.0, 0.0, 0.0, 0.0, false},
        {B::walk, 0.0, 0.05, 0.05, 0.0, 0.0, false},
        {B::walk, 0.01, 0.0, 0.0, 0.0, 0.0, true},
        {B::integers, 0.0, 0.0, 0.0, 0.3, 0.0, false},
        {B::integers, 0.05, 0.02, 0.02, 0.3, 0.0, true},
        {B::wide, 0.0, 0.0, 0.0, 0.0, 0.0, false},
        {B::wide, 0.03, 0.02, 0.02, 0.05, 0.05, false},
        {B::huge, 0.0, 0.0, 0.0, 0.0, 0.0, false},
        {B::huge, 0.02, 0.03, 0.03, 0.0, 0.0, false},
        {B::walk, 0.0, 0.0, 0.0, 0.0, 0.1, false},
        {B::integers, 0.0, 0.0, 0.0, 1.0, 0.0, false},  // signed zeros only
    };
    return all;
}

// Mostly short series, sometimes long ones (where unrolled or blocked loops take over).
std::size_t random_length(SeriesMaker& r) {
    const std::uint64_t kind = r.below(10);
    if (kind == 0) return r.below(4);
    if (kind < 8) return 4 + r.below(120);
    return 124 + r.below(3000);
}

std::uint64_t random_period(SeriesMaker& r, std::size_t n) {
    switch (r.below(9)) {
    case 0: return r.below(4);
    case 1: return n;
    case 2: return n == 0 ? 1 : n - 1;
    case 3: return n + 1;
    case 4: return u64_max - r.below(2);
    case 5: return 1 + r.below(std::max<std::size_t>(n, 1));
    default: return 1 + r.below(std::min<std::size_t>(std::max<std::size_t>(n, 1), 40));
    }
}

std::string case_name(const char* kernel, int i) {
    return std::string(kernel) + " random case " + std::to_string(i);
}

TEST(RandomSeries, Sma) {
    SeriesMaker r(0x5EED0001);
    for (int i = 0; i < 4000; ++i) {
        const std::size_t n = random_length(r);
        const Mix& mix = mixes()[r.below(mixes().size())];
        const std::vector<double> data = r.make(n, mix);
        check_sma(random_period(r, n), data, case_name("sma", i));
    }
}

TEST(RandomSeries, Ema) {
    SeriesMaker r(0x5EED0002);
    for (int i = 0; i < 4000; ++i) {
        const std::size_t n = random_length(r);
        const Mix& mix = mixes()[r.below(mixes().size())];
        const std::vector<double> data = r.make(n, mix);
        check_ema(random_period(r, n), data, case_name("ema", i));
    }
}

TEST(RandomSeries, Macd) {
    SeriesMaker r(0x5EED0003);
    for (int i = 0; i < 4000; ++i) {
        const std::size_t n = random_length(r);
        const Mix& mix = mixes()[r.below(mixes().size())];
        const std::vector<double> data = r.make(n, mix);
        const std::uint64_t fast = r.chance(0.3) ? 1 : 1 + r.below(30);
        const std::uint64_t slow = fast + 1 + (r.chance(0.3) ? 0 : r.below(60));
        std::uint64_t signal = 1 + r.below(30);
        if (r.chance(0.1)) signal = u64_max - r.below(slow + 2);  // s + g - 2 wraps around
        check_macd(fast, slow, signal, data, case_name("macd", i));
    }
}

// Overwrites values at the mix's rates, leaving the base values alone.
void sprinkle(std::vector<double>& v, const Mix& mix, SeriesMaker& r) {
    for (double& x : v) {
        if (r.chance(mix.huge)) x = r.huge_value();
        if (r.chance(mix.signed_zero)) x = r.chance(0.5) ? -0.0 : 0.0;
        if (r.chance(mix.pos_inf)) x = inf;
        if (r.chance(mix.neg_inf)) x = -inf;
        if (r.chance(mix.nan)) x = r.nan_value(mix.marker_nans);
    }
}

TEST(RandomSeries, Atr) {
    SeriesMaker r(0x5EED0004);
    for (int i = 0; i < 4000; ++i) {
        const std::size_t n = random_length(r);
        const Mix& mix = mixes()[r.below(mixes().size())];
        std::vector<double> high, low, close;
        if (mix.base == Mix::Base::walk) {
            // Bars around a walk, one in ten with its high below its low; unusual values then
            // hit each array on its own.
            const std::vector<double> center = r.make(n, Mix{});
            for (std::size_t k = 0; k < n; ++k) {
                const double spread = static_cast<double>(r.below(8)) * 0.25;
                const double flip = r.chance(0.1) ? -1.0 : 1.0;
                high.push_back(center[k] + flip * spread);
                low.push_back(center[k] - flip * spread);
                close.push_back(center[k] + static_cast<double>(r.below(5)) * 0.125 - 0.25);
            }
            sprinkle(high, mix, r);
            sprinkle(low, mix, r);
            sprinkle(close, mix, r);
        } else {
            high = r.make(n, mix);
            low = r.make(n, mix);
            close = r.make(n, mix);
        }
        check_atr(random_period(r, n), high, low, close, case_name("atr", i));
    }
}

TEST(Adversarial, EmaWindowSearch) {
    // The search may resume after a non-finite value instead of re-scanning each start; these
    // patterns put non-finite values where an off-by-one in that resumption shows.
    SeriesMaker r(0x5EED0101);
    const std::vector<double> unusual = {from_bits(0x7FF8000000000001ULL), inf, -inf,
                                          from_bits(0xFFF8000000000000ULL), marker};
    for (const std::uint64_t p : {1u, 2u, 3u, 7u, 49u, 50u, 51u, 300u}) {
        for (const double bad : unusual) {
            char bad_bits[32];
            std::snprintf(bad_bits, sizeof bad_bits, "0x%016" PRIX64, bits(bad));
            const std::string tag = "period " + std::to_string(p) + ", bad " + bad_bits;
            std::vector<double> base = r.make(3000, Mix{});

            // Non-finite every k positions: gaps of k - 1 values, one short of, equal to and one
            // more than the period.
            for (const std::uint64_t k : {p, p + 1, p + 2}) {
                std::vector<double> v = base;
                every(v, 0, k, bad);
                check_ema(p, v, tag + ", every " + std::to_string(k));
                every(v, k / 2, k, bad);
                check_ema(p, v, tag + ", twice every " + std::to_string(k));
            }

            // Gaps growing by one until one fits: every start in between fails at a different depth.
            std::vector<double> v = base;
            std::size_t at = 0;
            for (std::size_t gap = 0; gap < p && at < v.size(); ++gap) {
                v[at] = bad;
                at += gap + 1;
            }
            check_ema(p, v, tag + ", growing gaps");

            // The only window is the last p values; also one value short of it.
            if (p < 1000) {
                std::vector<double> w = r.make(1000, Mix{});
                for (std::size_t i = 0; i + p < w.size(); i += std::max<std::uint64_t>(1, p - 1)) w[i] = bad;
                w[w.size() - p - 1] = bad;
                check_ema(p, w, tag + ", window at the end");
                w[w.size() - 1] = bad;
                check_ema(p, w, tag + ", no window");
            }

            // A non-finite value right after the first window, and right at its last element.
            std::vector<double> after = base;
            after[p] = bad;
            check_ema(p, after, tag + ", right after the first window");
            std::vector<double> last = base;
            last[p - 1] = bad;
            check_ema(p, last, tag + ", at the end of the first window");
        }
    }
    // Alternating infinities with a finite run somewhere in the middle.
    for (const std::uint64_t p : {1u, 2u, 5u, 20u}) {
        std::vector<double> v(400);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = i % 2 == 0 ? inf : -inf;
        for (std::size_t i = 200; i < 200 + p; ++i) v[i] = static_cast<double>(i);
        check_ema(p, v, "alternating infinities, period " + std::to_string(p));
    }
}

TEST(Adversarial, MacdReseeding) {
    // A seed is retried at every non-NaN position while the fast average is NaN; kernels that
    // predict the outcome from where NaNs and infinities lie must still agree with summing.
    SeriesMaker r(0x5EED0102);
    struct Periods {
        std::uint64_t fast, slow, signal;
    };
    const std::vector<Periods> periods = {
        {1, 2, 1}, {1, 3, 2}, {1, 5, 4}, {2, 3, 2}, {3, 10, 5}, {12, 26, 9}, {100, 200, 30}, {199, 200, 1},
    };
    const double nan_in = from_bits(0x7FF8000000000001ULL);
    for (const Periods& p : periods) {
        const std::string tag = "periods " + std::to_string(p.fast) + "/" + std::to_string(p.slow) +
                                "/" + std::to_string(p.signal);
        const std::vector<double> base = r.make(2000, Mix{});
        const std::size_t seed_at = p.slow - 1;
        const std::size_t signal_at = p.slow + p.signal - 2;

        // NaN every k: inside the fast window always (k < f), sometimes, or only in the slow one.
        for (const std::uint64_t k : {std::uint64_t{2}, p.fast, p.fast + 1, p.slow, p.slow + 1, 3 * p.slow}) {
            if (k < 2) continue;
            std::vector<double> v = base;
            every(v, k - 1, k, nan_in);
            check_macd(p.fast, p.slow, p.signal, v, tag + ", NaN every " + std::to_string(k));
        }

        // A single NaN at and around the seed and signal positions, and before the fast window.
        for (const std::size_t at : {std::size_t{0}, seed_at - std::min(seed_at, p.fast), seed_at - 1,
                                     seed_at, seed_at + 1, signal_at, signal_at + 1}) {
            std::vector<double> v = base;
            v[at] = nan_in;
            check_macd(p.fast, p.slow, p.signal, v, tag + ", NaN at " + std::to_string(at));
            // A run of NaNs from there delays the signal seed further.
            for (std::size_t i = at; i < std::min(v.size(), at + p.signal + 2); ++i) v[i] = nan_in;
            check_macd(p.fast, p.slow, p.signal, v, tag + ", NaN run from " + std::to_string(at));
        }

        // Infinities: with fast period 1 the fast beta is 0, inf * 0 is NaN and forces a re-seed.
        for (const double density : {0.01, 0.05, 0.3}) {
            std::vector<double> v = base;
            for (double& x : v) {
                if (r.chance(density)) x = r.chance(0.5) ? inf : -inf;
                else if (r.chance(density / 2)) x = nan_in;
            }
            check_macd(p.fast, p.slow, p.signal, v, tag + ", infinities " + std::to_string(density));
        }

        // Alternating infinities, and both infinities within one fast window.
        std::vector<double> alternating = base;
        for (std::size_t i = seed_at; i < alternating.size(); i += 7) alternating[i] = (i / 7) % 2 ? inf : -inf;
        check_macd(p.fast, p.slow, p.signal, alternating, tag + ", alternating infinities");
        std::vector<double> both = base;
        both[seed_at] = inf;
        both[seed_at - std::min<std::size_t>(seed_at, p.fast - 1)] = -inf;
        check_macd(p.fast, p.slow, p.signal, both, tag + ", both infinities in the fast window");

        // Huge finite values: window sums overflow, and combined with an opposite infinity they
        // are NaN although no input is NaN and only one sign of infinity is present.
        std::vector<double> huge = base;
        for (double& x : huge) {
            if (r.chance(0.3)) x = r.chance(0.5) ? big : -big;
            if (r.chance(0.02)) x = r.chance(0.5) ? inf : -inf;
        }
        check_macd(p.fast, p.slow, p.signal, huge, tag + ", huge values and infinities");
        std::vector<double> overflow = base;
        for (std::size_t i = 0; i + 3 <= overflow.size(); i += 40) {
            overflow[i] = -inf;
            overflow[i + 1] = big;
            overflow[i + 2] = big;
        }
        check_macd(p.fast, p.slow, p.signal, overflow, tag + ", overflow against -inf");

        // The fast seed sum, taken backwards from the seed position, overflows on two huge values
        // and then meets the opposite infinity at the window's far end: NaN with no NaN input, so
        // the seed fails and is retried while the infinity stays in the window.
        if (p.fast >= 3) {
            for (const double sign : {1.0, -1.0}) {
                std::vector<double> v = base;
                v[seed_at] = sign * big;
                v[seed_at - 1] = sign * big;
                v[seed_at - (p.fast - 1)] = -sign * inf;
                check_macd(p.fast, p.slow, p.signal, v, tag + ", fast seed sum overflows into NaN");
                v[seed_at + 1] = sign * big;
                check_macd(p.fast, p.slow, p.signal, v, tag + ", fast seed sum NaN twice");
            }
        }
    }
}

TEST(Adversarial, MacdFastPeriodOneRecovery) {
    // With fast period 1 and slow period 2 an infinity followed by clean values re-seeds and
    // recovers; every spacing of infinities and NaNs around it takes a different path.
    SeriesMaker r(0x5EED0103);
    const double nan_in = from_bits(0xFFF8000000000001ULL);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 20 + r.below(60);
        std::vector<double> v = r.make(n, Mix{Mix::Base::integers});
        for (double& x : v) {
            const std::uint64_t roll = r.below(10);
            if (roll == 0) x = inf;
            else if (roll == 1) x = -inf;
            else if (roll == 2) x = nan_in;
        }
        const std::uint64_t slow = 2 + r.below(3);
        check_macd(1, slow, 1 + r.below(4), v, "fast 1 trial " + std::to_string(trial));
    }
}

TEST(Adversarial, SmaAndAtrUnusualValues) {
    SeriesMaker r(0x5EED0104);
    // Long series: rounding error carries along the running sum, so any reordering of the roll
    // (blocked or unrolled loops) drifts visibly.
    for (const std::uint64_t p : {1u, 2u, 3u, 4u, 5u, 8u, 17u, 1000u}) {
        const std::vector<double> walk = r.make(20000, Mix{});
        check_sma(p, walk, "long walk, period " + std::to_string(p));
        const std::vector<double> wide = r.make(5000, Mix{Mix::Base::wide});
        check_sma(p, wide, "long wide series, period " + std::to_string(p));
    }
    // An infinity entering and leaving the window, and huge values whose sum overflows.
    for (const std::uint64_t p : {1u, 2u, 30u}) {
        std::vector<double> v = r.make(200, Mix{});
        v[100] = inf;
        check_sma(p, v, "one infinity, period " + std::to_string(p));
        v[100] = big;
        v[101] = big;
        check_sma(p, v, "overflow, period " + std::to_string(p));
        v[150] = -big;
        v[151] = -big;
        check_sma(p, v, "overflow both ways, period " + std::to_string(p));
    }
    // ATR: NaN in exactly one of high, low and previous close is absorbed by the maximum; in two
    // of them it is not.
    for (const std::uint64_t p : {1u, 2u, 14u}) {
        for (int which = 0; which < 7; ++which) {
            std::vector<double> close = r.make(300, Mix{});
            std::vector<double> high = close, low = close;
            for (std::size_t i = 0; i < close.size(); ++i) {
                high[i] += 1.0 + static_cast<double>(r.below(3));
                low[i] -= 1.0 + static_cast<double>(r.below(3));
            }
            for (std::size_t i = 1; i < close.size(); ++i) {
                if (!r.chance(0.2)) continue;
                const double nan_in = r.nan_value(true);
                if (which & 1) high[i] = nan_in;
                if (which & 2) low[i] = nan_in;
                if (which & 4) close[i - 1] = nan_in;
            }
            check_atr(p, high, low, close, "atr NaN pattern " + std::to_string(which) + ", period " +
                                               std::to_string(p));
        }
    }
}

}  // namespace
}  // namespace brindlex::test
