// Arrays of one or two dimensions seen as blocks of series along a time axis, and parts of those blocks.
#pragma once

#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>

#include "core/float_slice.h"
#include "core/many/series_block.h"

namespace brindlex::batch {

namespace nb = nanobind;

using InputArray = nb::ndarray<const double, nb::device::cpu>;
using OutputArray = nb::ndarray<double, nb::device::cpu>;
using LengthArray = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A one-dimensional array is one series; in two dimensions every index of the other axis is one.
core::BlockIn input_block(const InputArray& array, std::size_t time_axis) noexcept;
core::BlockOut output_block(const OutputArray& array, std::size_t time_axis) noexcept;

// A long column, contiguous, as the run kernels take it.
core::InputSlice input_column(const InputArray& array) noexcept;
core::OutputSlice output_column(const OutputArray& array) noexcept;

}  // namespace brindlex::batch
