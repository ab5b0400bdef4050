// The per-bar methods as plain METH_FASTCALL functions on the class: the leanest call there is.
#pragma once

#include <Python.h>

#include <new>
#include <optional>

#include <nanobind/nanobind.h>

#include "arguments.h"

namespace brindlex_stream {

namespace nb = nanobind;

// The stream behind `self`, or null with TypeError when the object was never initialised
// (made by __new__ alone). The method descriptor has already checked the type of `self`.
template <class Stream>
Stream* stream_of(PyObject* self) noexcept {
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "%.200s object is not initialized", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return nb::inst_ptr<Stream>(self);
}

// The N bar values of a call, positional only, named in messages.
template <int N>
bool bar_values(const char* method, const char* const (&names)[N], PyObject* const* args, Py_ssize_t nargs,
                double (&out)[N]) noexcept {
    if (nargs != N) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %d positional argument%s (%zd given)", method, N,
                     N == 1 ? "" : "s", nargs);
        return false;
    }
    for (int k = 0; k < N; ++k) {
        if (!to_real(args[k], names[k], out[k])) return false;
    }
    return true;
}

// The PyCFunction slot of a PyMethodDef holds a METH_FASTCALL function, as CPython does it.
template <auto F>
PyCFunction as_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// Puts `def` on the class as a method descriptor; `def` must outlive the class.
inline void add_fast_method(nb::handle cls, PyMethodDef* def) {
    nb::object method = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
    if (!method.is_valid() || PyObject_SetAttrString(cls.ptr(), def->ml_name, method.ptr()) != 0) {
        throw nb::python_error();
    }
}

// A per-bar method: converts the N bar values, finds the stream and applies `step` to them,
// turning a failed allocation into MemoryError. `step(stream, values)` returns a new reference or
// null with an exception set.
template <class Stream, int N, const char* Name, const char* const (&Names)[N], auto Step>
PyObject* bar_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    double values[N];
    if (!bar_values(Name, Names, args, nargs, values)) return nullptr;
    Stream* stream = stream_of<Stream>(self);
    if (!stream) return nullptr;
    try {
        return Step(*stream, values);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace brindlex_stream
