// MACD's result as a named tuple (macd, signal, hist), built directly without a generic conversion.
#pragma once

#include <Python.h>

#include "core/stream/macd_stream.h"

namespace brindlex_stream {

// Creates the type once, at import; returns it (a new reference) or null with an exception set.
PyTypeObject* create_macd_values_type() noexcept;

// A new MacdValues, or null with an exception set.
PyObject* make_macd_values(const brindlex::core::stream::MacdValues& v) noexcept;

}  // namespace brindlex_stream
