// Python arguments of the stream classes: periods, bar values and stretches of bars.
#pragma once

#include <Python.h>

#include <cstdint>

#include <nanobind/nanobind.h>

#include "core/float_slice.h"

namespace brindlex_stream {

namespace nb = nanobind;

// A period as brindlex takes it: any integer (int, bool, NumPy integer, __index__) from 0 to
// 2^64 - 1. Raises TypeError naming the argument, or OverflowError as Python's own conversion does.
std::uint64_t to_period(nb::handle object, const char* name);

// brindlex's checks of MACD's three periods together; raises ValueError in its words.
void check_macd_periods(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal);

// to_real for anything but an exact float: a float subclass, or a real number through __float__
// or __index__.
bool other_to_real(PyObject* object, const char* name, double& out) noexcept;

// A bar value: a float read in place, any other real number through __float__ or __index__.
// Returns false with a TypeError set that names the argument. The float, by far the usual bar,
// is tested for first and inline, so that the usual call makes no function call for it.
inline bool to_real(PyObject* object, const char* name, double& out) noexcept {
    if (PyFloat_CheckExact(object)) [[likely]] {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    return other_to_real(object, name, out);
}

// A stretch of bars as a contiguous float64 vector: a one-dimensional array-like that NumPy can
// view or convert (arrays of any strides, buffers, sequences, pandas and polars Series, pyarrow
// arrays; DLPack-only objects through from_dlpack, by brindlex_batch's rule), of an integer or floating-point dtype,
// converted as astype does, as brindlex_batch takes them. Boolean, complex, object, text and
// date-time dtypes are refused with TypeError, other numbers of dimensions with ValueError.
class Float64Input {
public:
    Float64Input(nb::handle object, const char* name);
    ~Float64Input();
    Float64Input(const Float64Input&) = delete;
    Float64Input& operator=(const Float64Input&) = delete;

    brindlex::core::InputSlice slice() const noexcept {
        return {static_cast<const double*>(view_.buf), static_cast<std::uint64_t>(view_.len) / sizeof(double)};
    }
    std::uint64_t size() const noexcept { return static_cast<std::uint64_t>(view_.len) / sizeof(double); }

private:
    nb::object array_;  // what the buffer comes from, kept alive while it is read
    Py_buffer view_{};
};

// A new writable float64 NumPy vector of n elements, and the memory to write it through.
class Float64Output {
public:
    explicit Float64Output(std::uint64_t n);
    ~Float64Output();
    Float64Output(const Float64Output&) = delete;
    Float64Output& operator=(const Float64Output&) = delete;

    brindlex::core::OutputSlice slice() const noexcept {
        return {static_cast<double*>(view_.buf), static_cast<std::uint64_t>(view_.len) / sizeof(double)};
    }
    nb::object array() const { return array_; }

private:
    nb::object array_;
    Py_buffer view_{};
};

}  // namespace brindlex_stream
