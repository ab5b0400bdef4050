// Binding a fast call's positional and keyword arguments to a function's parameter list.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "runtime/py_err.h"

namespace brindlex::module {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

struct CallSignature {
    std::string_view function_name;
    std::string_view class_name;  // empty: a plain function
    std::span<const std::string_view> positional;
    std::size_t positional_only;
    std::size_t required_positional;
    std::span<const KeywordOnlyParameter> keyword_only;

    std::size_t parameter_count() const noexcept { return positional.size() + keyword_only.size(); }
};

// One borrowed reference per parameter, positional ones first; null means not given. The
// interpreter keeps the argument vector alive for the whole call, so no count is taken.
template <std::size_t N>
using ArgumentSlots = std::array<PyObject*, N>;

// On success every required slot is filled. `slots` must hold parameter_count() null entries.
runtime::Status bind_call(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, std::span<PyObject*> slots) noexcept;

}  // namespace brindlex::module
