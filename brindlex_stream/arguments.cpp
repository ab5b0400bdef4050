// Conversion of periods, bar values and stretches of bars, with messages naming the argument.
#include "arguments.h"

#include <cstring>

#include "call_arguments/integer_arguments.h"
#include "call_arguments/numpy_arrays.h"
#include "call_arguments/real_arrays.h"

namespace brindlex_stream {
namespace {

namespace args = brindlex::call_arguments;

bool native_double(const char* format) noexcept {
    return format && (std::strcmp(format, "d") == 0 || std::strcmp(format, "<d") == 0 ||
                      std::strcmp(format, "=d") == 0 || std::strcmp(format, "@d") == 0);
}

const args::NumpyArrays& numpy() {
    const args::NumpyArrays* numpy = args::numpy_arrays();
    if (!numpy) throw nb::python_error();
    return *numpy;
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
    std::uint64_t period = 0;
    if (!args::read_period(object.ptr(), name, args::PeriodWords::as_brindlex, period)) throw nb::python_error();
    return period;
}

void check_macd_periods(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal) {
    if (!args::check_macd_periods(fast, slow, signal)) throw nb::python_error();
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
    nb::object array = nb::steal(args::as_real_array(object.ptr(), name));
    if (!array.is_valid()) throw nb::python_error();
    const int ndim = args::array_fields(array.ptr())->nd;
    if (ndim != 1) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected a one-dimensional array, got %d dimensions", name,
                     ndim);
        throw nb::python_error();
    }
    const args::NumpyArrays& np = numpy();
    PyObject* arguments[] = {array.ptr(), np.float64_type};
    array_ = nb::steal(PyObject_Vectorcall(np.ascontiguousarray, arguments, 2, nullptr));
    if (!array_.is_valid()) throw nb::python_error();
    if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) throw nb::python_error();
}

Float64Input::~Float64Input() {
    if (view_.obj) PyBuffer_Release(&view_);
}

Float64Output::Float64Output(std::uint64_t n) {
    static PyObject* empty = [] {
        nb::object numpy = nb::module_::import_("numpy");
        return nb::object(numpy.attr("empty")).release().ptr();
    }();
    array_ = nb::steal(PyObject_CallOneArg(empty, nb::int_(n).ptr()));
    if (!array_.is_valid()) throw nb::python_error();
    if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) throw nb::python_error();
}

Float64Output::~Float64Output() {
    if (view_.obj) PyBuffer_Release(&view_);
}

}  // namespace brindlex_stream
