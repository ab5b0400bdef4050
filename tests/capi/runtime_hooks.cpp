// Test hooks that expose the interpreter-boundary runtime to the Python tests.
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hooks.h"
#include "runtime/deferred_release.h"
#include "runtime/internal_failure.h"
#include "runtime/lock_depth.h"
#include "runtime/object_text.h"
#include "runtime/owned.h"
#include "runtime/panic_exception.h"
#include "runtime/py_err.h"

namespace brindlex::testing {
namespace {

using runtime::Owned;
using runtime::PyErr;

// The bookkeeping of a real entry point: the interpreter holds the lock for the call.
struct Held {
    Held() noexcept { runtime::enter_held(); }
    ~Held() { runtime::leave_held(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
};

PyObject* as_bool(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }

// --- lock depth -------------------------------------------------------------------------------

PyObject* lock_depth(PyObject*, PyObject*) noexcept { return PyLong_FromLongLong(runtime::lock_depth()); }

PyObject* call_held(PyObject*, PyObject* callable) noexcept {
    Held held;
    return PyObject_CallNoArgs(callable);
}

// Lowers the depth without a matching raise, to reach the negative-depth failures.
PyObject* leave_unmatched(PyObject*, PyObject*) noexcept {
    runtime::leave_held();
    Py_RETURN_NONE;
}

PyObject* guarded_call(PyObject*, PyObject* callable) noexcept {
    const runtime::AcquireMode mode = runtime::guarded_acquire();
    PyObject* result = PyObject_CallNoArgs(callable);
    runtime::guarded_release(mode);
    if (result == nullptr) return nullptr;
    return Py_BuildValue("(NN)", as_bool(mode.already_held), result);
}

std::atomic<bool> signal_seen{false};

PyObject* send_signal(PyObject*, PyObject*) noexcept {
    signal_seen.store(true);
    Py_RETURN_NONE;
}

// Only another Python thread can set the flag, and only while nobody holds the lock for us.
bool other_thread_runs_meanwhile() noexcept {
    signal_seen.store(false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!signal_seen.load()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Inside an allow-threads section: the guarded acquire must take the lock for real, and its
// release must give it away again while the section goes on.
PyObject* guarded_call_in_allow_threads(PyObject*, PyObject* callable) noexcept {
    Held held;
    const runtime::AllowThreads section = runtime::begin_allow_threads();
    const runtime::AcquireMode mode = runtime::guarded_acquire();
    PyObject* result = PyObject_CallNoArgs(callable);
    runtime::guarded_release(mode);
    const bool ran = other_thread_runs_meanwhile();
    runtime::end_allow_threads(section);
    if (result == nullptr) return nullptr;
    return Py_BuildValue("(NNN)", as_bool(mode.already_held), result, as_bool(ran));
}

PyObject* depth_in_allow_threads(PyObject*, PyObject*) noexcept {
    Held held;
    const runtime::AllowThreads section = runtime::begin_allow_threads();
    const std::int64_t inside = runtime::lock_depth();
    runtime::end_allow_threads(section);
    return Py_BuildValue("(LL)", static_cast<long long>(inside),
                         static_cast<long long>(runtime::lock_depth()));
}

// --- deferred releases ------------------------------------------------------------------------

PyObject* pool_exists(PyObject*, PyObject*) noexcept { return as_bool(runtime::deferred_pool_exists()); }

std::vector<PyObject*> new_references(PyObject* args) noexcept {
    std::vector<PyObject*> objects;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        objects.push_back(Py_NewRef(PyTuple_GET_ITEM(args, i)));
    }
    return objects;
}

// A thread the interpreter knows nothing of gives up references: they can only be queued.
PyObject* release_from_native_thread(PyObject*, PyObject* args) noexcept {
    std::vector<PyObject*> objects = new_references(args);
    std::thread worker([&objects] {
        for (PyObject* object : objects) runtime::release_reference(object);
    });
    worker.join();
    Py_RETURN_NONE;
}

PyObject* release_in_allow_threads(PyObject*, PyObject* args) noexcept {
    Held held;
    std::vector<PyObject*> objects = new_references(args);
    const runtime::AllowThreads section = runtime::begin_allow_threads();
    for (PyObject* object : objects) runtime::release_reference(object);
    runtime::end_allow_threads(section);
    Py_RETURN_NONE;
}

// Gives up references the caller never took: only harmless for immortal objects.
PyObject* release_unowned(PyObject*, PyObject* args) noexcept {
    PyObject* object = nullptr;
    int count = 0;
    if (!PyArg_ParseTuple(args, "Oi", &object, &count)) return nullptr;
    Held held;
    for (int i = 0; i < count; ++i) runtime::release_reference(object);
    Py_RETURN_NONE;
}

PyObject* enter_and_leave(PyObject*, PyObject*) noexcept {
    Held held;
    Py_RETURN_NONE;
}

// --- exception values -------------------------------------------------------------------------

constexpr const char* capsule_name = "brindlex.PyErr";

void destroy_error(PyObject* capsule) noexcept {
    Held held;
    delete static_cast<PyErr*>(PyCapsule_GetPointer(capsule, capsule_name));
}

PyObject* wrap(PyErr error) noexcept {
    return PyCapsule_New(new PyErr(std::move(error)), capsule_name, destroy_error);
}

PyErr* unwrap(PyObject* capsule) noexcept {
    return static_cast<PyErr*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// The builder of err_custom(): returns whatever pair the Python callable gives.
PyObject* builder_callable = nullptr;

void call_python_builder(PyObject** type, PyObject** argument) noexcept {
    Owned pair(PyObject_CallNoArgs(builder_callable));
    if (!pair || !PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        runtime::fail_after_interpreter_error();
    }
    *type = Py_NewRef(PyTuple_GET_ITEM(pair.get(), 0));
    *argument = Py_NewRef(PyTuple_GET_ITEM(pair.get(), 1));
}

PyObject* set_builder(PyObject*, PyObject* callable) noexcept {
    Py_XSETREF(builder_callable, Py_NewRef(callable));
    Py_RETURN_NONE;
}

PyObject* err_custom(PyObject*, PyObject*) noexcept {
    runtime::ExceptionBuilder builder;
    builder.kind = runtime::ExceptionBuilder::Kind::custom;
    builder.custom = call_python_builder;
    return wrap(PyErr::defer(std::move(builder)));
}

std::optional<PyErr> message_error(std::string_view kind, std::string text) noexcept {
    if (kind == "value") return PyErr::value_error(text);
    if (kind == "type") return PyErr::type_error(std::move(text));
    if (kind == "import") return PyErr::import_error(std::move(text));
    if (kind == "overflow") return PyErr::overflow_error(std::move(text));
    if (kind == "none_set") return PyErr::none_set();
    return std::nullopt;
}

PyObject* err_message(PyObject*, PyObject* args) noexcept {
    const char* kind = nullptr;
    const char* text = nullptr;
    if (!PyArg_ParseTuple(args, "ss", &kind, &text)) return nullptr;
    std::optional<PyErr> error = message_error(kind, text);
    if (!error) {
        PyErr_SetString(PyExc_ValueError, "unknown builder kind");
        return nullptr;
    }
    return wrap(std::move(*error));
}

PyObject* err_downcast(PyObject*, PyObject* args) noexcept {
    PyObject* object = nullptr;
    const char* target = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &object, &target)) return nullptr;
    return wrap(PyErr::downcast(object, target));
}

PyObject* err_from_instance(PyObject*, PyObject* exception) noexcept {
    return wrap(PyErr::from_instance(Py_NewRef(exception)));
}

PyObject* err_fetch(PyObject*, PyObject*) noexcept {
    Held held;
    return wrap(runtime::fetch_exception());
}

// Calls `callable` and takes what it raised: (value or None, whether the indicator is still set).
PyObject* err_take(PyObject*, PyObject* callable) noexcept {
    Held held;
    Owned result(PyObject_CallNoArgs(callable));
    std::optional<PyErr> taken = runtime::current_exception();
    const bool still_set = PyErr_Occurred() != nullptr;
    PyObject* value = taken ? wrap(std::move(*taken)) : Py_NewRef(Py_None);
    return Py_BuildValue("(NN)", value, as_bool(still_set));
}

PyObject* err_instance(PyObject*, PyObject* capsule) noexcept {
    PyErr* error = unwrap(capsule);
    if (error == nullptr) return nullptr;
    Held held;
    return Py_NewRef(error->instance());
}

PyObject* err_raise(PyObject*, PyObject* capsule) noexcept {
    PyErr* error = unwrap(capsule);
    if (error == nullptr) return nullptr;
    Held held;
    std::move(*error).raise();
    return nullptr;
}

PyObject* text_object(const std::string& text) noexcept {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// At depth 0 with the lock held, as Python code calls it.
PyObject* err_debug(PyObject*, PyObject* capsule) noexcept {
    PyErr* error = unwrap(capsule);
    if (error == nullptr) return nullptr;
    return text_object(error->debug());
}

// From inside an allow-threads section: the debug form takes the lock itself.
PyObject* err_debug_without_lock(PyObject*, PyObject* capsule) noexcept {
    PyErr* error = unwrap(capsule);
    if (error == nullptr) return nullptr;
    Held held;
    const runtime::AllowThreads section = runtime::begin_allow_threads();
    std::string text = error->debug();
    runtime::end_allow_threads(section);
    return text_object(text);
}

// --- text forms -------------------------------------------------------------------------------

PyObject* str_text(PyObject*, PyObject* object) noexcept {
    Held held;
    return text_object(runtime::str_text(object));
}

PyObject* repr_text(PyObject*, PyObject* object) noexcept {
    Held held;
    return text_object(runtime::repr_text(object));
}

PyObject* lossy_text(PyObject*, PyObject* text) noexcept {
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "lossy_text needs a str");
        return nullptr;
    }
    Held held;
    return text_object(runtime::lossy_text(text));
}

PyObject* lossy_utf8(PyObject*, PyObject* bytes) noexcept {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return nullptr;
    return text_object(runtime::replace_invalid_utf8(std::string_view(data, static_cast<std::size_t>(size))));
}

// --- panic exception and internal failures ----------------------------------------------------

PyObject* panic_type(PyObject*, PyObject*) noexcept {
    Held held;
    return Py_NewRef(runtime::panic_exception_type());
}

PyObject* internal_failure(PyObject*, PyObject* message) noexcept {
    Held held;
    runtime::internal_failure(runtime::str_text(message));
}

PyObject* fail_after_error(PyObject*, PyObject* callable) noexcept {
    Held held;
    PyObject* result = PyObject_CallNoArgs(callable);
    if (result == nullptr) runtime::fail_after_interpreter_error();
    return result;
}

// --- calls the interpreter's syntax cannot make ----------------------------------------------

// vectorcall(callable, values, kwnames): PyObject_Vectorcall with the values as the argument vector
// and kwnames (a tuple naming the last len(kwnames) values, or None), so that a keyword may be
// repeated or be a str no call syntax accepts.
PyObject* vectorcall(PyObject*, PyObject* args) noexcept {
    PyObject *callable, *values, *kwnames;
    if (!PyArg_ParseTuple(args, "OO!O", &callable, &PyTuple_Type, &values, &kwnames)) return nullptr;
    if (kwnames == Py_None) kwnames = nullptr;
    if (kwnames != nullptr && (!PyTuple_Check(kwnames) || PyTuple_GET_SIZE(kwnames) > PyTuple_GET_SIZE(values))) {
        PyErr_SetString(PyExc_ValueError, "kwnames must be a tuple naming the last values");
        return nullptr;
    }
    Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    std::vector<PyObject*> vector(static_cast<std::size_t>(PyTuple_GET_SIZE(values)) + 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values); ++i) vector[static_cast<std::size_t>(i) + 1] = PyTuple_GET_ITEM(values, i);
    // The slot before the arguments lets the callee borrow it, as the offset flag allows.
    return PyObject_Vectorcall(callable, vector.data() + 1,
                               static_cast<std::size_t>(PyTuple_GET_SIZE(values) - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               kwnames);
}

}  // namespace

PyMethodDef runtime_hooks[] = {
    {"lock_depth", lock_depth, METH_NOARGS, nullptr},
    {"call_held", call_held, METH_O, nullptr},
    {"leave_unmatched", leave_unmatched, METH_NOARGS, nullptr},
    {"guarded_call", guarded_call, METH_O, nullptr},
    {"guarded_call_in_allow_threads", guarded_call_in_allow_threads, METH_O, nullptr},
    {"send_signal", send_signal, METH_NOARGS, nullptr},
    {"depth_in_allow_threads", depth_in_allow_threads, METH_NOARGS, nullptr},
    {"pool_exists", pool_exists, METH_NOARGS, nullptr},
    {"release_from_native_thread", release_from_native_thread, METH_VARARGS, nullptr},
    {"release_in_allow_threads", release_in_allow_threads, METH_VARARGS, nullptr},
    {"release_unowned", release_unowned, METH_VARARGS, nullptr},
    {"enter_and_leave", enter_and_leave, METH_NOARGS, nullptr},
    {"set_builder", set_builder, METH_O, nullptr},
    {"err_custom", err_custom, METH_NOARGS, nullptr},
    {"err_message", err_message, METH_VARARGS, nullptr},
    {"err_downcast", err_downcast, METH_VARARGS, nullptr},
    {"err_from_instance", err_from_instance, METH_O, nullptr},
    {"err_fetch", err_fetch, METH_NOARGS, nullptr},
    {"err_take", err_take, METH_O, nullptr},
    {"err_instance", err_instance, METH_O, nullptr},
    {"err_raise", err_raise, METH_O, nullptr},
    {"err_debug", err_debug, METH_O, nullptr},
    {"err_debug_without_lock", err_debug_without_lock, METH_O, nullptr},
    {"str_text", str_text, METH_O, nullptr},
    {"repr_text", repr_text, METH_O, nullptr},
    {"lossy_text", lossy_text, METH_O, nullptr},
    {"lossy_utf8", lossy_utf8, METH_O, nullptr},
    {"panic_type", panic_type, METH_NOARGS, nullptr},
    {"internal_failure", internal_failure, METH_O, nullptr},
    {"fail_after_error", fail_after_error, METH_O, nullptr},
    {"vectorcall", vectorcall, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace brindlex::testing
