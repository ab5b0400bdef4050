// Slow, literal versions of the four kernels: the oracle every optimised kernel is compared with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/float_slice.h"

namespace brindlex::reference {

using core::InputSlice;
using core::OutputSlice;

// What the last store of a reference run left in each cell of one block of test memory. A NaN
// that arithmetic produced has no fixed bit pattern, so a comparison may only ask for NaN there;
// a stored marker, on the other hand, must come back bit for bit. Tracking stores (rather than
// looking at values) keeps that distinction exact even when outputs are read back as inputs.
class WriteLog {
public:
    enum class Store : std::uint8_t { none, marker, computed };

    WriteLog(const double* base, std::size_t cells) : base_(base), stores_(cells, Store::none) {}

    void record(const double* cell, Store store) {
        const auto offset = reinterpret_cast<std::uintptr_t>(cell) - reinterpret_cast<std::uintptr_t>(base_);
        const auto index = offset / sizeof(double);
        if (index < stores_.size()) stores_[index] = store;
    }

    Store at(std::size_t index) const { return stores_[index]; }

private:
    const double* base_;
    std::vector<Store> stores_;
};

void sma(std::uint64_t period, InputSlice data, OutputSlice output) noexcept;
void ema(std::uint64_t period, InputSlice data, OutputSlice output) noexcept;
void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputSlice data, OutputSlice macd_output, OutputSlice signal_output,
          OutputSlice hist_output) noexcept;
void atr(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
         OutputSlice output) noexcept;

// The same computations, also telling `log` (which may be null) about every store.
void sma(std::uint64_t period, InputSlice data, OutputSlice output, WriteLog* log) noexcept;
void ema(std::uint64_t period, InputSlice data, OutputSlice output, WriteLog* log) noexcept;
void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputSlice data, OutputSlice macd_output, OutputSlice signal_output,
          OutputSlice hist_output, WriteLog* log) noexcept;
void atr(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
         OutputSlice output, WriteLog* log) noexcept;

}  // namespace brindlex::reference
