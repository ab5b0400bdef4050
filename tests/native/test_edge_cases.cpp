// Hand-checked examples and boundary inputs, compared bit for bit; run on the kernels and on the oracle alike.
#include <cfloat>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace brindlex::test {
namespace {

constexpr double M = marker;   // a position without a value: must be exactly the marker
constexpr double A = any_nan;  // a NaN produced by arithmetic: any NaN will do
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double big = DBL_MAX;
constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t two_63 = std::uint64_t{1} << 63;
// An input NaN whose payload is not the marker's, so it cannot pass for a marker in a result.
const double nan_in = from_bits(0x7FF8000000000001ULL);

class EdgeCases : public testing::TestWithParam<Impl> {
protected:
    Impl impl() const { return GetParam(); }
};

struct SeriesExample {
    const char* name;
    std::uint64_t period;
    std::vector<double> data;
    std::vector<double> expected;
};

TEST_P(EdgeCases, SmaExamples) {
    const std::vector<SeriesExample> examples = {
        {"rolling mean", 3, {1, 2, 3, 4, 5}, {M, M, 2, 3, 4}},
        // (1/3) * 5 and 5 / 3 differ in the last bit: a division instead of the reciprocal shows.
        {"reciprocal, not division", 3, {1, 2, 2}, {M, M, 1.6666666666666665}},
        {"period equals length", 4, {1, 2, 3, 4}, {M, M, M, 2.5}},
        {"period 1 drifts from its inputs", 1, {1e16, 1}, {1e16, 0}},
        // sum + (new - old) gives 5000000000000001 then 3; (sum + new) - old gives other values.
        {"difference added to the sum", 2, {0.2, 1e16, 3, 3}, {M, 5e15, 5000000000000001.0, 3}},
        {"seed sum starts from -0.0", 3, {-0.0, -0.0, -0.0, -0.0}, {M, M, -0.0, 0.0}},
        {"single -0.0", 1, {-0.0}, {-0.0}},
        {"single +0.0", 1, {0.0}, {0.0}},
        {"single infinity", 1, {inf}, {inf}},
        {"NaN poisons the rest", 2, {1, nan_in, 3, 4, 5, 6}, {M, A, A, A, A, A}},
        {"NaN inside the seed window", 3, {nan_in, 1, 2, 3}, {M, M, A, A}},
        {"+infinity: infinite while in the window, then NaN", 2, {1, 2, inf, 4, 5, 6, 7},
         {M, 1.5, inf, inf, A, A, A}},
        {"-infinity", 3, {1, 2, -inf, 4, 5, 6, 7}, {M, M, -inf, -inf, -inf, A, A}},
        // The seed overflows; leaving it, DBL_MAX - (-DBL_MAX) is -inf and the sum becomes NaN.
        {"overflowing seed", 2, {big, big, -big, 1}, {M, inf, A, A}},
    };
    for (const SeriesExample& e : examples) {
        SCOPED_TRACE(e.name);
        EXPECT_TRUE(same_bits(e.expected, run_sma(impl(), e.period, e.data)));
    }
}

TEST_P(EdgeCases, EmaExamples) {
    const std::vector<SeriesExample> examples = {
        {"alpha 0.5", 3, {1, 2, 3, 4, 5, 6}, {M, M, 2, 3, 4, 5}},
        {"alpha 0.4", 4, {1, 2, 3, 4, 5}, {M, M, M, 2.5, 3.5}},
        {"NaN moves the seed window, infinity is skipped", 3, {1, nan_in, 3, 4, 5, 6, inf, 8},
         {M, M, M, M, 4, 5, M, 6.5}},
        {"no finite window", 3, {1, 2, nan_in, 4, 5}, {M, M, M, M, M}},
        // The seed is a true division, unlike the SMA: 5 / 3, not (1/3) * 5.
        {"division, not reciprocal", 3, {1, 2, 2}, {M, M, 1.6666666666666667}},
        {"period equals length", 4, {1, 2, 3, 4}, {M, M, M, 2.5}},
        {"period equals length, one infinity", 4, {1, 2, -inf, 4}, {M, M, M, M}},
        {"period 1 skips non-finite values", 1, {nan_in, -inf, 5, inf, 7}, {M, M, 5, M, 7}},
        // beta is 0 here: -0.0 * 0 + 0.0 * 1 is +0.0, and it stays +0.0 afterwards.
        {"period 1 and signed zeros", 1, {-0.0, -0.0, 0.0, -0.0}, {-0.0, -0.0, 0.0, 0.0}},
        {"seed sum starts from -0.0", 3, {-0.0, -0.0, -0.0, -0.0}, {M, M, -0.0, -0.0}},
        // Starts 0 to 4 fail at different depths; the first good window starts at 5.
        {"window search restarts", 3, {1, inf, 2, 3, nan_in, 4, 5, 6, 7},
         {M, M, M, M, M, M, M, 5, 6}},
        {"first start fails only at its first element", 3, {inf, 1, 2, 3, 4}, {M, M, M, 2, 3}},
        {"window found at the very end", 3, {nan_in, 1, 2, 3}, {M, M, M, 2}},
        {"window right after a failed one", 3, {1, 2, nan_in, 3, 4, 5}, {M, M, M, M, M, 4}},
        // A finite window whose sum overflows still seeds: the average is infinite and stays so.
        {"overflowing seed", 2, {big, big, 1}, {M, inf, inf}},
        {"single value", 1, {-2.5}, {-2.5}},
        {"single infinity", 1, {inf}, {M}},
    };
    for (const SeriesExample& e : examples) {
        SCOPED_TRACE(e.name);
        EXPECT_TRUE(same_bits(e.expected, run_ema(impl(), e.period, e.data)));
    }
}

TEST_P(EdgeCases, SmaAndEmaDegeneratePeriodsGiveOnlyMarkers) {
    // 0 must fall into the same unsigned test as p > n; the huge values catch a signed or
    // floating-point comparison and any `p - 1` or `p + 1` that overflows.
    for (const std::size_t n : {1u, 2u, 5u, 16u}) {
        std::vector<double> data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<double>(i) + 0.5;
        const std::vector<double> all_markers(n, M);
        for (const std::uint64_t p : {std::uint64_t{0}, std::uint64_t{n + 1}, std::uint64_t{n + 2},
                                      two_63, two_63 + 1, u64_max - 1, u64_max}) {
            SCOPED_TRACE("n " + std::to_string(n) + ", period " + std::to_string(p));
            EXPECT_TRUE(same_bits(all_markers, run_sma(impl(), p, data)));
            EXPECT_TRUE(same_bits(all_markers, run_ema(impl(), p, data)));
        }
    }
}

struct MacdExample {
    const char* name;
    std::uint64_t fast, slow, signal;
    std::vector<double> data;
    std::vector<double> macd, signal_line, hist;
};

TEST_P(EdgeCases, MacdExamples) {
    const std::vector<MacdExample> examples = {
        {"linear series", 2, 3, 2, {1, 2, 3, 4, 5, 6},
         {M, M, 0.5, 0.5, 0.5, 0.5}, {M, M, M, 0.5, 0.5, 0.5}, {M, M, M, 0, 0, 0}},
        {"geometric series", 2, 4, 3, {1, 2, 4, 8, 16, 32, 64},
         {M, M, M, 2.25, 4.016666666666666, 7.565555555555552, 14.791185185185178},
         {M, M, M, M, M, 7.565555555555552, 11.178370370370365},
         {M, M, M, M, M, 0, 3.612814814814813}},
        {"shortest periods", 1, 2, 1, {1, 2, 3}, {M, 0.5, 0.5}, {M, 0.5, 0.5}, {M, 0, 0}},
        {"constant series", 3, 5, 2, {7, 7, 7, 7, 7, 7, 7, 7},
         {M, M, M, M, 0, 0, 0, 0}, {M, M, M, M, M, 0, 0, 0}, {M, M, M, M, M, 0, 0, 0}},
        // Both seeds are true divisions: 2 - 5/3, where (1/3) * 5 would give 0.3333333333333335.
        {"seed divisions", 2, 3, 1, {1, 2, 2},
         {M, M, 0.33333333333333326}, {M, M, 0.33333333333333326}, {M, M, 0}},
        // The signal seed is due at position 3, whose input is NaN: it moves to position 4.
        {"NaN after the seed", 2, 3, 2, {1, 2, 3, nan_in, 5, 6, 7},
         {M, M, 0.5, M, 0.6666666666666661, 0.6388888888888893, 0.5879629629629628},
         {M, M, M, M, 0.6666666666666661, 0.6481481481481481, 0.6080246913580245},
         {M, M, M, M, 0, -0.009259259259258856, -0.020061728395061706}},
        {"NaN where the signal seed is due", 2, 3, 3, {1, 2, 3, 4, nan_in, 6, 7, 8},
         {M, M, 0.5, 0.5, M, 0.666666666666667, 0.6388888888888884, 0.5879629629629628},
         {M, M, M, M, M, 0.666666666666667, 0.6527777777777777, 0.6203703703703702},
         {M, M, M, M, M, 0, -0.013888888888889284, -0.03240740740740744}},
        // The fast window is re-seeded at 3 and succeeds; the slow window still holds the NaN.
        {"NaN before the seed", 2, 3, 2, {1, nan_in, 3, 4, 5, 6, 7},
         {M, M, A, A, A, A, A}, {M, M, M, A, A, A, A}, {M, M, M, M, M, M, M}},
        {"NaN at the seed position", 2, 3, 2, {1, 2, nan_in, 4, 5, 6},
         {M, M, M, A, A, A}, {M, M, M, A, A, A}, {M, M, M, M, M, M}},
        {"NaN at the seed position, fast period 1", 1, 2, 1, {1, nan_in, 3, 4},
         {M, M, A, A}, {M, M, A, A}, {M, M, M, M}},
        // Infinities are not skipped: inf - inf poisons everything after.
        {"infinity after the seed", 2, 3, 2, {1, 2, 3, 4, inf, 6, 7},
         {M, M, 0.5, 0.5, A, A, A}, {M, M, M, 0.5, A, A, A}, {M, M, M, 0, M, M, M}},
        // Fast beta is 0, so inf * 0 makes the fast average NaN at 3; it is re-seeded at 4 from
        // windows that no longer hold the infinity, and every line recovers.
        {"fast period 1 re-seeds after an infinity", 1, 2, 1, {1, 2, inf, 4, 5, 6},
         {M, 0.5, A, A, 0.5, 0.5}, {M, 0.5, A, A, 0.5, 0.5}, {M, 0, M, M, 0, 0}},
        // Summed backwards the slow window overflows to +inf; summed forwards it would be -inf.
        {"seed windows are summed backwards", 1, 4, 1, {-big, -big, big, big},
         {M, M, M, -inf}, {M, M, M, -inf}, {M, M, M, A}},
        {"shorter than the slow period", 2, 5, 1, {1, 2, 3, 4},
         {M, M, M, M}, {M, M, M, M}, {M, M, M, M}},
        {"single value", 1, 2, 1, {1}, {M}, {M}, {M}},
    };
    for (const MacdExample& e : examples) {
        SCOPED_TRACE(e.name);
        const MacdOutputs got = run_macd(impl(), e.fast, e.slow, e.signal, e.data);
        EXPECT_TRUE(same_bits(e.macd, got.macd)) << "macd_output";
        EXPECT_TRUE(same_bits(e.signal_line, got.signal)) << "signal_output";
        EXPECT_TRUE(same_bits(e.hist, got.hist)) << "hist_output";
    }
}

TEST_P(EdgeCases, MacdSignalThresholdWrapsAround) {
    // The signal seed is due at s + g - 2 computed modulo 2^64; `first` is the first signal
    // position, or n when the wrapped bound is never reached.
    struct Row {
        std::uint64_t fast, slow, signal;
        std::size_t first;
    };
    const std::vector<Row> rows = {
        {2, 3, 1, 2},
        {2, 3, 5, 6},
        {2, 3, u64_max, 2},          // bound 0: due at once, at the first MACD value
        {2, 4, u64_max, 3},          // bound 1
        {2, 5, u64_max, 4},          // bound 2
        {2, 3, u64_max - 1, 8},      // bound 2^64 - 1: never
        {2, 4, u64_max - 2, 8},      // bound 2^64 - 1: never
        {2, 3, two_63, 8},           // no wrap, just too far
        {1, 2, u64_max, 8},          // bound 2^64 - 1: never
    };
    const std::vector<double> data = {3, 1, 4, 1, 5, 9, 2, 6};
    const std::size_t n = data.size();
    for (const Row& r : rows) {
        SCOPED_TRACE("fast " + std::to_string(r.fast) + ", slow " + std::to_string(r.slow) +
                     ", signal " + std::to_string(r.signal));
        const MacdOutputs got = run_macd(impl(), r.fast, r.slow, r.signal, data);
        for (std::size_t i = 0; i < n; ++i) {
            SCOPED_TRACE("position " + std::to_string(i));
            if (i + 1 < r.slow) {
                EXPECT_EQ(bits(got.macd[i]), marker_bits);
            } else {
                EXPECT_FALSE(is_nan(got.macd[i]));
            }
            if (i < r.first) {
                EXPECT_EQ(bits(got.signal[i]), marker_bits);
                EXPECT_EQ(bits(got.hist[i]), marker_bits);
            } else if (i == r.first) {
                EXPECT_EQ(bits(got.signal[i]), bits(got.macd[i]));
                EXPECT_EQ(bits(got.hist[i]), bits(0.0));
            } else {
                EXPECT_FALSE(is_nan(got.signal[i]));
                EXPECT_FALSE(is_nan(got.hist[i]));
            }
        }
    }
}

TEST_P(EdgeCases, MacdSlowPeriodBeyondSeriesGivesOnlyMarkers) {
    struct Row {
        std::uint64_t fast, slow, signal;
    };
    // Slow periods near 2^64 break a warm-up test done in signed or floating-point arithmetic.
    const std::vector<Row> rows = {
        {5, 9, 1}, {8, 9, 2}, {two_63 - 1, two_63, 3}, {1, u64_max, u64_max}, {u64_max - 1, u64_max, 1},
    };
    const std::vector<double> data = {3, 1, 4, nan_in, 5, 9, 2, inf};
    const std::vector<double> all_markers(data.size(), M);
    for (const Row& r : rows) {
        SCOPED_TRACE("fast " + std::to_string(r.fast) + ", slow " + std::to_string(r.slow) +
                     ", signal " + std::to_string(r.signal));
        const MacdOutputs got = run_macd(impl(), r.fast, r.slow, r.signal, data);
        EXPECT_TRUE(same_bits(all_markers, got.macd));
        EXPECT_TRUE(same_bits(all_markers, got.signal));
        EXPECT_TRUE(same_bits(all_markers, got.hist));
    }
}

struct AtrExample {
    const char* name;
    std::uint64_t period;
    std::vector<double> high, low, close;
    std::vector<double> expected;
};

TEST_P(EdgeCases, AtrExamples) {
    const std::vector<double> high = {10, 12, 11, 15, 14};
    const std::vector<double> low = {9, 10, 10, 12, 13};
    const std::vector<double> close = {9.5, 11, 10.5, 14, 13.5};
    const std::vector<AtrExample> examples = {
        {"period 3", 3, high, low, close, {M, M, M, 2.6666666666666665, 2.111111111111111}},
        {"period 4", 4, high, low, close, {M, M, M, M, 2.25}},
        {"period 1", 1, high, low, close, {M, 2.5, 1, 4.5, 1}},
        {"period equals length", 5, high, low, close, {M, M, M, M, M}},
        {"last close is never read", 3, high, low, {9.5, 11, 10.5, 14, nan_in},
         {M, M, M, 2.6666666666666665, 2.111111111111111}},
        {"NaN high is ignored by the maximum", 2, {10, 12, nan_in, 15, 14}, low, close,
         {M, M, 1.75, 3.125, 2.0625}},
        {"NaN high and low make the true range NaN", 2, {10, 12, nan_in, 15, 14},
         {9, 10, nan_in, 12, 13}, close, {M, M, A, A, A}},
        {"NaN low is ignored", 1, {10, 12}, {9, nan_in}, {9.5, 11}, {M, 2.5}},
        // With the previous close NaN only the signed high - low is left, negative here.
        {"NaN close leaves the signed range", 1, {10, 9}, {9, 11}, {nan_in, 10}, {M, -2}},
        {"high below low", 1, {10, 9}, {9, 11}, {10, 10}, {M, 1}},
        // Each true range is -0.0 (high - low = -0.0 - 0.0 wins the ties); a seed sum starting
        // from -0.0 would keep that sign, one starting from +0.0 gives +0.0.
        {"seed sum starts from +0.0", 1, {-0.0, -0.0, -0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0},
         {M, 0.0, 0.0}},
        // The seed 5 / 3 is a division (the reciprocal gives ...65); the step (6 - seed) * (1/3)
        // is a reciprocal multiplication (a division gives 3.111111111111111).
        {"seed divides, smoothing multiplies", 3, {0, 1, 2, 2, 6}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0},
         {M, M, M, 1.6666666666666667, 3.1111111111111107}},
        {"infinite high", 2, {10, 12, inf, 15, 14}, low, close, {M, M, inf, A, A}},
        {"infinite previous close", 1, high, low, {9.5, -inf, 10.5, 14, 13.5}, {M, 2.5, inf, A, A}},
    };
    for (const AtrExample& e : examples) {
        SCOPED_TRACE(e.name);
        EXPECT_TRUE(same_bits(e.expected, run_atr(impl(), e.period, e.high, e.low, e.close)));
    }
}

