// Outputs sharing memory with inputs or with each other: the kernels must keep the literal order of reads and writes.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace brindlex::test {
namespace {

constexpr double M = marker;
constexpr double A = any_nan;

// Slices of length n at the given offsets from one another, inside one guarded block whose
// cells all hold series values, so whatever a kernel reads through an overlap is a real input.
struct Layout {
    std::vector<double> memory;
    std::vector<std::size_t> at;
};

Layout lay_out(const std::vector<std::ptrdiff_t>& offsets, std::size_t n, SeriesMaker& maker,
               const Mix& mix) {
    const std::ptrdiff_t low = *std::min_element(offsets.begin(), offsets.end());
    const std::ptrdiff_t high = *std::max_element(offsets.begin(), offsets.end());
    const std::size_t span = static_cast<std::size_t>(high - low) + n;
    Layout layout{guarded(maker.make(span, mix)), {}};
    for (const std::ptrdiff_t offset : offsets) {
        layout.at.push_back(guard_cells + static_cast<std::size_t>(offset - low));
    }
    return layout;
}

// Shifts that matter for a window of `period`: every small one, and those that put an output
// cell exactly at, just inside or just outside the window's other end.
std::vector<std::ptrdiff_t> shifts_for(std::uint64_t period, std::size_t n) {
    std::vector<std::ptrdiff_t> shifts;
    for (std::ptrdiff_t d = -10; d <= 10; ++d) shifts.push_back(d);
    const auto p = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(period, n));
    for (const std::ptrdiff_t d : {p - 1, p, p + 1, static_cast<std::ptrdiff_t>(n) - 1}) {
        if (d > 10) {
            shifts.push_back(d);
            shifts.push_back(-d);
        }
    }
    return shifts;
}

const Mix clean_walk{};
const Mix unusual{Mix::Base::walk, 0.06, 0.03, 0.03, 0.05, 0.0, true};

struct SeriesCase {
    const char* name;
    bool ema;
    const Mix* mix;
};

class SeriesAliasing : public testing::TestWithParam<SeriesCase> {};

