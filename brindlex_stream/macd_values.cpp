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

constexpr Py_ssize_t field_count = 3;

PyStructSequence_Desc description = {
    "brindlex_stream._native.MacdValues",
    "MACD line, signal line and histogram of one bar (NaN where there is no value).",
    fields,
    field_count,
};

PyTypeObject* values_type = nullptr;

// The last result handed out. A caller that has dropped it (the usual loop does, or unpacks it)
// leaves it to this reference alone, and the next result is written into it instead of being
// allocated: nobody else can see the change.
PyObject* spare = nullptr;

PyObject** items_of(PyObject* values) noexcept { return reinterpret_cast<PyTupleObject*>(values)->ob_item; }

// The struct sequence's own deallocator looks the field counts up in the type's dict, which costs
// more than the rest of a MACD update. Every MacdValues holds exactly its three fields (there are
// no unnamed or hidden ones), so that is known here.
void deallocate(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    for (Py_ssize_t k = 0; k < field_count; ++k) Py_XDECREF(items_of(self)[k]);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// A new MacdValues holding the three floats, or null with an exception set; takes the floats'
// references either way. Not tracked by the garbage collector: it holds only floats, so it can
// never be part of a cycle (as CPython itself untracks such tuples), and a loop that keeps its
// results then does not make every collection walk them.
PyObject* allocate(PyObject* (&items)[field_count]) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    // PyStructSequence_New looks the field counts up in the type's dict, twice per call. A struct
    // sequence with no unnamed or hidden fields is laid out as a tuple of exactly its fields, so
    // it is allocated as that directly.
    PyObject* result = reinterpret_cast<PyObject*>(PyObject_GC_NewVar(PyTupleObject, values_type, field_count));
#else
    // From 3.14 on a tuple also caches its hash, which only the constructor knows to reset.
    PyObject* result = PyStructSequence_New(values_type);
    if (result) PyObject_GC_UnTrack(result);
#endif
    if (!result) {
        for (PyObject* item : items) Py_DECREF(item);
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < field_count; ++k) items_of(result)[k] = items[k];
    return result;
}

// The spare's floats, some held elsewhere too: each float that nobody else holds is overwritten,
// any other is replaced (its other holder keeps it). False, with nothing changed, when a float
// cannot be made.
[[gnu::noinline]] bool refill_shared(PyObject** items, const double (&values)[field_count]) noexcept {
    PyObject* fresh[field_count] = {};
    for (Py_ssize_t k = 0; k < field_count; ++k) {
        if (Py_REFCNT(items[k]) == 1) continue;
        fresh[k] = PyFloat_FromDouble(values[k]);
        if (!fresh[k]) {
            for (PyObject* made : fresh) Py_XDECREF(made);
            PyErr_Clear();  // the caller allocates instead, and reports a failure of its own
            return false;
        }
    }
    for (Py_ssize_t k = 0; k < field_count; ++k) {
        if (fresh[k]) {
            Py_SETREF(items[k], fresh[k]);
        } else {
            reinterpret_cast<PyFloatObject*>(items[k])->ob_fval = values[k];
        }
    }
    return true;
}

// Writes `v` into the spare when only this module holds it. False, with nothing changed,
// when the spare is in use or a float cannot be made.
bool refill_spare(const brindlex::core::stream::MacdValues& v) noexcept {
#ifdef Py_GIL_DISABLED
    constexpr bool single_threaded = false;  // another thread could take a reference meanwhile
#else
    constexpr bool single_threaded = true;
#endif
    if (!single_threaded || !spare || Py_REFCNT(spare) != 1) return false;
    const double values[field_count] = {v.macd, v.signal, v.hist};
    PyObject** items = items_of(spare);
    // The usual case, the result dropped whole: three stores.
    if (Py_REFCNT(items[0]) == 1 && Py_REFCNT(items[1]) == 1 && Py_REFCNT(items[2]) == 1) {
        for (Py_ssize_t k = 0; k < field_count; ++k) reinterpret_cast<PyFloatObject*>(items[k])->ob_fval = values[k];
    } else if (!refill_shared(items, values)) {  // unpacked into names that still hold the floats
        return false;
    }
#if PY_VERSION_HEX >= 0x030E0000
    reinterpret_cast<PyTupleObject*>(spare)->ob_hash = -1;
#endif
    return true;
}

}  // namespace

PyTypeObject* create_macd_values_type() noexcept {
    if (!values_type) {
        values_type = PyStructSequence_NewType(&description);
        if (!values_type) return nullptr;
        values_type->tp_dealloc = deallocate;  // before any instance exists
    }
    Py_INCREF(values_type);
    return values_type;
}

PyObject* make_macd_values(const brindlex::core::stream::MacdValues& v) noexcept {
    if (refill_spare(v)) return Py_NewRef(spare);
    PyObject* items[field_count] = {PyFloat_FromDouble(v.macd), PyFloat_FromDouble(v.signal),
                                    PyFloat_FromDouble(v.hist)};
    if (!items[0] || !items[1] || !items[2]) {
        for (PyObject* item : items) Py_XDECREF(item);
        return nullptr;
    }
    PyObject* result = allocate(items);
    if (result) Py_XSETREF(spare, Py_NewRef(result));
    return result;
}

}  // namespace brindlex_stream
