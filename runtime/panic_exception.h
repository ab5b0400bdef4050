// The exception type that marks an internal failure carried through Python code.
#pragma once

#include <Python.h>

#include <string>

namespace brindlex::runtime {

// "pyo3_runtime.PanicException", a BaseException subclass, created on first use and cached for the
// life of the process (borrowed reference). Needs the interpreter lock.
PyObject* panic_exception_type() noexcept;

// Prints the banner and the exception's Python traceback to standard error, then ends the process
// as an internal failure with `message`. Takes over the reference to `exception`.
[[noreturn]] void resume_from_python(PyObject* exception, std::string message) noexcept;

}  // namespace brindlex::runtime
