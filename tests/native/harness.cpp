// Test machinery shared by every test file: memory layout, paired runs and the comparison rule.
#include "harness.h"

#include <algorithm>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "core/atr.h"
#include "core/ema.h"
#include "core/macd.h"
#include "core/sma.h"

namespace brindlex::test {
namespace {

using reference::WriteLog;

std::string show(double x) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "0x%016" PRIX64 " (%.17g)", bits(x), x);
    return buffer;
}

core::InputSlice in(const std::vector<double>& memory, std::size_t at, std::size_t n) {
    return core::InputSlice(memory.data() + at, n);
}

core::OutputSlice out(std::vector<double>& memory, std::size_t at, std::size_t n) {
    return core::OutputSlice(memory.data() + at, n);
}

struct Slice {
    const char* name;
    std::size_t at, n;
};

std::vector<Slice> slices_of(const SmaCall& c) {
    return {{"data", c.data_at, c.n}, {"output", c.output_at, c.n}};
}
std::vector<Slice> slices_of(const EmaCall& c) {
    return {{"data", c.data_at, c.n}, {"output", c.output_at, c.n}};
}
std::vector<Slice> slices_of(const MacdCall& c) {
    return {{"data", c.data_at, c.n},
            {"macd_output", c.macd_at, c.n},
            {"signal_output", c.signal_at, c.n},
            {"hist_output", c.hist_at, c.n}};
}
std::vector<Slice> slices_of(const AtrCall& c) {
    return {{"high", c.high_at, c.n},
            {"low", c.low_at, c.n},
            {"close", c.close_at, c.n},
            {"output", c.output_at, c.n}};
}

std::string cell_name(const std::vector<Slice>& slices, std::size_t cell) {
    std::string name;
    for (const Slice& s : slices) {
        if (cell >= s.at && cell < s.at + s.n) {
            if (!name.empty()) name += " = ";
            name += s.name;
            name += "[" + std::to_string(cell - s.at) + "]";
        }
    }
    return name.empty() ? "outside every slice" : name;
}

// The comparison rule of the whole test program; see expect_matches_reference in the header.
template <class Call>
void compare(const std::vector<double>& initial, const Call& call, const std::string& context) {
    std::vector<double> want = initial;
    std::vector<double> got = initial;
    WriteLog log(want.data(), want.size());
    run(call, want, Impl::reference, &log);
    run(call, got, Impl::core, nullptr);

    const std::vector<Slice> slices = slices_of(call);
    std::ostringstream report;
    std::size_t mismatches = 0;
    std::size_t first = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const WriteLog::Store store = log.at(i);
        bool ok;
        const char* rule;
        if (store == WriteLog::Store::marker) {
            ok = bits(got[i]) == marker_bits;
            rule = "the marker";
        } else if (store == WriteLog::Store::computed && is_nan(want[i])) {
            ok = is_nan(got[i]);
            rule = "any NaN";
        } else {
            ok = bits(got[i]) == bits(want[i]);
            rule = store == WriteLog::Store::none ? "unchanged" : "exact bits";
        }
        if (ok) continue;
        if (mismatches == 0) first = i;
        if (++mismatches <= 8) {
            report << "\n  cell " << i << " (" << cell_name(slices, i) << "): expected " << rule
                   << " " << show(want[i]) << ", got " << show(got[i]);
        }
    }
    if (mismatches == 0) return;

    std::ostringstream memory_dump;
    const std::size_t from = initial.size() <= 80 ? 0 : (first > 48 ? first - 48 : 0);
    const std::size_t to = initial.size() <= 80 ? initial.size() : std::min(initial.size(), first + 8);
    memory_dump << "\n  initial memory, cells " << from << " to " << to - 1 << ":";
    for (std::size_t i = from; i < to; ++i) {
        memory_dump << "\n    " << i << " (" << cell_name(slices, i) << "): " << show(initial[i]);
    }
    ADD_FAILURE() << context << "\n  " << describe(call) << "\n  " << mismatches
                  << " cell(s) differ from the reference:" << report.str() << memory_dump.str();
}

// Lays each slice out on its own, runs one implementation and hands back the output cells.
std::vector<double> take(const std::vector<double>& memory, std::size_t at, std::size_t n) {
    return std::vector<double>(memory.begin() + static_cast<std::ptrdiff_t>(at),
                               memory.begin() + static_cast<std::ptrdiff_t>(at + n));
}

void expect_only_outputs_changed(const std::vector<double>& before, const std::vector<double>& after,
                                 const std::vector<Slice>& outputs, const char* what) {
    for (std::size_t i = 0; i < before.size(); ++i) {
        bool is_output = false;
        for (const Slice& s : outputs) is_output = is_output || (i >= s.at && i < s.at + s.n);
        if (!is_output && bits(before[i]) != bits(after[i])) {
            ADD_FAILURE() << what << " changed cell " << i << " outside its outputs: "
                          << show(before[i]) << " became " << show(after[i]);
            return;
        }
    }
}

}  // namespace

