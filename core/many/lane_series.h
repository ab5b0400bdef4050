// One series of a many-series call seen on its own, at its stride: its seed, and its tail after the lanes stop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/float_slice.h"
#include "core/macd_step.h"
#include "core/seeds.h"
#include "core/weights.h"

namespace brindlex::core {

// Element t of a series is p[t * stride].
struct Strand {
    const unaligned_double* p;
    std::ptrdiff_t stride;
    double operator[](std::uint64_t t) const noexcept { return p[static_cast<std::ptrdiff_t>(t) * stride]; }
};

struct OutStrand {
    unaligned_double* p;
    std::ptrdiff_t stride;
    unaligned_double& operator[](std::uint64_t t) const noexcept { return p[static_cast<std::ptrdiff_t>(t) * stride]; }
};

// Where the average is seeded and the seed, as the one-series kernel finds them. 1 <= p <= n.
EmaSeed ema_seed_of(Strand x, std::uint64_t n, std::uint64_t p) noexcept;

// Both averages seeded at position s - 1, when the one-series kernel seeds them there and keeps
// to the rule the lanes follow: no NaN input up to s - 1 and neither seed NaN. n >= s.
struct MacdSeed {
    bool usable;
    double fast, slow;
};
MacdSeed macd_seed_of(Strand x, std::uint64_t f, std::uint64_t s) noexcept;

// The positions from..to - 1 of a series whose lanes stopped at `from`, from the state they
// reached there (runs of unequal lengths share the lanes only for the shortest one's length).
void sma_tail(std::uint64_t p, double sum, Strand x, OutStrand y, std::uint64_t from, std::uint64_t to) noexcept;
void ema_tail(std::uint64_t p, double value, Strand x, OutStrand y, std::uint64_t from, std::uint64_t to) noexcept;
// False when the series leaves the lanes' rule (an average turns NaN): it must then be computed whole.
// `state` is left as it is at `to` (a sweep's lanes carry on from there).
bool macd_tail(std::uint64_t f, std::uint64_t s, std::uint64_t g, MacdState<double>& state, Strand x,
               OutStrand m, OutStrand sig, OutStrand h, std::uint64_t from, std::uint64_t to) noexcept;
void atr_tail(std::uint64_t p, double value, Strand high, Strand low, Strand close, OutStrand y, std::uint64_t from,
              std::uint64_t to) noexcept;

}  // namespace brindlex::core
