// Periods: any Python integer (or object with __index__) from 0 to 2^64 - 1.
#include "period.h"

#include "runtime/owned.h"

namespace brindlex::module {

runtime::Result<std::uint64_t> extract_period(PyObject* object) noexcept {
    // A small non-negative int, the usual period, is read in place: the conversion below would
    // give the same value, at the cost of a call and its error checks.
    if (PyLong_CheckExact(object) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
        const Py_ssize_t small = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
        if (small >= 0) return static_cast<std::uint64_t>(small);
    }
    unsigned long long value;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        runtime::Owned index(PyNumber_Index(object));
        if (!index) return runtime::failure(runtime::fetch_exception());
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    // All ones is also how the conversion reports failure; only a pending error tells them apart.
    if (value == static_cast<unsigned long long>(-1)) {
        if (auto error = runtime::current_exception()) return runtime::failure(std::move(*error));
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace brindlex::module
