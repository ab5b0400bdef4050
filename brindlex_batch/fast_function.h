// The module's indicator functions as plain METH_FASTCALL functions: the leanest call there is.
#pragma once

#include <Python.h>

#include <nanobind/nanobind.h>

#include <cstddef>
#include <new>
#include <utility>

namespace brindlex::batch {

namespace nb = nanobind;

// Calls F with the N positional arguments as handles and gives its result; a Python error it
// raises passes on, running out of memory is MemoryError.
template <auto F, std::size_t N>
PyObject* fast_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != static_cast<Py_ssize_t>(N)) {
        PyErr_Format(PyExc_TypeError, "expected %zu arguments, got %zd", N, nargs);
        return nullptr;
    }
    try {
        return [&]<std::size_t... K>(std::index_sequence<K...>) {
            return F(nb::handle(args[K])...).release().ptr();
        }(std::make_index_sequence<N>());
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

// The PyCFunction slot of a PyMethodDef holds a METH_FASTCALL function, as CPython does it.
template <auto F>
PyCFunction as_cfunction() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace brindlex::batch
