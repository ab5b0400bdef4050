// Periods: any Python integer (or object with __index__) from 0 to 2^64 - 1.
#include "period.h"

#include "runtime/owned.h"

namespace brindlex::module {

runtime::Result<std::uint64_t> extract_period(PyObject* object) noexcept {
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