bool is_nan(double x) { return (bits(x) & ~(1ULL << 63)) > 0x7FF0000000000000ULL; }

const char* impl_name(Impl impl) { return impl == Impl::core ? "core" : "reference"; }

testing::AssertionResult same_bits(std::span<const double> expected, std::span<const double> got) {
    if (expected.size() != got.size()) {
        return testing::AssertionFailure()
               << "length " << got.size() << ", expected " << expected.size();
    }
    std::ostringstream report;
    bool ok = true;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool match = bits(expected[i]) == any_nan_bits ? is_nan(got[i])
                                                             : bits(expected[i]) == bits(got[i]);
        if (match) continue;
        ok = false;
        report << "\n  [" << i << "] expected "
               << (bits(expected[i]) == any_nan_bits ? std::string("any NaN") : show(expected[i]))
               << ", got " << show(got[i]);
    }
    if (ok) return testing::AssertionSuccess();
    return testing::AssertionFailure() << report.str();
}

Block::Block() : cells_(guard_cells, from_bits(guard_bits)) {}

std::size_t Block::add(std::span<const double> values) {
    const std::size_t at = cells_.size();
    cells_.insert(cells_.end(), values.begin(), values.end());
    cells_.insert(cells_.end(), guard_cells, from_bits(guard_bits));
    return at;
}

std::size_t Block::add_output(std::size_t n) {
    const std::vector<double> cells(n, poison);
    return add(cells);
}

std::vector<double> Block::finish() const { return cells_; }

std::vector<double> guarded(std::span<const double> contents) {
    Block block;
    block.add(contents);
    return block.finish();
}

void run(const SmaCall& c, std::vector<double>& m, Impl impl, WriteLog* log) {
    if (impl == Impl::core) {
        core::sma(c.period, in(m, c.data_at, c.n), out(m, c.output_at, c.n));
    } else {
        reference::sma(c.period, in(m, c.data_at, c.n), out(m, c.output_at, c.n), log);
    }
}

void run(const EmaCall& c, std::vector<double>& m, Impl impl, WriteLog* log) {
    if (impl == Impl::core) {
        core::ema(c.period, in(m, c.data_at, c.n), out(m, c.output_at, c.n));
    } else {
        reference::ema(c.period, in(m, c.data_at, c.n), out(m, c.output_at, c.n), log);
    }
}

void run(const MacdCall& c, std::vector<double>& m, Impl impl, WriteLog* log) {
    if (impl == Impl::core) {
        core::macd(c.fast, c.slow, c.signal, in(m, c.data_at, c.n), out(m, c.macd_at, c.n),
                   out(m, c.signal_at, c.n), out(m, c.hist_at, c.n));
    } else {
        reference::macd(c.fast, c.slow, c.signal, in(m, c.data_at, c.n), out(m, c.macd_at, c.n),
                        out(m, c.signal_at, c.n), out(m, c.hist_at, c.n), log);
    }
}

void run(const AtrCall& c, std::vector<double>& m, Impl impl, WriteLog* log) {
    if (impl == Impl::core) {
        core::atr(c.period, in(m, c.high_at, c.n), in(m, c.low_at, c.n), in(m, c.close_at, c.n),
                  out(m, c.output_at, c.n));
    } else {
        reference::atr(c.period, in(m, c.high_at, c.n), in(m, c.low_at, c.n),
                       in(m, c.close_at, c.n), out(m, c.output_at, c.n), log);
    }
}

void expect_matches_reference(const std::vector<double>& memory, const SmaCall& call, const std::string& context) {
    compare(memory, call, context);
}
void expect_matches_reference(const std::vector<double>& memory, const EmaCall& call, const std::string& context) {
    compare(memory, call, context);
}
void expect_matches_reference(const std::vector<double>& memory, const MacdCall& call, const std::string& context) {
    compare(memory, call, context);
}
void expect_matches_reference(const std::vector<double>& memory, const AtrCall& call, const std::string& context) {
    compare(memory, call, context);
}

std::vector<double> run_sma(Impl impl, std::uint64_t period, std::span<const double> data) {
    Block block;
    const std::size_t data_at = block.add(data);
    const std::size_t output_at = block.add_output(data.size());
    const std::vector<double> before = block.finish();
    std::vector<double> memory = before;
    run(SmaCall{period, data.size(), data_at, output_at}, memory, impl);
    expect_only_outputs_changed(before, memory, {{"output", output_at, data.size()}}, impl_name(impl));
    return take(memory, output_at, data.size());
}

std::vector<double> run_ema(Impl impl, std::uint64_t period, std::span<const double> data) {
    Block block;
    const std::size_t data_at = block.add(data);
    const std::size_t output_at = block.add_output(data.size());
    const std::vector<double> before = block.finish();
    std::vector<double> memory = before;
    run(EmaCall{period, data.size(), data_at, output_at}, memory, impl);
    expect_only_outputs_changed(before, memory, {{"output", output_at, data.size()}}, impl_name(impl));
    return take(memory, output_at, data.size());
}

