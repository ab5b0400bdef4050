// Finds NumPy's multiarray module for the installed version and takes its C-API table, once.
#include "module/numpy_api.h"

#include <cstddef>
#include <string>

#include "runtime/internal_failure.h"

namespace brindlex::module {
namespace {

using runtime::failure;
using runtime::Owned;
using runtime::PyErr;
using runtime::Result;

enum class DescrLayout : int { unknown = 0, numpy1, numpy2 };

struct NumpyNames {
    std::string core;
    std::string multiarray;
};

OnceValue<const NumpyNames*> names_cell;
OnceValue<void* const*> table_cell;
OnceValue<DescrLayout> layout_cell;

#ifndef Py_GIL_DISABLED
static_assert(offsetof(ArrayObject, flags) == 64);
#endif

Result<Owned> get_attr(PyObject* object, const char* name) noexcept {
    PyObject* value = PyObject_GetAttrString(object, name);
    if (value == nullptr) return failure(runtime::fetch_exception());
    return Owned(value);
}

Result<Owned> call_one(PyObject* callable, PyObject* argument) noexcept {
    PyObject* result = PyObject_CallOneArg(callable, argument);
    if (result == nullptr) return failure(runtime::fetch_exception());
    return Owned(result);
}

// The interpreter's integer conversion, then the range of an unsigned 8-bit integer.
Result<std::uint8_t> to_u8(PyObject* object) noexcept {
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return failure(runtime::fetch_exception());
    if (value < 0 || value > 255)
        return failure(PyErr::overflow_error("out of range integral type conversion attempted"));
    return static_cast<std::uint8_t>(value);
}

Result<std::uint8_t> numpy_major_version() noexcept {
    auto numpy = import_module("numpy");
    if (!numpy) return failure(std::move(numpy.error()));
    auto version = get_attr(numpy->get(), "__version__");
    if (!version) return failure(std::move(version.error()));
    auto lib = import_module("numpy.lib");
    if (!lib) return failure(std::move(lib.error()));
    auto numpy_version = get_attr(lib->get(), "NumpyVersion");
    if (!numpy_version) return failure(std::move(numpy_version.error()));
    auto parsed = call_one(numpy_version->get(), version->get());
    if (!parsed) return failure(std::move(parsed.error()));
    auto major = get_attr(parsed->get(), "major");
    if (!major) return failure(std::move(major.error()));
    return to_u8(major->get());
}

[[gnu::cold, gnu::noinline]] Result<const NumpyNames*> compute_names() noexcept {
    auto major = numpy_major_version();
    if (!major) return failure(std::move(major.error()));
    auto* names = new NumpyNames;
    names->core = *major >= 2 ? "numpy._core" : "numpy.core";
    names->multiarray = names->core + ".multiarray";
    const NumpyNames* winner = names_cell.publish(names);
    if (winner != names) delete names;
    return winner;
}

Result<void* const*> import_table() noexcept {
    auto name = multiarray_module_name();
    if (!name) return failure(std::move(name.error()));
    auto module = import_module(*name);
    if (!module) return failure(std::move(module.error()));
    auto capsule = get_attr(module->get(), "_ARRAY_API");
    if (!capsule) return failure(std::move(capsule.error()));
    if (Py_TYPE(capsule->get()) != &PyCapsule_Type)
        return failure(PyErr::downcast(capsule->get(), "PyCapsule"));
    auto pointer = capsule_pointer(capsule->get());
    if (!pointer) return failure(std::move(pointer.error()));
    // The table lives inside the capsule: its reference is kept for the life of the process,
    // also when another thread's table wins the cell.
    (void)capsule->release();
    return static_cast<void* const*>(*pointer);
}

[[noreturn, gnu::cold]] void fail_numpy_api(PyErr error) noexcept {
    runtime::internal_failure("Failed to access NumPy array API capsule: " + error.debug());
}

[[gnu::cold, gnu::noinline]] void* const* import_table_or_fail() noexcept {
    auto slots = import_table();
    if (!slots) fail_numpy_api(std::move(slots.error()));
    return table_cell.publish(*slots);
}

[[gnu::cold, gnu::noinline]] DescrLayout read_layout() noexcept {
    DescrLayout layout = numpy_api().feature_version() >= 18 ? DescrLayout::numpy2 : DescrLayout::numpy1;
    return layout_cell.publish(layout);
}

}  // namespace

Result<Owned> import_module(std::string_view name) noexcept {
    Owned text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!text) return failure(runtime::fetch_exception());
    PyObject* module = PyImport_Import(text.get());
    if (module == nullptr) return failure(runtime::fetch_exception());
    return Owned(module);
}

Result<void*> capsule_pointer(PyObject* capsule) noexcept {
    const char* name = PyCapsule_GetName(capsule);
    if (name == nullptr) PyErr_Clear();
    void* pointer = PyCapsule_GetPointer(capsule, name);
    // The reason is kept (rather than cleared) because a missing pointer ends in a report.
    if (pointer == nullptr) return failure(runtime::fetch_exception());
    return pointer;
}

Result<std::string_view> multiarray_module_name() noexcept {
    const NumpyNames* names = names_cell.get();
    if (names == nullptr) {
        auto computed = compute_names();
        if (!computed) return failure(std::move(computed.error()));
        names = *computed;
    }
    return std::string_view(names->multiarray);
}

NumpyApiTable numpy_api() noexcept {
    if (void* const* slots = table_cell.get()) return NumpyApiTable(slots);
    return NumpyApiTable(import_table_or_fail());
}

std::int64_t element_size(PyObject* descr) noexcept {
    DescrLayout layout = layout_cell.get();
    if (layout == DescrLayout::unknown) layout = read_layout();
    return element_size_in_layout(descr, layout == DescrLayout::numpy2);
}

}  // namespace brindlex::module
