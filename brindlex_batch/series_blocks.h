// Arrays of one or two dimensions seen as blocks of series along a time axis, and parts of those blocks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/float_slice.h"
#include "array_view.h"
#include "core/many/series_block.h"

namespace brindlex::batch {

using InputArray = ArrayView<const double>;
using OutputArray = ArrayView<double>;
using LengthArray = ArrayView<const std::uint64_t>;

// A one-dimensional array is one series, or with `turns` that many series whose rows take turns
// (row i in series i mod turns); in two dimensions every index of the other axis is one.
core::BlockIn input_block(const InputArray& array, std::size_t time_axis, std::uint64_t turns = 0) noexcept;
core::BlockOut output_block(const OutputArray& array, std::size_t time_axis, std::uint64_t turns = 0) noexcept;

// A long column, contiguous, as the run kernels take it.
core::InputSlice input_column(const InputArray& array) noexcept;
core::OutputSlice output_column(const OutputArray& array) noexcept;

}  // namespace brindlex::batch
