// Test machinery: guarded memory blocks, running a kernel beside the oracle on identical memory, bit-level comparison.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference.h"

namespace brindlex::test {

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
inline double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

inline constexpr std::uint64_t marker_bits = 0x7FF8000000000000ULL;
inline constexpr double marker = std::bit_cast<double>(marker_bits);

// In a table of expected values, stands for "a NaN that arithmetic produced": any NaN matches it.
inline constexpr std::uint64_t any_nan_bits = 0x7FFA11A11A11A11AULL;
inline constexpr double any_nan = std::bit_cast<double>(any_nan_bits);

// Cells around every slice hold this; a kernel that writes past a slice end changes them.
inline constexpr std::uint64_t guard_bits = 0x7FFC00006A4D0000ULL;
// Output cells start with this finite value, so a cell that a kernel forgets to write shows.
inline constexpr double poison = -3.0517578125e+299;

inline constexpr std::size_t guard_cells = 3;

bool is_nan(double x);

// Which implementation a test runs: the kernel under test or the oracle.
enum class Impl { core, reference };
const char* impl_name(Impl impl);

// Expected values written as a table: exact bits everywhere, except `any_nan` entries.
testing::AssertionResult same_bits(std::span<const double> expected, std::span<const double> got);

// Builds one block of memory: guard cells, then each slice followed by more guard cells.
class Block {
public:
    Block();
    std::size_t add(std::span<const double> values);  // returns where the values start
    std::size_t add_output(std::size_t n);              // n poison cells
    std::vector<double> finish() const;

private:
    std::vector<double> cells_;
};

// Guard cells, `contents`, guard cells; the contents start at index guard_cells. For laying out
// slices that overlap one another.
std::vector<double> guarded(std::span<const double> contents);

// Calls into a block of memory; every `*_at` is an index into the block, n is the slice length.
struct SmaCall {
    std::uint64_t period;
    std::size_t n, data_at, output_at;
};
struct EmaCall {
    std::uint64_t period;
    std::size_t n, data_at, output_at;
};
struct MacdCall {
    std::uint64_t fast, slow, signal;
    std::size_t n, data_at, macd_at, signal_at, hist_at;
};
struct AtrCall {
    std::uint64_t period;
    std::size_t n, high_at, low_at, close_at, output_at;
};

void run(const SmaCall& call, std::vector<double>& memory, Impl impl, reference::WriteLog* log = nullptr);
void run(const EmaCall& call, std::vector<double>& memory, Impl impl, reference::WriteLog* log = nullptr);
void run(const MacdCall& call, std::vector<double>& memory, Impl impl, reference::WriteLog* log = nullptr);
void run(const AtrCall& call, std::vector<double>& memory, Impl impl, reference::WriteLog* log = nullptr);

// Runs the kernel and the oracle on two copies of `memory` and requires the same final memory:
// exact bits in every cell, except that where the oracle stored a NaN computed by arithmetic the
// kernel may store any NaN. A stored marker must be the marker; untouched cells must stay as
// they were. `context` goes into the failure message, so it should identify the case.
void expect_matches_reference(const std::vector<double>& memory, const SmaCall& call, const std::string& context);
void expect_matches_reference(const std::vector<double>& memory, const EmaCall& call, const std::string& context);
void expect_matches_reference(const std::vector<double>& memory, const MacdCall& call, const std::string& context);
void expect_matches_reference(const std::vector<double>& memory, const AtrCall& call, const std::string& context);

// Convenience for tables: run one implementation on separate, guarded slices and return the
// outputs. Adds a failure if anything outside the outputs changed.
std::vector<double> run_sma(Impl impl, std::uint64_t period, std::span<const double> data);
std::vector<double> run_ema(Impl impl, std::uint64_t period, std::span<const double> data);
struct MacdOutputs {
    std::vector<double> macd, signal, hist;
};
MacdOutputs run_macd(Impl impl, std::uint64_t fast, std::uint64_t slow, std::uint64_t signal,
                     std::span<const double> data);
std::vector<double> run_atr(Impl impl, std::uint64_t period, std::span<const double> high,
                            std::span<const double> low, std::span<const double> close);

// Random series with unusual values mixed in at chosen rates.
struct Mix {
    enum class Base {
        walk,      // prices: a random walk around 100
        integers,  // small integers: exact sums, many ties and zeros
        wide,      // random sign, exponents from 2^-60 to 2^60
        huge,      // magnitudes near the largest finite double, so sums overflow
    };
    Base base = Base::walk;
    double nan = 0, pos_inf = 0, neg_inf = 0, signed_zero = 0, huge = 0;
    bool marker_nans = false;  // let the marker pattern itself appear among the input NaNs
};

class SeriesMaker {
public:
    explicit SeriesMaker(std::uint64_t seed) : rng_(seed) {}

    std::vector<double> make(std::size_t n, const Mix& mix);
    std::uint64_t below(std::uint64_t bound);  // uniform in [0, bound)
    bool chance(double p);
    double nan_value(bool allow_marker);       // quiet and signalling NaNs of both signs
    double huge_value();                       // within a factor of 2 of DBL_MAX, either sign

private:
    std::mt19937_64 rng_;
};

std::string describe(const SmaCall& call);
std::string describe(const EmaCall& call);
std::string describe(const MacdCall& call);
std::string describe(const AtrCall& call);

}  // namespace brindlex::test
