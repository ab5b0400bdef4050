// A thread's share of a call's runs: the columns it reads and writes, in place or gathered from scattered rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "core/float_slice.h"
#include "series_blocks.h"

namespace brindlex::batch {

// Elements first .. first + size - 1 of the runs' order. Where the runs lie in place (`lengths`, or
// groups already adjacent) the kernels read and write the arrays there; where the groups lie
// scattered over the rows, `slots` gives each row's place in the runs' order, and the share works
// on `gathered` memory: one column per input, then one per output, each `size` long.
class RunShare {
public:
    RunShare(std::uint64_t first, std::uint64_t size, std::span<const std::uint64_t> slots, double* gathered,
             std::size_t inputs) noexcept
        : first_(first), size_(size), slots_(slots), gathered_(gathered), inputs_(inputs) {}

    core::InputSlice in(const InputArray& array, std::size_t k) const noexcept {
        if (slots_.empty()) return {input_column(array).data() + first_, size_};
        return {column(k), size_};
    }
    core::OutputSlice out(const OutputArray& array, std::size_t k) const noexcept {
        if (slots_.empty()) return {output_column(array).data() + first_, size_};
        return {column(inputs_ + k), size_};
    }

    // Before the kernels: the share's rows of each input copied to their slots.
    void gather(std::initializer_list<const InputArray*> inputs) const noexcept;
    // After them: each output's results copied from the slots to their rows.
    void scatter(std::initializer_list<const OutputArray*> outputs) const noexcept;

private:
    double* column(std::size_t k) const noexcept { return gathered_ + k * size_; }

    // Each row of the share, in row order, with its place in the share's columns. The column is
    // read or written in order, and so is each group's stretch: as many streams as groups, where
    // a pass in group order would jump through the whole column at every row.
    template <class Body>
    void each_row(Body&& body) const noexcept {
        for (std::uint64_t row = 0; row < slots_.size(); ++row) {
            const std::uint64_t at = slots_[row] - first_;  // wraps round for rows of other shares
            if (at < size_) body(row, at);
        }
    }

    std::uint64_t first_, size_;
    std::span<const std::uint64_t> slots_;
    double* gathered_;
    std::size_t inputs_;
};

inline void RunShare::gather(std::initializer_list<const InputArray*> inputs) const noexcept {
    std::size_t k = 0;
    for (const InputArray* array : inputs) {
        const core::unaligned_double* from = input_column(*array).data();
        double* to = column(k++);
        each_row([&](std::uint64_t row, std::uint64_t at) { to[at] = from[row]; });
    }
}

inline void RunShare::scatter(std::initializer_list<const OutputArray*> outputs) const noexcept {
    std::size_t k = inputs_;
    for (const OutputArray* array : outputs) {
        core::unaligned_double* to = output_column(*array).data();
        const double* from = column(k++);
        each_row([&](std::uint64_t row, std::uint64_t at) { to[row] = from[at]; });
    }
}

}  // namespace brindlex::batch
