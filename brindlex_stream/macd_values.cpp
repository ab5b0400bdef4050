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
    PyObject* result = PyStructSequence_New(values_type);
    if (!result) return nullptr;
    const double items[] = {v.macd, v.signal, v.hist};
    for (Py_ssize_t k = 0; k < 3; ++k) {
        PyObject* item = PyFloat_FromDouble(items[k]);
        if (!item) {
            Py_DECREF(result);
            return nullptr;
        }
        PyStructSequence_SET_ITEM(result, k, item);
    }
    return result;
}

}  // namespace brindlex_stream
