// Conversion of periods, bar values and stretches of bars, with messages naming the argument.
#include "arguments.h"

#include <cstring>
#include <string>

#include <nanobind/stl/string.h>

namespace brindlex_stream {
namespace {

// NumPy's functions, looked up once; like the module they live until the process ends.
PyObject* numpy_function(const char* name) {
    nb::object numpy = nb::module_::import_("numpy");
    return nb::object(numpy.attr(name)).release().ptr();
}

PyObject* asarray() {
    static PyObject* f = numpy_function("asarray");
    return f;
}
PyObject* ascontiguous_float64(nb::handle array) {
    static PyObject* f = numpy_function("ascontiguousarray");
    static PyObject* float64 = numpy_function("float64");
    PyObject* args[] = {array.ptr(), float64};
    return PyObject_Vectorcall(f, args, 2, nullptr);
}

bool native_double(const char* format) noexcept {
    return format && (std::strcmp(format, "d") == 0 || std::strcmp(format, "<d") == 0 ||
                      std::strcmp(format, "=d") == 0 || std::strcmp(format, "@d") == 0);
}

// An array-like as a NumPy array: DLPack producers through from_dlpack (asarray would not read
// them), everything else through asarray.
nb::object as_numpy(nb::handle object) {
    if (nb::hasattr(object, "__dlpack__") && !nb::hasattr(object, "__array__") && !PyObject_CheckBuffer(object.ptr())) {
        static PyObject* from_dlpack = numpy_function("from_dlpack");
        return nb::steal(PyObject_CallOneArg(from_dlpack, object.ptr()));
    }
    return nb::steal(PyObject_CallOneArg(asarray(), object.ptr()));
}

}  // namespace

bool other_to_real(PyObject* object, const char* name, double& out) noexcept {
    if (PyFloat_Check(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    out = PyFloat_AsDouble(object);
    if (out != -1.0 || !PyErr_Occurred()) return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': must be a real number, not '%.200s'", name,
                     Py_TYPE(object)->tp_name);
    }
    return false;
}

std::uint64_t to_period(nb::handle object, const char* name) {
    PyObject* o = object.ptr();
    nb::object index;
    if (!PyLong_Check(o)) {
        index = nb::steal(PyNumber_Index(o));
        if (!index.is_valid()) {
            // A plain TypeError gets the argument's name; anything else (a subclass included)
            // passes through unchanged, as in brindlex.
            if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyObject* raised = PyErr_GetRaisedException();
                if (Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
                    PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, raised);
                    Py_DECREF(raised);
                } else {
                    PyErr_SetRaisedException(raised);
                }
            }
            throw nb::python_error();
        }
        o = index.ptr();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(o);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return value;
}

Float64Input::Float64Input(nb::handle object, const char* name) {
    // A C-contiguous float64 vector already: read in place.
    if (PyObject_CheckBuffer(object.ptr())) {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            if (view_.ndim == 1 && view_.itemsize == 8 && native_double(view_.format)) {
                array_ = nb::borrow(object);
                return;
            }
            PyBuffer_Release(&view_);
        } else {
            PyErr_Clear();
        }
    }
    nb::object array = as_numpy(object);
    if (!array.is_valid()) {
        // NumPy's own TypeError or ValueError, with the argument named in front.
        PyObject* kind = PyErr_ExceptionMatches(PyExc_TypeError)    ? PyExc_TypeError
                         : PyErr_ExceptionMatches(PyExc_ValueError) ? PyExc_ValueError
                                                                    : nullptr;
        if (kind) {
            PyObject* raised = PyErr_GetRaisedException();
            PyErr_Format(kind, "argument '%s': %S", name, raised);
            Py_DECREF(raised);
        }
        throw nb::python_error();
    }
    nb::object dtype = array.attr("dtype");
    const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    if (kind != "f" && kind != "i" && kind != "u") {
        throw nb::type_error((std::string("argument '") + name +
                              "': expected real numbers (an integer or floating-point dtype), got dtype " +
                              nb::str(dtype).c_str())
                                 .c_str());
    }
    const auto ndim = nb::cast<long>(array.attr("ndim"));
    if (ndim != 1) {
        throw nb::value_error((std::string("argument '") + name + "': expected a one-dimensional array, got " +
                               std::to_string(ndim) + " dimensions")
                                  .c_str());
    }
    array_ = nb::steal(ascontiguous_float64(array));
    if (!array_.is_valid()) throw nb::python_error();
    if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) throw nb::python_error();
}

Float64Input::~Float64Input() {
    if (view_.obj) PyBuffer_Release(&view_);
}

Float64Output::Float64Output(std::uint64_t n) {
    static PyObject* empty = numpy_function("empty");
    array_ = nb::steal(PyObject_CallOneArg(empty, nb::int_(n).ptr()));
    if (!array_.is_valid()) throw nb::python_error();
    if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) throw nb::python_error();
}

Float64Output::~Float64Output() {
    if (view_.obj) PyBuffer_Release(&view_);
}

}  // namespace brindlex_stream
