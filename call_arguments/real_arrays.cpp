// Array-likes of real numbers as NumPy arrays, by one rule for both companion modules.
#include "real_arrays.h"

#include "numpy_arrays.h"

namespace brindlex::call_arguments {
namespace {

bool has(PyObject* object, const char* attribute) noexcept {
    return PyObject_HasAttrString(object, attribute) != 0;
}

// NumPy's refusal with the argument named: its TypeError says what was given, its ValueError is
// kept as it is after the name.
void name_conversion_error(PyObject* object, const char* name) noexcept {
    const bool type_error = PyErr_ExceptionMatches(PyExc_TypeError);
    if (!type_error && !PyErr_ExceptionMatches(PyExc_ValueError)) return;
    PyObject* raised = PyErr_GetRaisedException();
    if (type_error) {
        PyObject* type_name = PyType_GetName(Py_TYPE(object));
        if (type_name) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of numbers, got %U (%S)", name,
                         type_name, raised);
            Py_DECREF(type_name);
        }
    } else {
        PyErr_Format(PyExc_ValueError, "argument '%s': %S", name, raised);
    }
    Py_DECREF(raised);
}

bool real_dtype(PyObject* array, const NumpyArrays& numpy, const char* name) noexcept {
    if (numpy.is_float64(array)) return true;
    PyObject* descr = array_fields(array)->descr;
    PyObject* kind = PyObject_GetAttrString(descr, "kind");
    if (!kind) return false;
    const bool real = PyUnicode_CompareWithASCIIString(kind, "f") == 0 ||
                      PyUnicode_CompareWithASCIIString(kind, "i") == 0 ||
                      PyUnicode_CompareWithASCIIString(kind, "u") == 0;
    Py_DECREF(kind);
    if (!real) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected real numbers (an integer or floating-point dtype), got dtype %S",
                     name, descr);
    }
    return real;
}

}  // namespace

bool read_through_dlpack(PyObject* object) noexcept {
    return has(object, "__dlpack__") && !PyObject_CheckBuffer(object) && !has(object, "__array__") &&
           !has(object, "__array_interface__") && !has(object, "__array_struct__");
}

PyObject* as_numpy_array(PyObject* object, const char* name) noexcept {
    const NumpyArrays* numpy = numpy_arrays();
    if (!numpy) return nullptr;
    if (Py_IS_TYPE(object, numpy->array_type)) return Py_NewRef(object);
    PyObject* convert = read_through_dlpack(object) ? numpy->from_dlpack : numpy->asarray;
    PyObject* array = PyObject_CallOneArg(convert, object);
    if (!array) name_conversion_error(object, name);
    return array;
}

PyObject* as_real_array(PyObject* object, const char* name) noexcept {
    PyObject* array = as_numpy_array(object, name);
    if (array && !real_dtype(array, *numpy_arrays(), name)) Py_CLEAR(array);
    return array;
}

bool whole_float64_steps(PyObject* array) noexcept {
    const ArrayObject* fields = array_fields(array);
    if (fields->flags & npy_aligned) return true;
    for (int d = 0; d < fields->nd; ++d) {
        if (fields->strides[d] % 8 != 0) return false;
    }
    return true;
}

}  // namespace brindlex::call_arguments
