// Puts the parameter's name in front of a TypeError raised while converting an argument.
#pragma once

#include <string_view>

#include "runtime/py_err.h"

namespace brindlex::module {

// An exception of exactly TypeError becomes "argument '<name>': <its text>", keeping its cause;
// anything else passes through unchanged.
runtime::PyErr prefix_argument_error(std::string_view name, runtime::PyErr error) noexcept;

}  // namespace brindlex::module
