// "_brindlex_noop": a fast-call function that does nothing, the baseline of the per-call benchmark.
#include <Python.h>

namespace {

// The same calling convention and flags as the indicator functions, and nothing else.
PyObject* noop(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { Py_RETURN_NONE; }

PyMethodDef methods[] = {
    {"noop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop)),
     METH_FASTCALL | METH_KEYWORDS, "noop(*args, **kwargs)\n--\n\nReturns None."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_brindlex_noop", "", -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__brindlex_noop() {
    return PyModule_Create(&module);
}
