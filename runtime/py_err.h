// Exception values: every fallible operation returns its result or a PyErr, raised only at the exit.
#pragma once

#include <Python.h>

#include <expected>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

namespace brindlex::runtime {

struct PyErrState;  // the guard, the deferred or normalized inner state and the once-flag

// A one-shot recipe for an exception, run with the interpreter lock held when the value is raised
// or inspected. `make` returns (type, argument) as new references, or leaves them null and fails
// through fail_after_interpreter_error.
struct ExceptionBuilder {
    enum class Kind {
        message,   // `type` built with `text` as its str argument
        downcast,  // TypeError "'<qualname of source_type>' object cannot be converted to '<text>'"
        custom,    // `custom` produces the pair itself (tests use it for a non-class type)
    };
    Kind kind = Kind::message;
    PyObject* type = nullptr;         // borrowed static exception class (PyExc_ValueError, ...)
    PyObject* source_type = nullptr;  // owned, for downcast
    std::string text;
    void (*custom)(PyObject** type, PyObject** argument) = nullptr;
};

class PyErr {
public:
    // Deferred values (no interpreter call until raised or inspected).
    static PyErr defer(ExceptionBuilder builder) noexcept;
    static PyErr value_error(std::string_view message) noexcept;
    static PyErr type_error(std::string message) noexcept;
    static PyErr import_error(std::string message) noexcept;
    static PyErr overflow_error(std::string message) noexcept;
    // SystemError "attempted to fetch exception but none was set".
    static PyErr none_set() noexcept;
    // The conversion-failure TypeError; holds a reference to the object's type.
    static PyErr downcast(PyObject* object, std::string_view target) noexcept;
    // Normalized from an instance the caller owns.
    static PyErr from_instance(PyObject* steal) noexcept;

    PyErr(PyErr&&) noexcept;
    PyErr& operator=(PyErr&&) noexcept;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr();

    // exception_instance: the instance, normalising first if needed (borrowed from the value).
    PyObject* instance() noexcept;
    // raise_exception_value: consumes the value and sets it as the interpreter's exception.
    void raise() && noexcept;
    // The debug form, for internal-failure reports only; takes the lock itself.
    std::string debug() noexcept;

private:
    explicit PyErr(std::unique_ptr<PyErrState> state) noexcept;
    std::unique_ptr<PyErrState> state_;
};

template <class T>
using Result = std::expected<T, PyErr>;
using Status = std::expected<void, PyErr>;

inline std::unexpected<PyErr> failure(PyErr error) noexcept { return std::unexpected(std::move(error)); }

// The interpreter's current exception (indicator cleared), or nothing when none is set.
std::optional<PyErr> current_exception() noexcept;
// current_exception, or the SystemError "attempted to fetch exception but none was set".
PyErr fetch_exception() noexcept;

// For an interpreter call that must not fail but did: PyErr_Print, then the internal failure
// "Python API call failed".
[[noreturn]] void fail_after_interpreter_error(
    std::source_location where = std::source_location::current()) noexcept;

}  // namespace brindlex::runtime
