// The arguments of one brindlex_batch call, checked and converted before anything is written.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "call_arguments/memory_extent.h"
#include "core/many/row_groups.h"
#include "series_blocks.h"

namespace brindlex::batch {

namespace nb = nanobind;

// What an indicator takes: its inputs, periods and outputs, named as messages name them.
struct Signature {
    std::size_t inputs;
    std::array<const char*, 3> input_names;
    std::size_t periods;  // 3: MACD's, checked together as brindlex checks them
    std::array<const char*, 3> period_names;
    std::size_t outputs;  // 1: `out` is one array; 3: a tuple or list of three
    // The memory one group's stream takes when groups are computed row by row, for these periods
    // (0, or no function: not so).
    std::uint64_t (*stream_bytes)(const std::array<std::uint64_t, 3>& periods) noexcept = nullptr;
};

// f(Code{}) with Code the unsigned integer of `width` bytes (1, 2, 4, else 8): group codes are
// read at the width the caller holds them in.
template <class F>
decltype(auto) with_code_type(std::int64_t width, F&& f) {
    switch (width) {
        case 1: return f(std::uint8_t{});
        case 2: return f(std::uint16_t{});
        case 4: return f(std::uint32_t{});
        default: return f(std::uint64_t{});
    }
}

// The codes of groups to be computed row by row (RowGroups::streams): the caller's array, read
// at its own width, or the numbers sparse codes were given.
struct StreamedCodes {
    const char* data;
    std::size_t rows;
    std::int64_t width;  // bytes per code: 1, 2, 4 or 8
    std::uint64_t streams;
    std::uint64_t stream_bytes;  // the memory of one group's stream (Signature::stream_bytes)
};

// An input argument as the caller gave it (viewed as a NumPy array of real numbers) and as the
// kernels compute on it: the same array when they can read it in place, else a float64 copy.
// Raises TypeError or ValueError naming the argument.
struct ReadInput {
    nb::object original, array;
};
ReadInput read_input(nb::handle given, const char* name);

// A call's arrays and layout. Made by check_call, which raises TypeError, ValueError or
// OverflowError naming the argument (or MemoryError) before any output is written; the caller's
// `out` arrays are written only by finish().
class CheckedCall {
public:
    CheckedCall(const Signature& signature, const nb::handle* inputs, const nb::handle* periods,
                nb::handle axis, nb::handle lengths, nb::handle groups, nb::handle out, nb::handle threads);

    InputArray input(std::size_t k) const noexcept { return InputArray::of(arrays_[k].ptr()); }
    OutputArray target(std::size_t k) const noexcept { return OutputArray::of(targets_[k].ptr()); }
    // The outputs were allocated here, not given as `out`.
    bool fresh_outputs() const noexcept { return fresh_outputs_; }
    // Has the system fault in every page of the outputs allocated here at once, rather than one
    // by one as the kernels first write them; they are then written as given ones are (no longer
    // fresh_outputs()). Where the system cannot, nothing changes.
    void fault_in_outputs() noexcept;
    std::uint64_t period(std::size_t k) const noexcept { return periods_[k]; }
    std::size_t time_axis() const noexcept { return time_axis_; }
    std::size_t threads() const noexcept { return threads_; }
    // The consecutive runs a long column is cut into, by `lengths` or by the groups of `groups`;
    // none when neither was given, or when the groups take turns.
    std::optional<std::span<const std::uint64_t>> runs() const noexcept;
    // Where the groups of `groups` lie scattered over the rows: each row's slot when they are laid
    // out group by group; else empty.
    std::span<const std::uint64_t> grouped_slots() const noexcept;
    // Groups of `groups` whose rows take turns (row i in the group of row i mod that many): how
    // many; else 0.
    std::uint64_t grouped_turns() const noexcept { return groups_ ? groups_->turns() : 0; }
    // Groups of `groups` to be computed row by row: their codes; nothing otherwise.
    std::optional<StreamedCodes> streamed_codes() const noexcept;

    // Copies what the kernels wrote into arrays of their own over the caller's, then gives the
    // results: the one array, or the three as an instance of `tuple_type` (a subclass of tuple
    // whose instances hold exactly three items, such as a named tuple).
    nb::object finish(PyTypeObject* tuple_type = nullptr);

private:
    void read_inputs(const nb::handle* inputs);
    void read_lengths(nb::handle lengths);
    void read_groups(nb::handle groups, bool with_lengths);
    void group_codes();
    nb::object read_counts(nb::handle given, const char* name, const char* what, PyObject* dtype);
    void make_columns();
    void read_periods(const nb::handle* periods);
    void read_outputs(nb::handle out);
    void check_output(nb::handle out, const char* name, std::size_t index);

    const Signature& signature_;
    std::array<nb::object, 3> originals_;  // the caller's arrays, for the overlap tests
    std::array<nb::object, 3> arrays_;     // the float64 arrays computed on
    std::array<nb::object, 3> results_;    // the arrays returned
    std::array<nb::object, 3> targets_;    // the arrays written: results_, or a copy in C order
    bool fresh_outputs_ = false;
    std::array<call_arguments::MemoryBounds, 3> input_bounds_{}, result_bounds_{};  // for the overlap tests
    nb::object length_array_;
    std::optional<LengthArray> lengths_;
    nb::object codes_;  // `groups` as read
    std::optional<core::RowGroups> groups_;
    std::array<std::uint64_t, 3> periods_{};
    std::size_t time_axis_ = 0;
    std::size_t threads_ = 1;
};

}  // namespace brindlex::batch
