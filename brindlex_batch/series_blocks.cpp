// Arrays of one or two dimensions seen as blocks of series along a time axis.
#include "series_blocks.h"

namespace brindlex::batch {
namespace {

template <class Block, class Array>
Block block_of(const Array& array, std::size_t time_axis, std::uint64_t turns) noexcept {
    if (turns != 0) {
        const auto step = static_cast<std::ptrdiff_t>(turns);
        return {array.data(), step * array.stride(0), array.stride(0), array.shape(0) / turns, turns};
    }
    if (array.ndim() == 1) return {array.data(), array.stride(0), 0, array.shape(0), 1};
    const std::size_t series_axis = 1 - time_axis;
    return {array.data(), array.stride(time_axis), array.stride(series_axis), array.shape(time_axis),
            array.shape(series_axis)};
}

}  // namespace

core::BlockIn input_block(const InputArray& array, std::size_t time_axis, std::uint64_t turns) noexcept {
    return block_of<core::BlockIn>(array, time_axis, turns);
}

core::BlockOut output_block(const OutputArray& array, std::size_t time_axis, std::uint64_t turns) noexcept {
    return block_of<core::BlockOut>(array, time_axis, turns);
}

core::InputSlice input_column(const InputArray& array) noexcept {
    return {array.data(), array.shape(0)};
}

core::OutputSlice output_column(const OutputArray& array) noexcept {
    return {array.data(), array.shape(0)};
}

}  // namespace brindlex::batch
