// The many-series kernels against the one-series kernel, series by series and bit for bit, on every dispatch target.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/atr.h"
#include "core/ema.h"
#include "core/macd.h"
#include "core/many/kernels.h"
#include "core/sma.h"
#include "harness.h"

namespace brindlex::test {
namespace {

using core::BlockIn;
using core::BlockOut;
using core::unaligned_double;
constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// One block's memory: count x length cells at random strides of either sign, at a random byte
// offset, with poison in every cell the layout does not use.
class Strided {
public:
    Strided(SeriesMaker& r, std::uint64_t count, std::uint64_t length) : count_(count), length_(length) {
        const auto a = static_cast<std::ptrdiff_t>(1 + r.below(3));
        const auto gap = static_cast<std::ptrdiff_t>(r.below(3));
        const bool rows = r.chance(0.5);  // one series per row, or per column
        ts_ = rows ? a : a * static_cast<std::ptrdiff_t>(count) + gap;
        ss_ = rows ? a * static_cast<std::ptrdiff_t>(length) + gap : a;
        if (r.chance(0.3)) ts_ = -ts_;
        if (r.chance(0.3)) ss_ = -ss_;
        const auto span = [](std::ptrdiff_t stride, std::uint64_t n) {
            return n == 0 ? 0 : stride * static_cast<std::ptrdiff_t>(n - 1);
        };
        const std::ptrdiff_t s = span(ss_, count), t = span(ts_, length);
        base_ = -std::min<std::ptrdiff_t>(0, s) - std::min<std::ptrdiff_t>(0, t);
        cells_ = static_cast<std::size_t>(base_ + std::max<std::ptrdiff_t>(0, s) + std::max<std::ptrdiff_t>(0, t) + 1);
        shift_ = r.chance(0.3) ? 1 + r.below(7) : 0;
        bytes_.resize(cells_ * sizeof(double) + shift_);
        for (std::size_t i = 0; i < cells_; ++i) cell(i) = poison;
    }
    unaligned_double& cell(std::size_t i) {
        return reinterpret_cast<unaligned_double*>(bytes_.data() + shift_)[i];
    }
    unaligned_double& at(std::uint64_t k, std::uint64_t t) {
        return cell(static_cast<std::size_t>(base_ + static_cast<std::ptrdiff_t>(k) * ss_ +
                                             static_cast<std::ptrdiff_t>(t) * ts_));
    }
    BlockIn in() { return {&at(0, 0), ts_, ss_, length_, count_}; }
    BlockOut out() { return {&at(0, 0), ts_, ss_, length_, count_}; }
    std::size_t cells() const { return cells_; }
    std::string describe() const {
        return "strides (time " + std::to_string(ts_) + ", series " + std::to_string(ss_) + "), byte offset " +
               std::to_string(shift_);
    }

private:
    std::uint64_t count_, length_;
    std::ptrdiff_t ts_ = 1, ss_ = 1, base_ = 0;
    std::size_t cells_ = 1, shift_ = 0;
    std::vector<unsigned char> bytes_;
};

using Series = std::vector<double>;

struct Params {
    std::uint64_t a = 0, b = 0, c = 0;  // the period, or MACD's fast, slow and signal periods
    std::string describe() const {
        return "periods " + std::to_string(a) + "/" + std::to_string(b) + "/" + std::to_string(c);
    }
};
using Draw = Params (*)(SeriesMaker&, std::uint64_t n);
// The one-series kernel on series `in`, results into `out` (already sized); with `logs`, the
// oracle instead, telling which cells receive the marker.
using One = std::function<void(const Params&, const std::vector<Series>& in, std::vector<Series>& out,
                               std::vector<reference::WriteLog>* logs)>;

Series make_series(SeriesMaker& r, std::size_t n) {
    Mix mix;
    const std::uint64_t kind = r.below(4);  // most series clean, so the fast paths run
    if (kind >= 2) {
        const double rate = kind == 2 ? 0.01 : 0.2;
        mix.nan = rate;
        mix.pos_inf = rate / 4;
        mix.neg_inf = rate / 4;
        mix.signed_zero = rate;
        mix.marker_nans = true;
    }
    if (r.chance(0.1)) mix.base = Mix::Base::integers;
    if (r.chance(0.03)) mix.base = Mix::Base::huge;
    return mix.nan > 0 && r.chance(0.05) ? Series(n, -0.0) : r.make(n, mix);
}

Params one_period(SeriesMaker& r, std::uint64_t n) {
    switch (r.below(8)) {
        case 0: return {0};
        case 1: return {1};
        case 2: return {r.chance(0.5) ? u64_max : u64_max / 2 + 1};
        case 3: return {n + r.below(2)};
        default: return {1 + r.below(std::min<std::uint64_t>(n + 2, 40))};
    }
}

Params macd_periods(SeriesMaker& r, std::uint64_t n) {
    const std::uint64_t f = 1 + r.below(12);
    const std::uint64_t s = r.chance(0.2) ? f + 1 + r.below(n + 2) : f + 1 + r.below(20);
    const std::uint64_t g = r.chance(0.2) ? u64_max - r.below(4) : 1 + r.below(12);
    return {f, s, g};
}

// The one-series kernel's result, and which of its cells hold the marker.
struct Expected {
    std::vector<Series> values;
    std::vector<reference::WriteLog> logs;
};

// Exact bits, the marker exactly where the one-series kernel writes it, and a NaN where it
// writes a NaN of the arithmetic (whose payload depends on the order in which the compiler
// happens to put the operands of an addition: it is no part of the result).
testing::AssertionResult same_cells(std::uint64_t series, const Series& want, const reference::WriteLog& log,
                                    const Series& got) {
    for (std::size_t t = 0; t < want.size(); ++t) {
        const bool ok = log.at(t) == reference::WriteLog::Store::marker ? bits(got[t]) == marker_bits
                        : is_nan(want[t])                                 ? is_nan(got[t])
                                                                          : bits(got[t]) == bits(want[t]);
        if (!ok) {
            return testing::AssertionFailure() << "series " << series << ", element " << t << " of " << want.size()
                                               << ": want " << std::hex << bits(want[t]) << ", got " << bits(got[t]);
        }
    }
    return testing::AssertionSuccess();
}

Expected expected(const One& one, const Params& q, const std::vector<Series>& in, std::size_t outputs) {
    Expected e{std::vector<Series>(outputs, Series(in[0].size())), {}};
    one(q, in, e.values, nullptr);
    std::vector<Series> oracle = e.values;
    for (auto& o : oracle) e.logs.emplace_back(o.data(), o.size());
    one(q, in, oracle, &e.logs);
    return e;
}

// Blocks of random shape, each input and output in a layout of its own, on every target.
template <std::size_t In, std::size_t Out>
void check_blocks(std::uint64_t seed, Draw draw, const One& one,
                  const std::function<void(const Params&, std::array<BlockIn, In>, std::array<BlockOut, Out>)>& many) {
    SeriesMaker r(seed);
    for (int round = 0; round < 300; ++round) {
        // Every count up to 40 once: a lone series, every partial group of every target's width
        // (fewer than half a group goes to the one-series kernel, more to the lanes), whole groups.
        const std::uint64_t count = round <= 40 ? round : r.chance(0.1) ? r.below(2) : r.below(41);
        const std::uint64_t length = r.chance(0.1) ? r.below(3) : r.chance(0.2) ? r.below(400) : r.below(70);
        const Params q = draw(r, length);
        std::vector<Strided> ins, outs;
        for (std::size_t i = 0; i < In; ++i) ins.emplace_back(r, count, length);
        for (std::size_t o = 0; o < Out; ++o) outs.emplace_back(r, count, length);
        std::vector<std::vector<Series>> series(count);
        for (std::uint64_t k = 0; k < count; ++k) {
            for (std::size_t i = 0; i < In; ++i) {
                series[k].push_back(make_series(r, length));
                for (std::uint64_t t = 0; t < length; ++t) ins[i].at(k, t) = series[k][i][t];
            }
        }
        std::array<BlockIn, In> in_blocks;
        std::array<BlockOut, Out> out_blocks;
        for (std::size_t i = 0; i < In; ++i) in_blocks[i] = ins[i].in();
        for (std::size_t o = 0; o < Out; ++o) out_blocks[o] = outs[o].out();
        for (const core::Target target : core::available_targets()) {
            core::force_target(target);
            for (auto& o : outs) {
                for (std::size_t c = 0; c < o.cells(); ++c) o.cell(c) = poison;
            }
            many(q, in_blocks, out_blocks);
            const std::string where = "target " + std::to_string(static_cast<int>(target)) + ", " + q.describe() +
                                      ", " + std::to_string(count) + " x " + std::to_string(length) + ", output " +
                                      outs[0].describe() + ", input " + ins[0].describe();
            for (std::uint64_t k = 0; k < count; ++k) {
                const auto want = expected(one, q, series[k], Out);
                for (std::size_t o = 0; o < Out; ++o) {
                    Series got(length);
                    for (std::uint64_t t = 0; t < length; ++t) got[t] = outs[o].at(k, t);
                    ASSERT_TRUE(same_cells(k, want.values[o], want.logs[o], got)) << "output " << o << ", " << where;
                }
            }
            for (std::size_t o = 0; o < Out; ++o) {  // cells outside the layout stay as they were
                std::size_t poisoned = 0;
                for (std::size_t c = 0; c < outs[o].cells(); ++c) poisoned += bits(outs[o].cell(c)) == bits(poison);
                ASSERT_EQ(poisoned, outs[o].cells() - count * length) << where;
            }
        }
    }
    core::use_default_targets();
}

// Runs of random lengths, zero included, one after another in contiguous columns, on every target.
template <std::size_t In, std::size_t Out>
void check_runs(std::uint64_t seed, Draw draw, const One& one,
                const std::function<void(const Params&, std::array<core::InputSlice, In>,
                                         std::span<const std::uint64_t>, std::array<core::OutputSlice, Out>)>& many) {
    SeriesMaker r(seed);
    for (int round = 0; round < 300; ++round) {
        const std::uint64_t typical = r.chance(0.2) ? 300 : 60;
        // Every number of runs up to 40 once, as for the blocks' counts.
        std::vector<std::uint64_t> lengths(round < 40 ? round : r.below(40));
        for (auto& n : lengths) n = r.chance(0.1) ? 0 : r.chance(0.5) ? typical - r.below(3) : r.below(typical);
        const Params q = draw(r, typical);
        std::vector<std::vector<Series>> series;
        std::array<Series, In> columns;
        for (const std::uint64_t n : lengths) {
            series.emplace_back();
            for (std::size_t i = 0; i < In; ++i) {
                series.back().push_back(make_series(r, n));
                columns[i].insert(columns[i].end(), series.back()[i].begin(), series.back()[i].end());
            }
        }
        const std::size_t total = columns[0].size();
        for (const core::Target target : core::available_targets()) {
            core::force_target(target);
            std::array<Series, Out> results;
            std::array<core::InputSlice, In> in;
            std::array<core::OutputSlice, Out> out;
            for (std::size_t i = 0; i < In; ++i) in[i] = core::InputSlice(columns[i]);
            for (std::size_t o = 0; o < Out; ++o) {
                results[o].assign(total, poison);
                out[o] = core::OutputSlice(results[o]);
            }
            many(q, in, lengths, out);
            std::size_t at = 0;
            for (std::size_t k = 0; k < lengths.size(); ++k) {
                const auto want = expected(one, q, series[k], Out);
                for (std::size_t o = 0; o < Out; ++o) {
                    const Series got(results[o].begin() + at, results[o].begin() + at + lengths[k]);
                    ASSERT_TRUE(same_cells(k, want.values[o], want.logs[o], got)) << "output " << o << ", target "
                        << static_cast<int>(target) << ", " << q.describe() << ", " << lengths.size() << " runs";
                }
                at += lengths[k];
            }
        }
    }
    core::use_default_targets();
}

using Logs = std::vector<reference::WriteLog>*;
const One sma_one = [](const Params& q, const std::vector<Series>& in, std::vector<Series>& out, Logs logs) {
    if (logs) return reference::sma(q.a, in[0], out[0], &(*logs)[0]);
    core::sma(q.a, in[0], out[0]);
};
const One ema_one = [](const Params& q, const std::vector<Series>& in, std::vector<Series>& out, Logs logs) {
    if (logs) return reference::ema(q.a, in[0], out[0], &(*logs)[0]);
    core::ema(q.a, in[0], out[0]);
};
// The three outputs are laid out separately, so one log serves them all, each at its own offset.
const One macd_one = [](const Params& q, const std::vector<Series>& in, std::vector<Series>& out, Logs logs) {
    if (!logs) return core::macd(q.a, q.b, q.c, in[0], out[0], out[1], out[2]);
    std::vector<double> all(3 * in[0].size());
    const std::size_t n = in[0].size();
    reference::WriteLog log(all.data(), all.size());
    reference::macd(q.a, q.b, q.c, in[0], core::OutputSlice(all.data(), n), core::OutputSlice(all.data() + n, n),
                    core::OutputSlice(all.data() + 2 * n, n), &log);
    for (std::size_t o = 0; o < 3; ++o) {
        for (std::size_t t = 0; t < n; ++t) {
            if (log.at(o * n + t) == reference::WriteLog::Store::marker) (*logs)[o].record(&out[o][t], reference::WriteLog::Store::marker);
        }
    }
};
const One atr_one = [](const Params& q, const std::vector<Series>& in, std::vector<Series>& out, Logs logs) {
    if (logs) return reference::atr(q.a, in[0], in[1], in[2], out[0], &(*logs)[0]);
    core::atr(q.a, in[0], in[1], in[2], out[0]);
};

TEST(ManySeries, SmaBlocks) {
    check_blocks<1, 1>(11, one_period, sma_one, [](const Params& q, auto in, auto out) {
        core::sma_many(q.a, in[0], out[0]);
    });
}
TEST(ManySeries, EmaBlocks) {
    check_blocks<1, 1>(12, one_period, ema_one, [](const Params& q, auto in, auto out) {
        core::ema_many(q.a, in[0], out[0]);
    });
}
TEST(ManySeries, MacdBlocks) {
    check_blocks<1, 3>(13, macd_periods, macd_one, [](const Params& q, auto in, auto out) {
        core::macd_many(q.a, q.b, q.c, in[0], out[0], out[1], out[2]);
    });
}
TEST(ManySeries, AtrBlocks) {
    check_blocks<3, 1>(14, one_period, atr_one, [](const Params& q, auto in, auto out) {
        core::atr_many(q.a, in[0], in[1], in[2], out[0]);
    });
}
TEST(ManySeries, SmaRuns) {
    check_runs<1, 1>(21, one_period, sma_one, [](const Params& q, auto in, auto lengths, auto out) {
        core::sma_runs(q.a, in[0], lengths, out[0]);
    });
}
TEST(ManySeries, EmaRuns) {
    check_runs<1, 1>(22, one_period, ema_one, [](const Params& q, auto in, auto lengths, auto out) {
        core::ema_runs(q.a, in[0], lengths, out[0]);
    });
}
TEST(ManySeries, MacdRuns) {
    check_runs<1, 3>(23, macd_periods, macd_one, [](const Params& q, auto in, auto lengths, auto out) {
        core::macd_runs(q.a, q.b, q.c, in[0], lengths, out[0], out[1], out[2]);
    });
}
TEST(ManySeries, AtrRuns) {
    check_runs<3, 1>(24, one_period, atr_one, [](const Params& q, auto in, auto lengths, auto out) {
        core::atr_runs(q.a, in[0], in[1], in[2], lengths, out[0]);
    });
}

// Sweeps: one series under up to 40 periods (repeated, 0, huge, longer than the series), each row
// of the output blocks the one-series kernel's result for its periods, marker cells included.
template <std::size_t In, std::size_t Out>
void check_sweeps(std::uint64_t seed, Draw draw, const One& one,
                  void (*sweep)(const std::vector<Params>&, std::array<BlockIn, In>, std::array<BlockOut, Out>)) {
    SeriesMaker r(seed);
    for (int round = 0; round < 200; ++round) {
        const std::uint64_t length = r.chance(0.1) ? r.below(3) : r.chance(0.2) ? r.below(400) : r.below(70);
        std::vector<Params> rows(round <= 40 ? round : r.below(41));
        for (auto& q : rows) q = draw(r, length);
        std::vector<Strided> ins, outs;
        std::vector<Series> series;
        std::array<BlockIn, In> in_blocks;
        std::array<BlockOut, Out> out_blocks;
        for (std::size_t i = 0; i < In; ++i) {
            ins.emplace_back(r, 1, length);
            series.push_back(make_series(r, length));
            for (std::uint64_t t = 0; t < length; ++t) ins[i].at(0, t) = series[i][t];
            in_blocks[i] = ins[i].in();
        }
        for (std::size_t o = 0; o < Out; ++o) {
            outs.emplace_back(r, rows.size(), length);
            out_blocks[o] = outs[o].out();
        }
        for (const core::Target target : core::available_targets()) {
            core::force_target(target);
            for (auto& o : outs) {
                for (std::size_t c = 0; c < o.cells(); ++c) o.cell(c) = poison;
            }
            sweep(rows, in_blocks, out_blocks);
            for (std::size_t k = 0; k < rows.size(); ++k) {
                const auto want = expected(one, rows[k], series, Out);
                for (std::size_t o = 0; o < Out; ++o) {
                    Series got(length);
                    for (std::uint64_t t = 0; t < length; ++t) got[t] = outs[o].at(k, t);
                    ASSERT_TRUE(same_cells(k, want.values[o], want.logs[o], got))
                        << "output " << o << ", target " << static_cast<int>(target) << ", " << rows[k].describe()
                        << ", row " << k << " of " << rows.size() << ", length " << length << ", output "
                        << outs[o].describe() << ", input " << ins[0].describe();
                }
            }
        }
    }
    core::use_default_targets();
}

// The periods of the rows, flat: one a row, or MACD's three.
std::vector<std::uint64_t> flat(const std::vector<Params>& rows, bool three) {
    std::vector<std::uint64_t> all;
    for (const Params& q : rows) {
        all.push_back(q.a);
        if (three) all.insert(all.end(), {q.b, q.c});
    }
    return all;
}

TEST(ManySeries, SmaSweeps) {
    check_sweeps<1, 1>(31, one_period, sma_one, [](const auto& rows, auto in, auto out) {
        core::sma_sweep(flat(rows, false), in[0], out[0]);
    });
}
TEST(ManySeries, EmaSweeps) {
    check_sweeps<1, 1>(32, one_period, ema_one, [](const auto& rows, auto in, auto out) {
        core::ema_sweep(flat(rows, false), in[0], out[0]);
    });
}
TEST(ManySeries, AtrSweeps) {
    check_sweeps<3, 1>(33, one_period, atr_one, [](const auto& rows, auto in, auto out) {
        core::atr_sweep(flat(rows, false), in[0], in[1], in[2], out[0]);
    });
}
TEST(ManySeries, MacdSweeps) {
    check_sweeps<1, 3>(34, macd_periods, macd_one, [](const auto& rows, auto in, auto out) {
        core::macd_sweep(flat(rows, true), in[0], out[0], out[1], out[2]);
    });
}

// The properties above run every target listed, so each SIMD target the processor has must be
// listed, or it goes untested; the default (listed last) must be one the processor runs.
TEST(ManySeries, EveryTargetTheProcessorRunsIsListed) {
    const auto targets = core::available_targets();
    const auto listed = [&](core::Target t) { return std::find(targets.begin(), targets.end(), t) != targets.end(); };
#if defined(__x86_64__)
    __builtin_cpu_init();
    EXPECT_TRUE(listed(core::Target::scalar) && listed(core::Target::sse2));
    EXPECT_EQ(listed(core::Target::avx2), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(listed(core::Target::avx512), __builtin_cpu_supports("avx512f") != 0);
    EXPECT_EQ(targets.size(), 2u + listed(core::Target::avx2) + listed(core::Target::avx512));
#elif defined(__aarch64__)
    EXPECT_TRUE(listed(core::Target::scalar) && listed(core::Target::neon));
    EXPECT_EQ(targets.size(), 2u);
#endif
}

}  // namespace
}  // namespace brindlex::test
