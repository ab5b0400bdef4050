// The public functions' fast path: their arguments bound in C++ and passed straight to the native functions.
#pragma once

#include <Python.h>

namespace brindlex::batch {

// A function that takes the arguments of `definition` (a Python function: its parameters' names,
// order, kinds and defaults) and, when they are plain (no more than its parameters, known keywords
// each given once, every period an int), calls `native` (a METH_FASTCALL function of the module,
// taking every parameter by position) with all of them; otherwise calls `definition` itself, which
// handles sweeps of periods and says what is wrong. It carries the definition's name, docstring
// and signature, and pickles as the module's attribute of that name. New reference; null with an
// exception set on failure.
PyObject* fast_front(PyObject* definition, PyObject* native, const char* module_name);

}  // namespace brindlex::batch
