// NumPy's array type, float64 descriptor and functions, found once and kept for the process.
#include "numpy_arrays.h"

#include <new>

namespace brindlex::call_arguments {
namespace {

const NumpyArrays* loaded = nullptr;

// The C-API table from the capsule of NumPy's multiarray module (numpy._core from NumPy 2 on).
void* const* api_slots() noexcept {
    PyObject* multiarray = PyImport_ImportModule("numpy._core.multiarray");
    if (!multiarray) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
        PyErr_Clear();
        multiarray = PyImport_ImportModule("numpy.core.multiarray");
        if (!multiarray) return nullptr;
    }
    PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
    Py_DECREF(multiarray);
    if (!capsule) return nullptr;
    // The table lives inside the capsule, whose reference is kept for the process.
    return static_cast<void* const*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

[[gnu::cold, gnu::noinline]] const NumpyArrays* load() noexcept {
    void* const* slots = api_slots();
    if (!slots) return nullptr;
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) return nullptr;
    module::NumpyApiTable api(slots);
    PyObject* float64 = api.descr_from_type(module::npy_double);
    PyObject* functions[6] = {};
    const char* names[6] = {"asarray", "from_dlpack", "ascontiguousarray", "copyto", "float64", "uint64"};
    bool found = float64 != nullptr;
    for (int k = 0; found && k < 6; ++k) found = (functions[k] = PyObject_GetAttrString(numpy, names[k]));
    Py_DECREF(numpy);
    if (!found) return nullptr;
    loaded = new (std::nothrow) NumpyArrays{api.array_type(), float64, api, functions[0], functions[1], functions[2],
                             functions[3], functions[4], functions[5],
                                            api.feature_version() >= 18};
    if (!loaded) PyErr_NoMemory();
    return loaded;
}

}  // namespace

const NumpyArrays* numpy_arrays() noexcept {
    if (loaded) return loaded;
    return load();
}

}  // namespace brindlex::call_arguments
