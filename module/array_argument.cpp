// Converts array arguments: the float64-vector test, the shared borrow of inputs, and views.
#include "module/array_argument.h"

#include <string>

#include "module/argument_error.h"
#include "module/numpy_api.h"
#include "runtime/internal_failure.h"
#include "runtime/once_cell.h"

namespace brindlex::module {
namespace {

using runtime::failure;
using runtime::Owned;
using runtime::PyErr;
using runtime::Result;

constexpr std::string_view array_target = "PyArray<T, D>";

[[gnu::cold, gnu::noinline]] PyErr not_a_float64_vector(PyObject* object, std::string_view name) noexcept {
    return prefix_argument_error(name, PyErr::downcast(object, array_target));
}

// Not a TypeError, so it carries the parameter's name itself.
[[gnu::cold, gnu::noinline]] PyErr borrowed_elsewhere(std::string_view name) noexcept {
    std::string message = "argument '";
    message += name;
    message += "': the array is borrowed for writing by other native code";
    return PyErr::defer(runtime::ExceptionBuilder{runtime::ExceptionBuilder::Kind::message,
                                                  PyExc_BufferError, nullptr, std::move(message)});
}

[[noreturn, gnu::cold]] void fail_unexpected_code(int code) noexcept {
    runtime::internal_failure("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

// NumPy's own float64 descriptor, fetched once: it is one object for the life of the process, so
// an array that carries it passes without a call into NumPy on every conversion.
runtime::OnceCell native_float64;

PyObject* float64_descriptor(NumpyApiTable table) noexcept {
    return native_float64.get_or_init([table] {
        PyObject* float64 = table.descr_from_type(npy_double);
        if (float64 == nullptr) runtime::fail_after_interpreter_error();
        return float64;
    });
}

// Any other descriptor is compared as NumPy compares them, with a reference to each for as long
// as it is compared.
bool has_float64_elements(NumpyApiTable table, PyObject* array) noexcept {
    PyObject* descr = array_fields(array)->descr;
    if (descr == nullptr) runtime::fail_after_interpreter_error();
    if (descr == float64_descriptor(table)) return true;
    Py_INCREF(descr);
    PyObject* float64 = table.descr_from_type(npy_double);
    if (float64 == nullptr) {
        Py_DECREF(descr);
        runtime::fail_after_interpreter_error();
    }
    bool equivalent = descr == float64 || table.equiv_types(descr, float64);
    Py_DECREF(float64);
    Py_DECREF(descr);
    return equivalent;
}

}  // namespace

[[gnu::cold]] void fail_not_vector(int nd) noexcept {
    runtime::internal_failure("vector_view of an array with " + std::to_string(nd) + " dimensions");
}

bool is_float64_vector(PyObject* object) noexcept {
    NumpyApiTable table = numpy_api();
    if (!table.is_array(object)) return false;
    if (array_fields(object)->nd != 1) return false;
    return has_float64_elements(table, object);
}

bool is_exact_ndarray(PyObject* object) noexcept {
    return Py_TYPE(object) == numpy_api().array_type();
}

InputArray::InputArray(InputArray&& other) noexcept
    : array_(std::move(other.array_)), api_(std::exchange(other.api_, nullptr)), borrow_(other.borrow_) {}

InputArray& InputArray::operator=(InputArray&& other) noexcept {
    if (this != &other) {
        end_borrow();
        array_ = std::move(other.array_);
        api_ = std::exchange(other.api_, nullptr);
        borrow_ = other.borrow_;
    }
    return *this;
}

InputArray::~InputArray() { end_borrow(); }

void InputArray::end_borrow() noexcept {
    if (array_) end_shared_borrow(*api_, array_.get(), borrow_);
    array_.reset(nullptr);
}

Result<InputArray> extract_input_array(PyObject* object, std::string_view name) noexcept {
    if (!is_float64_vector(object)) return failure(not_a_float64_vector(object, name));
    Owned array = Owned::borrow(object);
    const BorrowApi& api = borrow_api();
    SharedBorrow borrow;
    int code = take_shared_borrow(api, array.get(), borrow);
    if (code == borrow_granted) return InputArray(std::move(array), &api, borrow);
    if (code == already_borrowed) return failure(borrowed_elsewhere(name));
    fail_unexpected_code(code);
}

Result<OutputArray> extract_output_array(PyObject* object, std::string_view name) noexcept {
    if (!is_float64_vector(object)) return failure(not_a_float64_vector(object, name));
    return OutputArray(object);
}

}  // namespace brindlex::module
