// The struct sequence MacdValues: a tuple subclass whose three floats are filled in place.
#include "macd_values.h"

namespace brindlex_stream {
namespace {

PyStructSequence_Field fields[] = {
    {"macd", "The MACD line: fast average minus slow average."},
    {"signal", "The signal line: an exponential average of the MACD line."},
    {"hist", "The histogram: MACD line minus signal line."},
    {nullptr, nullptr},
};

PyStructSequence_Desc description = {
    "brindlex_stream._native.MacdValues",
    "MACD line, signal line and histogram of one bar (NaN where there is no value).",
    fields,
    3,
};

PyTypeObject* values_type = nullptr;

}  // namespace

PyTypeObject* create_macd_values_type() noexcept {
    if (!values_type) values_type = PyStructSequence_NewType(&description);
    if (values_type) Py_INCREF(values_type);
    return values_type;
}

PyObject* make_macd_values(const brindlex::core::stream::MacdValues& v) noexcept {
    PyObject* items[3] = {PyFloat_FromDouble(v.macd), PyFloat_FromDouble(v.signal), PyFloat_FromDouble(v.hist)};
    if (!items[0] || !items[1] || !items[2]) {
        for (PyObject* item : items) Py_XDECREF(item);
        return nullptr;
    }
#if PY_VERSION_HEX < 0x030E0000
    // PyStructSequence_New looks the field counts up in the type's dict, twice per call, which
    // costs more than the rest of a MACD update. A struct sequence with no unnamed or hidden
    // fields is laid out as a tuple of exactly its fields, so it is allocated as that directly.
    // (From 3.14 on a tuple also caches its hash, which only the constructor knows to reset.)
    PyTupleObject* result = PyObject_GC_NewVar(PyTupleObject, values_type, 3);
    if (!result) {
        for (PyObject* item : items) Py_DECREF(item);
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < 3; ++k) result->ob_item[k] = items[k];
    PyObject_GC_Track(result);
    return reinterpret_cast<PyObject*>(result);
#else
    PyObject* result = PyStructSequence_New(values_type);
    if (!result) {
        for (PyObject* item : items) Py_DECREF(item);
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < 3; ++k) PyStructSequence_SET_ITEM(result, k, items[k]);
    return result;
#endif
}

}  // namespace brindlex_stream