MacdOutputs run_macd(Impl impl, std::uint64_t fast, std::uint64_t slow, std::uint64_t signal,
                     std::span<const double> data) {
    const std::size_t n = data.size();
    Block block;
    const std::size_t data_at = block.add(data);
    const std::size_t macd_at = block.add_output(n);
    const std::size_t signal_at = block.add_output(n);
    const std::size_t hist_at = block.add_output(n);
    const std::vector<double> before = block.finish();
    std::vector<double> memory = before;
    run(MacdCall{fast, slow, signal, n, data_at, macd_at, signal_at, hist_at}, memory, impl);
    expect_only_outputs_changed(before, memory,
                                {{"macd", macd_at, n}, {"signal", signal_at, n}, {"hist", hist_at, n}},
                                impl_name(impl));
    return {take(memory, macd_at, n), take(memory, signal_at, n), take(memory, hist_at, n)};
}

std::vector<double> run_atr(Impl impl, std::uint64_t period, std::span<const double> high,
                            std::span<const double> low, std::span<const double> close) {
    const std::size_t n = high.size();
    Block block;
    const std::size_t high_at = block.add(high);
    const std::size_t low_at = block.add(low);
    const std::size_t close_at = block.add(close);
    const std::size_t output_at = block.add_output(n);
    const std::vector<double> before = block.finish();
    std::vector<double> memory = before;
    run(AtrCall{period, n, high_at, low_at, close_at, output_at}, memory, impl);
    expect_only_outputs_changed(before, memory, {{"output", output_at, n}}, impl_name(impl));
    return take(memory, output_at, n);
}

std::uint64_t SeriesMaker::below(std::uint64_t bound) {
    return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(rng_);
}

bool SeriesMaker::chance(double p) {
    return p > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p;
}

double SeriesMaker::nan_value(bool allow_marker) {
    static constexpr std::uint64_t patterns[] = {
        0x7FF8000000000001ULL,  // quiet, low payload bit
        0xFFF8000000000000ULL,  // what invalid operations produce on x86
        0x7FFC00000000BEEFULL,  // quiet, other payload
        0xFFFFFFFFFFFFFFFFULL,  // all bits set
        0x7FF0000000000001ULL,  // signalling
        0xFFF4000000000000ULL,  // signalling, negative
        0x7FF8000000000000ULL,  // the marker itself, only when allowed
    };
    const std::size_t count = allow_marker ? 7 : 6;
    return from_bits(patterns[below(count)]);
}

double SeriesMaker::huge_value() {
    const double magnitude = std::uniform_real_distribution<double>(0.5, 1.0)(rng_) * DBL_MAX;
    return chance(0.5) ? magnitude : -magnitude;
}

std::vector<double> SeriesMaker::make(std::size_t n, const Mix& mix) {
    std::vector<double> v(n);
    double level = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        double x = 0;
        switch (mix.base) {
        case Mix::Base::walk:
            level += std::normal_distribution<double>(0.0, 1.5)(rng_);
            x = level;
            break;
        case Mix::Base::integers:
            x = static_cast<double>(static_cast<std::int64_t>(below(17)) - 8);
            break;
        case Mix::Base::wide: {
            const double mantissa = std::uniform_real_distribution<double>(1.0, 2.0)(rng_);
            const int exponent = static_cast<int>(below(121)) - 60;
            x = std::ldexp(chance(0.5) ? mantissa : -mantissa, exponent);
            break;
        }
        case Mix::Base::huge:
            x = huge_value();
            break;
        }
        if (chance(mix.huge)) x = huge_value();
        if (chance(mix.signed_zero)) x = chance(0.5) ? -0.0 : 0.0;
        if (chance(mix.pos_inf)) x = DBL_MAX * 2;
        if (chance(mix.neg_inf)) x = -DBL_MAX * 2;
        if (chance(mix.nan)) x = nan_value(mix.marker_nans);
        v[i] = x;
    }
    return v;
}

std::string describe(const SmaCall& c) {
    std::ostringstream s;
    s << "sma(period " << c.period << ", n " << c.n << ", data at " << c.data_at << ", output at "
      << c.output_at << ")";
    return s.str();
}

std::string describe(const EmaCall& c) {
    std::ostringstream s;
    s << "ema(period " << c.period << ", n " << c.n << ", data at " << c.data_at << ", output at "
      << c.output_at << ")";
    return s.str();
}

std::string describe(const MacdCall& c) {
    std::ostringstream s;
    s << "macd(fast " << c.fast << ", slow " << c.slow << ", signal " << c.signal << ", n " << c.n
      << ", data at " << c.data_at << ", macd at " << c.macd_at << ", signal at " << c.signal_at
      << ", hist at " << c.hist_at << ")";
    return s.str();
}

std::string describe(const AtrCall& c) {
    std::ostringstream s;
    s << "atr(period " << c.period << ", n " << c.n << ", high at " << c.high_at << ", low at "
      << c.low_at << ", close at " << c.close_at << ", output at " << c.output_at << ")";
    return s.str();
}

}  // namespace brindlex::test
