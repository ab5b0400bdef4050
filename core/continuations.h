// The loops that carry a seeded series on to the end of a stretch, written once for the one-series kernels, the many-series tails and the streams.
#pragma once

#include <cstdint>
#include <type_traits>

#include "atr_step.h"
#include "lanes.h"
#include "sma_step.h"

namespace brindlex::core {

// Inputs and outputs are slices or strided series, never bare pointers: a pointer to
// unaligned_double deduced as a template argument loses its one-byte alignment, and the loop
// would then assume aligned elements.
template <class T>
concept Indexable = !std::is_pointer_v<T>;

// SMA from position `from` to `to` - 1, the running sum `sum` being that of the window before
// `from`; x[i] and y[i] are position i of the input and output, whatever holds them (a series, a
// strided series). Returns the running sum at `to`. from >= p.
template <Indexable In, Indexable Out>
BRINDLEX_STEP double sma_continue(double sum, std::uint64_t p, double inv, In x, Out y, std::uint64_t from,
                                  std::uint64_t to) noexcept {
    for (std::uint64_t i = from; i < to; ++i) {
        const SmaStep<double> s = sma_roll(sum, double{x[i]}, double{x[i - p]}, inv);
        sum = s.sum;
        y[i] = s.mean;
    }
    return sum;
}

// ATR from position `from` to `to` - 1 after its seed, `value` being the average before `from`;
// true_range(j) gives bar j's true range, asked for in order. Returns the average at `to`.
template <class TrueRange, Indexable Out>
BRINDLEX_STEP double atr_continue(double value, double inv, TrueRange true_range, Out y, std::uint64_t from,
                                  std::uint64_t to) noexcept {
    for (std::uint64_t j = from; j < to; ++j) {
        value = atr_smooth(value, true_range(j), inv);
        y[j] = value;
    }
    return value;
}

}  // namespace brindlex::core
