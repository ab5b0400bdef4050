// The four functions the module offers to Python, as fast-call entry points with keywords.
#pragma once

#include <Python.h>

namespace brindlex::module {

// Each returns a new reference to None, or null with the interpreter's error indicator set.
PyObject* indicator_sma(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* indicator_ema(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* indicator_macd(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;
PyObject* indicator_atr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

}  // namespace brindlex::module