TEST_P(EdgeCases, AtrDegeneratePeriodsGiveOnlyMarkers) {
    // Unlike the moving averages, p = n is degenerate too: the first value needs p + 1 bars.
    for (const std::size_t n : {1u, 2u, 5u}) {
        std::vector<double> high(n), low(n), close(n);
        for (std::size_t i = 0; i < n; ++i) {
            high[i] = 10.0 + static_cast<double>(i);
            low[i] = 9.0 + static_cast<double>(i);
            close[i] = 9.5 + static_cast<double>(i);
        }
        const std::vector<double> all_markers(n, M);
        for (const std::uint64_t p : {std::uint64_t{0}, std::uint64_t{n}, std::uint64_t{n + 1},
                                      two_63, u64_max - 1, u64_max}) {
            SCOPED_TRACE("n " + std::to_string(n) + ", period " + std::to_string(p));
            EXPECT_TRUE(same_bits(all_markers, run_atr(impl(), p, high, low, close)));
        }
    }
}

TEST_P(EdgeCases, EmptySeriesWritesNothing) {
    // The empty slices point at guard cells: any write at all changes one.
    std::vector<double> memory = guarded({});
    const std::vector<double> before = memory;
    const std::size_t at = guard_cells;
    for (const std::uint64_t p : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, u64_max}) {
        run(SmaCall{p, 0, at, at}, memory, impl());
        run(EmaCall{p, 0, at, at}, memory, impl());
        run(AtrCall{p, 0, at, at, at, at}, memory, impl());
    }
    run(MacdCall{1, 2, 1, 0, at, at, at, at}, memory, impl());
    run(MacdCall{1, u64_max, u64_max, 0, at, at, at, at}, memory, impl());
    EXPECT_TRUE(same_bits(before, memory));
}

INSTANTIATE_TEST_SUITE_P(, EdgeCases, testing::Values(Impl::core, Impl::reference),
                         [](const testing::TestParamInfo<Impl>& info) {
                             return std::string(impl_name(info.param));
                         });

}  // namespace
}  // namespace brindlex::test