TEST_P(SeriesAliasing, OutputShiftedAgainstData) {
    // Positive shifts put the output after the data (writes land on values still to be read),
    // negative ones before it (the NaN fill lands on the first inputs).
    const SeriesCase& c = GetParam();
    const std::size_t n = 40;
    SeriesMaker maker(c.ema ? 0xA11A5E01 : 0xA11A5E02);
    for (const std::uint64_t period : {1u, 2u, 3u, 5u, 8u, 13u, 39u, 40u, 41u}) {
        for (const std::ptrdiff_t shift : shifts_for(period, n)) {
            for (int trial = 0; trial < 2; ++trial) {
                const Layout l = lay_out({0, shift}, n, maker, *c.mix);
                const std::string context = std::string(c.name) + ", shift " +
                                            std::to_string(shift) + ", trial " + std::to_string(trial);
                if (c.ema) {
                    expect_matches_reference(l.memory, EmaCall{period, n, l.at[0], l.at[1]}, context);
                } else {
                    expect_matches_reference(l.memory, SmaCall{period, n, l.at[0], l.at[1]}, context);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, SeriesAliasing,
                         testing::Values(SeriesCase{"SmaFinite", false, &clean_walk},
                                         SeriesCase{"SmaUnusualValues", false, &unusual},
                                         SeriesCase{"EmaFinite", true, &clean_walk},
                                         SeriesCase{"EmaUnusualValues", true, &unusual}),
                         [](const testing::TestParamInfo<SeriesCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(RandomAliasing, SmaAndEma) {
    // Random lengths, periods (degenerate ones included) and shifts, with every unusual value.
    SeriesMaker r(0xA11A5E0A);
    const Mix dense{Mix::Base::integers, 0.05, 0.05, 0.05, 0.2, 0.05, true};
    for (int i = 0; i < 800; ++i) {
        const std::size_t n = 1 + r.below(48);
        const std::uint64_t period = r.below(n + 2);
        const auto shift = static_cast<std::ptrdiff_t>(r.below(2 * n + 1)) - static_cast<std::ptrdiff_t>(n);
        const Mix& mix = i % 3 == 0 ? clean_walk : i % 3 == 1 ? unusual : dense;
        const Layout l = lay_out({0, shift}, n, r, mix);
        const std::string context = "random case " + std::to_string(i);
        expect_matches_reference(l.memory, SmaCall{period, n, l.at[0], l.at[1]}, context);
        expect_matches_reference(l.memory, EmaCall{period, n, l.at[0], l.at[1]}, context);
    }
}

TEST(RandomAliasing, Atr) {
    SeriesMaker r(0xA11A5E0B);
    for (int i = 0; i < 800; ++i) {
        const std::size_t n = 1 + r.below(40);
        const std::uint64_t period = r.below(n + 1);
        std::vector<std::ptrdiff_t> offsets;
        for (int slice = 0; slice < 4; ++slice) offsets.push_back(static_cast<std::ptrdiff_t>(r.below(n + 8)));
        const Layout l = lay_out(offsets, n, r, i % 2 == 0 ? clean_walk : unusual);
        expect_matches_reference(l.memory, AtrCall{period, n, l.at[0], l.at[1], l.at[2], l.at[3]},
                                 "random case " + std::to_string(i));
    }
}

class AliasingSemantics : public testing::TestWithParam<Impl> {};

TEST_P(AliasingSemantics, SameArrayForDataAndOutputEndsAllNaN) {
    // The NaN fill comes before every read, so no input survives to be read.
    std::vector<double> memory = guarded(std::vector<double>{1, 2, 3, 4, 5, 6});
    const std::size_t at = guard_cells;
    run(SmaCall{3, 6, at, at}, memory, GetParam());
    EXPECT_TRUE(same_bits(std::vector<double>{M, M, A, A, A, A},
                          std::span<const double>(memory.data() + at, 6)));

    memory = guarded(std::vector<double>{1, 2, 3, 4, 5, 6});
    run(EmaCall{3, 6, at, at}, memory, GetParam());
    EXPECT_TRUE(same_bits(std::vector<double>{M, M, M, M, M, M},
                          std::span<const double>(memory.data() + at, 6)));
}

TEST_P(AliasingSemantics, MacdOutputsSharingAnArrayKeepTheLastWrite) {
    // At each position macd, signal and hist are written in that order, so the shared array ends
    // with the last of them.
    const std::vector<double> data = {1, 2, 3, 4, 5, 6};
    Block block;
    const std::size_t data_at = block.add(data);
    const std::size_t shared_at = block.add_output(6);
    const std::size_t hist_at = block.add_output(6);
    std::vector<double> memory = block.finish();

    run(MacdCall{2, 3, 2, 6, data_at, shared_at, shared_at, shared_at}, memory, GetParam());
    EXPECT_TRUE(same_bits(std::vector<double>{M, M, M, 0, 0, 0},
                          std::span<const double>(memory.data() + shared_at, 6)));

    run(MacdCall{2, 3, 2, 6, data_at, shared_at, shared_at, hist_at}, memory, GetParam());
    EXPECT_TRUE(same_bits(std::vector<double>{M, M, M, 0.5, 0.5, 0.5},
                          std::span<const double>(memory.data() + shared_at, 6)));
}

INSTANTIATE_TEST_SUITE_P(, AliasingSemantics, testing::Values(Impl::core, Impl::reference),
                         [](const testing::TestParamInfo<Impl>& info) {
                             return std::string(impl_name(info.param));
                         });

TEST(AtrAliasing, OutputShiftedAgainstEachInput) {
    const std::size_t n = 30;
    SeriesMaker maker(0xA11A5E03);
    const char* const input_names[] = {"high", "low", "close"};
    for (const Mix* mix : {&clean_walk, &unusual}) {
        for (const std::uint64_t period : {1u, 2u, 3u, 7u, 28u, 29u}) {
            for (int input = 0; input < 3; ++input) {
                for (const std::ptrdiff_t shift : shifts_for(period, n)) {
                    // The other two inputs sit far enough apart to overlap nothing.
                    std::vector<std::ptrdiff_t> offsets = {0, 2 * 80, 4 * 80, 0};
                    offsets[static_cast<std::size_t>(input)] = 6 * 80;
                    offsets[3] = 6 * 80 + shift;
                    const Layout l = lay_out(offsets, n, maker, *mix);
                    expect_matches_reference(
                        l.memory, AtrCall{period, n, l.at[0], l.at[1], l.at[2], l.at[3]},
                        std::string("output over ") + input_names[input] + ", shift " +
                            std::to_string(shift));
                }
            }
        }
    }
}

TEST(AtrAliasing, InputsAndOutputInOneArray) {
    // Identical inputs (a bar's true range then depends on the previous close alone) and the
    // output on top of all of them, or of two, at small shifts.
    const std::size_t n = 30;
    SeriesMaker maker(0xA11A5E04);
    const std::vector<std::vector<std::ptrdiff_t>> layouts = {
        {0, 0, 0, 100}, {0, 0, 0, 0},  {0, 0, 0, 1},  {0, 0, 0, -1}, {0, 1, 2, 3},
        {3, 2, 1, 0},   {0, 1, 2, 1},  {0, 0, 40, 0}, {0, 40, 0, 0}, {40, 0, 0, 0},
        {0, 1, -1, 0},  {5, 0, 5, 2},  {0, 2, 4, 6},  {6, 4, 2, 0},  {0, 0, 1, -2},
    };
    for (const Mix* mix : {&clean_walk, &unusual}) {
        for (const std::uint64_t period : {1u, 2u, 5u, 29u}) {
            for (const auto& offsets : layouts) {
                const Layout l = lay_out(offsets, n, maker, *mix);
                std::string context = "offsets";
                for (const auto o : offsets) context += " " + std::to_string(o);
                expect_matches_reference(
                    l.memory, AtrCall{period, n, l.at[0], l.at[1], l.at[2], l.at[3]}, context);
            }
        }
    }
}

struct MacdPeriods {
    std::uint64_t fast, slow, signal;
};

const std::vector<MacdPeriods> macd_periods = {
    {1, 2, 1}, {2, 3, 2}, {1, 4, 3}, {3, 7, 4}, {5, 12, 3}, {12, 26, 9},
    {2, 3, std::numeric_limits<std::uint64_t>::max()},
};

// Offsets of data, macd_output, signal_output and hist_output.
void check_macd_layouts(const std::vector<std::vector<std::ptrdiff_t>>& layouts, std::uint64_t seed,
                        const std::string& what) {
    const std::size_t n = 40;
    SeriesMaker maker(seed);
    const Mix nan_walk{Mix::Base::walk, 0.05, 0.0, 0.0, 0.02, 0.0, true};
    // Dense infinities and huge values: seeds that fail without any NaN input.
    const Mix infinities{Mix::Base::walk, 0.03, 0.1, 0.1, 0.0, 0.1, true};
    for (const Mix* mix : {&clean_walk, &nan_walk, &unusual, &infinities}) {
        for (const MacdPeriods& p : macd_periods) {
            for (const auto& offsets : layouts) {
                const Layout l = lay_out(offsets, n, maker, *mix);
                std::string context = what + ", offsets";
                for (const auto o : offsets) context += " " + std::to_string(o);
                expect_matches_reference(
                    l.memory,
                    MacdCall{p.fast, p.slow, p.signal, n, l.at[0], l.at[1], l.at[2], l.at[3]},
                    context);
            }
        }
    }
}

TEST(MacdAliasing, EachOutputShiftedAgainstData) {
    std::vector<std::vector<std::ptrdiff_t>> layouts;
    for (int output = 1; output <= 3; ++output) {
        for (std::ptrdiff_t shift = -8; shift <= 8; ++shift) {
            std::vector<std::ptrdiff_t> offsets = {0, 100, 200, 300};
            offsets[static_cast<std::size_t>(output)] = shift;
            layouts.push_back(offsets);
        }
        for (const std::ptrdiff_t shift : {11, 12, 13, 25, 26, 27, 39}) {
            for (const std::ptrdiff_t sign : {1, -1}) {
                std::vector<std::ptrdiff_t> offsets = {0, 100, 200, 300};
                offsets[static_cast<std::size_t>(output)] = sign * shift;
                layouts.push_back(offsets);
            }
        }
    }
    check_macd_layouts(layouts, 0xA11A5E05, "one output over data");
}

TEST(MacdAliasing, OutputsOverlappingEachOther) {
    std::vector<std::vector<std::ptrdiff_t>> layouts;
    for (const std::ptrdiff_t d : {-2, -1, 0, 1, 2, 7}) {
        layouts.push_back({-100, 0, d, 100});   // macd and signal
        layouts.push_back({-100, 100, 0, d});   // signal and hist
        layouts.push_back({-100, 0, 100, d});   // macd and hist
        layouts.push_back({-100, 0, d, 2 * d}); // all three
    }
    check_macd_layouts(layouts, 0xA11A5E06, "outputs over each other");
}

TEST(MacdAliasing, EverythingInOneArray) {
    std::vector<std::vector<std::ptrdiff_t>> layouts = {
        {0, 0, 0, 0}, {0, 1, 2, 3}, {3, 2, 1, 0}, {0, -1, -1, -1}, {0, 1, 1, 1},
        {0, 0, 1, 2}, {2, 0, 1, 2}, {0, 2, 0, 1}, {1, 0, 2, 0},   {0, 0, 0, 1},
    };
    check_macd_layouts(layouts, 0xA11A5E07, "all in one array");
}

TEST(MacdAliasing, RandomLayouts) {
    SeriesMaker offsets_maker(0xA11A5E08);
    std::vector<std::vector<std::ptrdiff_t>> layouts;
    for (int i = 0; i < 60; ++i) {
        std::vector<std::ptrdiff_t> offsets;
        for (int slice = 0; slice < 4; ++slice) {
            offsets.push_back(static_cast<std::ptrdiff_t>(offsets_maker.below(24)));
        }
        layouts.push_back(offsets);
    }
    check_macd_layouts(layouts, 0xA11A5E09, "random layout");
}

}  // namespace
}  // namespace brindlex::test
