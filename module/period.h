// Periods: any Python integer (or object with __index__) from 0 to 2^64 - 1.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/py_err.h"

namespace brindlex::module {

// The interpreter's own OverflowError for a negative or too large value, and its TypeError for an
// object without __index__, pass through unchanged (the caller adds the parameter name).
runtime::Result<std::uint64_t> extract_period(PyObject* object) noexcept;

}  // namespace brindlex::module
