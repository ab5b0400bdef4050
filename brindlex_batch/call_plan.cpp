// The checked shape of a call. CheckedCall has checked the caller's arguments and worded their
// errors; these checks keep the extension itself from reading or writing outside its arrays.
#include "call_plan.h"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <string>

#include "thread_split.h"

namespace brindlex::batch {
namespace {

[[noreturn]] void refuse(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw nanobind::python_error();
}

template <class Array>
bool same_shape(const Array& array, const InputArray& model) noexcept {
    if (array.ndim() != model.ndim()) return false;
    for (std::size_t d = 0; d < model.ndim(); ++d) {
        if (array.shape(d) != model.shape(d)) return false;
    }
    return true;
}

template <class Array>
bool contiguous_column(const Array& array) noexcept {
    return array.ndim() == 1 && (array.stride(0) == 1 || array.shape(0) <= 1);
}

std::uint64_t checked_total(std::span<const std::uint64_t> lengths, std::uint64_t column) {
    unsigned __int128 total = 0;
    for (const std::uint64_t length : lengths) total += length;
    if (total != column) {
        const std::string sum = total > UINT64_MAX
                                    ? std::string("more than 2**64 - 1")
                                    : std::to_string(static_cast<std::uint64_t>(total));
        refuse(("argument 'lengths': the lengths sum to " + sum + ", but the column holds " +
                std::to_string(column) + " values")
                   .c_str());
    }
    return column;
}

}  // namespace

CallPlan plan_call(std::initializer_list<const InputArray*> inputs,
                   std::initializer_list<const OutputArray*> outputs, std::size_t time_axis,
                   const std::optional<std::span<const std::uint64_t>>& runs, std::span<const std::uint64_t> slots,
                   std::uint64_t turns, std::size_t threads) {
    const InputArray& model = **inputs.begin();
    if (model.ndim() != 1 && model.ndim() != 2) {
        refuse("arrays must have one or two dimensions");
    }
    if (time_axis >= model.ndim()) {
        refuse("the time axis is not an axis of the arrays");
    }
    const bool shapes_agree =
        std::ranges::all_of(inputs, [&](const InputArray* a) { return same_shape(*a, model); }) &&
        std::ranges::all_of(outputs, [&](const OutputArray* a) { return same_shape(*a, model); });
    if (!shapes_agree) refuse("every array must have the same shape");

    CallPlan plan{time_axis, 0, {}, runs.has_value(), {}, 1, model.shape(time_axis), false, turns};
    if (runs || turns != 0) {
        const bool columns =
            std::ranges::all_of(inputs, [](const InputArray* a) { return contiguous_column(*a); }) &&
            std::ranges::all_of(outputs, [](const OutputArray* a) { return contiguous_column(*a); });
        if (!columns) {
            refuse("'lengths' needs contiguous one-dimensional arrays");
        }
    }
    if (runs) {
        plan.runs = *runs;
        checked_total(plan.runs, model.shape(0));
        if (!slots.empty() && slots.size() != model.shape(0)) refuse("'groups' needs one row per element");
        plan.slots = slots;
        plan.series = plan.runs.size();
    } else if (turns != 0) {
        plan.series = turns;
        plan.length = model.shape(0) / turns;
        plan.gathered = true;
    } else {
        plan.series = model.ndim() == 1 ? 1 : model.shape(1 - time_axis);
        const auto strided = [&](const auto* a) { return a->stride(time_axis) != 1; };
        plan.gathered = std::ranges::any_of(inputs, strided) || std::ranges::any_of(outputs, strided);
    }
    plan.threads = static_cast<std::size_t>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(requested_threads(threads), plan.series)));
    return plan;
}

}  // namespace brindlex::batch
