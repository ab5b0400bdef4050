// Integer arguments of the companions: conversion through __index__ and the messages of refusals.
#include "integer_arguments.h"

namespace brindlex::call_arguments {
namespace {

// A small int, the usual argument, read in place: the conversions below would give the same
// value at the cost of a call and its error checks. False for anything else.
bool small_int(PyObject* object, long long& value) noexcept {
    if (!PyLong_CheckExact(object)) return false;
    auto* number = reinterpret_cast<PyLongObject*>(object);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    value = PyUnstable_Long_CompactValue(number);
    return true;
}

// The object's integer (a new reference), or null with "argument 'name': expected <what>, got
// <type>" as TypeError; other errors of __index__ pass unchanged.
PyObject* index_of(PyObject* object, const char* name, const char* what) noexcept {
    PyObject* index = PyNumber_Index(object);
    if (index || !PyErr_ExceptionMatches(PyExc_TypeError)) return index;
    PyErr_Clear();
    PyObject* type_name = PyType_GetName(Py_TYPE(object));
    if (type_name) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %U", name, what, type_name);
        Py_DECREF(type_name);
    }
    return nullptr;
}

// brindlex's wording: the interpreter's TypeError with the argument's name in front; a subclass of
// TypeError passes unchanged.
PyObject* index_as_brindlex(PyObject* object, const char* name) noexcept {
    PyObject* index = PyNumber_Index(object);
    if (index || !PyErr_ExceptionMatches(PyExc_TypeError)) return index;
    PyObject* raised = PyErr_GetRaisedException();
    if (Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, raised);
        Py_DECREF(raised);
    } else {
        PyErr_SetRaisedException(raised);
    }
    return nullptr;
}

// An integer argument as a long long, `overflow` telling the sign of one beyond its range.
bool read_integer(PyObject* object, const char* name, long long& value, int& overflow) noexcept {
    overflow = 0;
    if (small_int(object, value)) return true;
    PyObject* index = index_of(object, name, "an integer");
    if (!index) return false;
    value = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    return true;
}

// ValueError with the argument's integer value in the message (a cold path: converted again).
bool refuse(PyObject* object, const char* format) noexcept {
    PyObject* index = PyNumber_Index(object);
    if (index) {
        PyErr_Format(PyExc_ValueError, format, index);
        Py_DECREF(index);
    }
    return false;
}

}  // namespace

bool read_period(PyObject* object, const char* name, PeriodWords words, std::uint64_t& out) noexcept {
    if (long long small = 0; small_int(object, small) && small >= 0) {
        out = static_cast<std::uint64_t>(small);
        return true;
    }
    PyObject* index = words == PeriodWords::named ? index_of(object, name, "an integer period")
                                                  : index_as_brindlex(object, name);
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    // All ones is also how the conversion reports failure; only a pending error tells them apart.
    const bool failed = value == static_cast<unsigned long long>(-1) && PyErr_Occurred();
    if (failed && words == PeriodWords::named && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "argument '%s': expected a period from 0 to 2**64 - 1, got %S",
                     name, index);
    }
    Py_DECREF(index);
    out = value;
    return !failed;
}

bool check_macd_periods(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal) noexcept {
    if (fast == 0 || slow == 0 || signal == 0) {
        PyErr_SetString(PyExc_ValueError, "Periods must be greater than 0");
        return false;
    }
    if (fast >= slow) {
        PyErr_SetString(PyExc_ValueError, "Fast period must be less than slow period");
        return false;
    }
    return true;
}

bool read_threads(PyObject* object, std::size_t most, std::size_t& out) noexcept {
    long long threads = 0;
    int overflow = 0;
    if (!read_integer(object, "threads", threads, overflow)) return false;
    if (threads < 0 || overflow < 0) {
        return refuse(object, "argument 'threads': expected 0 (every core) or a count of threads, got %S");
    }
    out = overflow > 0 || static_cast<std::uint64_t>(threads) > most ? most : static_cast<std::size_t>(threads);
    return true;
}

bool read_axis(PyObject* object, int ndim, int& out) noexcept {
    // The companions' arrays have one or two dimensions.
    long long axis = 0;
    int overflow = 0;
    if (!read_integer(object, "axis", axis, overflow)) return false;
    if (overflow != 0 || axis < -ndim || axis >= ndim) {
        static const char* const formats[] = {
            "argument 'axis': expected an axis of 1-dimensional data (from -1 to 0), got %S",
            "argument 'axis': expected an axis of 2-dimensional data (from -2 to 1), got %S"};
        return refuse(object, formats[ndim == 2]);
    }
    out = static_cast<int>(axis < 0 ? axis + ndim : axis);
    return true;
}

}  // namespace brindlex::call_arguments
