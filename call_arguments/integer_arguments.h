// Integer arguments of the companions (periods, axis, threads): their conversion and their messages.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace brindlex::call_arguments {

// How a refused period is worded. `as_brindlex`: brindlex's own messages (a TypeError gets the
// argument's name in front; OverflowError passes unchanged), which brindlex_stream repeats.
// `named`: "expected an integer period" and "expected a period from 0 to 2**64 - 1", naming the
// argument, as brindlex_batch documents them.
enum class PeriodWords { as_brindlex, named };

// A period: any integer (int, bool, NumPy integer, __index__) from 0 to 2**64 - 1. False with
// TypeError or OverflowError set.
bool read_period(PyObject* object, const char* name, PeriodWords words, std::uint64_t& out) noexcept;

// brindlex's checks of MACD's periods together, in its words. False with ValueError set.
bool check_macd_periods(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal) noexcept;

// The threads of a call: 0 (every core) or a count, read as at most `most`. False with TypeError
// or ValueError set.
bool read_threads(PyObject* object, std::size_t most, std::size_t& out) noexcept;

// The axis of 1- or 2-dimensional data, negative ones counted from the end. False with TypeError
// or ValueError set.
bool read_axis(PyObject* object, int ndim, int& out) noexcept;

}  // namespace brindlex::call_arguments
