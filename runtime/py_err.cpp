// Exception values: builders, normalisation, raising and taking exceptions, and the debug form.
#include "runtime/py_err.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>

#include "runtime/deferred_release.h"
#include "runtime/internal_failure.h"
#include "runtime/lock_depth.h"
#include "runtime/object_text.h"
#include "runtime/owned.h"
#include "runtime/panic_exception.h"

namespace brindlex::runtime {

struct PyErrState {
    struct Normalized {
        PyObject* instance;  // strong reference
    };
    using Inner = std::variant<ExceptionBuilder, Normalized>;

    // A once-flag whose completion can be read without running it: the normalised fast path is
    // one acquire load.
    class OnceFlag {
    public:
        bool completed() const noexcept { return done_.load(std::memory_order_acquire); }
        void mark_completed() noexcept { done_.store(true, std::memory_order_release); }
        // Runs `init` unless it has run; a second caller blocks until the first has finished.
        template <class F>
        void call(F&& init) noexcept {
            std::lock_guard lock(mutex_);
            if (done_.load(std::memory_order_relaxed)) return;
            init();
            done_.store(true, std::memory_order_release);
        }

    private:
        std::atomic<bool> done_{false};
        std::mutex mutex_;
    };

    PyErrState() noexcept = default;
    PyErrState(const PyErrState&) = delete;
    PyErrState& operator=(const PyErrState&) = delete;
    ~PyErrState();

    std::mutex guard;                               // protects normalizing_thread only
    std::optional<std::thread::id> normalizing_thread;
    std::optional<Inner> inner;                     // absent only while being normalised
    OnceFlag normalized;
};

namespace {

constexpr std::string_view invalid_state_message =
    "PyErr state should never be invalid outside of normalization";
constexpr std::string_view failed_type_name = "<failed to extract type name>";

struct BuiltException {
    PyObject* type;
    PyObject* argument;
};

// Both halves of a pair a builder produced, and the builder's captured type, are given up through
// release_reference so that dropping is safe wherever it happens.
void drop_builder(ExceptionBuilder& builder) noexcept {
    release_reference(std::exchange(builder.source_type, nullptr));
}

// Errors inside the fallback paths are not worth reporting: the fixed texts stand in for them.
void drop_current_error() noexcept { PyErr_Clear(); }

PyObject* message_object(std::string_view text) noexcept {
    PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (message == nullptr) fail_after_interpreter_error();
    return message;
}

std::string qualified_type_name(PyObject* type) noexcept {
    Owned name(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (!name) {
        drop_current_error();
        return std::string(failed_type_name);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) {
        drop_current_error();
        return std::string(failed_type_name);
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string downcast_message(const ExceptionBuilder& builder) noexcept {
    std::string text = "'";
    text += qualified_type_name(builder.source_type);
    text += "' object cannot be converted to '";
    text += builder.text;
    text += "'";
    return text;
}

BuiltException run_builder(const ExceptionBuilder& builder) noexcept {
    switch (builder.kind) {
        case ExceptionBuilder::Kind::message:
            return {Py_NewRef(builder.type), message_object(builder.text)};
        case ExceptionBuilder::Kind::downcast:
            return {Py_NewRef(PyExc_TypeError), message_object(downcast_message(builder))};
        case ExceptionBuilder::Kind::custom:
            break;
    }
    BuiltException built{nullptr, nullptr};
    builder.custom(&built.type, &built.argument);
    return built;
}

// The metatype must be a type subclass and the type itself a BaseException subclass.
bool is_exception_class(PyObject* type) noexcept {
    return type != nullptr && PyExceptionClass_Check(type);
}

// Consumes the builder: it runs once and its storage goes right after the call.
void raise_deferred(ExceptionBuilder& builder) noexcept {
    const BuiltException built = run_builder(builder);
    drop_builder(builder);
    if (is_exception_class(built.type)) {
        PyErr_SetObject(built.type, built.argument);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    release_reference(built.argument);
    release_reference(built.type);
}

std::unique_ptr<PyErrState> new_state(PyErrState::Inner inner) noexcept {
    auto state = std::make_unique<PyErrState>();
    state->inner.emplace(std::move(inner));
    return state;
}

PyObject* normalized_instance(PyErrState& state) noexcept {
    PyErrState::Normalized* normalized =
        state.inner ? std::get_if<PyErrState::Normalized>(&*state.inner) : nullptr;
    if (normalized == nullptr) internal_failure(invalid_state_message);
    return normalized->instance;
}

void check_not_reentrant(PyErrState& state) noexcept {
    bool reentrant = false;
    {
        std::lock_guard lock(state.guard);
        reentrant = state.normalizing_thread == std::this_thread::get_id();
    }
    if (reentrant) internal_failure("Re-entrant normalization of PyErrState detected");
}

// Runs inside the once-flag, with the interpreter lock given away by the caller: the lock is
// taken here for real (the depth reads 0) and given back before the flag opens for waiters.
void normalize(PyErrState& state) noexcept {
    {
        std::lock_guard lock(state.guard);
        state.normalizing_thread = std::this_thread::get_id();
    }
    if (!state.inner) internal_failure("Cannot normalize a PyErr while already normalizing it.");
    PyErrState::Inner inner = std::move(*state.inner);
    state.inner.reset();

    const AcquireMode mode = guarded_acquire();
    PyObject* instance = nullptr;
    if (auto* builder = std::get_if<ExceptionBuilder>(&inner)) {
        raise_deferred(*builder);
        instance = PyErr_GetRaisedException();
        if (instance == nullptr) internal_failure("exception missing after writing to the interpreter");
    } else {
        instance = std::get_if<PyErrState::Normalized>(&inner)->instance;
    }
    guarded_release(mode);
    state.inner.emplace(PyErrState::Normalized{instance});
}

PyErr deferred_message(PyObject* type, std::string text) noexcept {
    ExceptionBuilder builder;
    builder.kind = ExceptionBuilder::Kind::message;
    builder.type = type;
    builder.text = std::move(text);
    return PyErr::defer(std::move(builder));
}

// --- the debug form ----------------------------------------------------------------------------

// Written only inside failure reports: the quoting keeps a multi-line traceback on one field.
std::string quoted(std::string_view text) noexcept {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    out += '"';
    return out;
}

std::string traceback_field(PyObject* instance) noexcept {
    Owned traceback(PyException_GetTraceback(instance));
    if (!traceback) return "None";
    return quoted(traceback_text(traceback.get()));
}

// --- taking exceptions out of the interpreter -------------------------------------------------

std::string panic_message(PyObject* exception) noexcept {
    Owned text(PyObject_Str(exception));
    if (!text) {
        drop_current_error();
        return "Unwrapped panic from Python code";
    }
    return lossy_text(text.get());
}

[[noreturn, gnu::noinline, gnu::cold]] void resume_panic(PyObject* exception) noexcept {
    std::string message = panic_message(exception);
    resume_from_python(exception, std::move(message));
}

}  // namespace

PyErrState::~PyErrState() {
    if (!inner) return;
    if (auto* builder = std::get_if<ExceptionBuilder>(&*inner)) {
        drop_builder(*builder);
    } else if (auto* normalized = std::get_if<Normalized>(&*inner)) {
        release_reference(normalized->instance);
    }
}

PyErr::PyErr(std::unique_ptr<PyErrState> state) noexcept : state_(std::move(state)) {}
PyErr::PyErr(PyErr&&) noexcept = default;
PyErr& PyErr::operator=(PyErr&&) noexcept = default;
PyErr::~PyErr() = default;

PyErr PyErr::defer(ExceptionBuilder builder) noexcept {
    return PyErr(new_state(PyErrState::Inner(std::in_place_type<ExceptionBuilder>, std::move(builder))));
}

PyErr PyErr::value_error(std::string_view message) noexcept {
    return deferred_message(PyExc_ValueError, std::string(message));
}

PyErr PyErr::type_error(std::string message) noexcept {
    return deferred_message(PyExc_TypeError, std::move(message));
}

PyErr PyErr::import_error(std::string message) noexcept {
    return deferred_message(PyExc_ImportError, std::move(message));
}

PyErr PyErr::overflow_error(std::string message) noexcept {
    return deferred_message(PyExc_OverflowError, std::move(message));
}

PyErr PyErr::none_set() noexcept {
    return deferred_message(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyErr PyErr::downcast(PyObject* object, std::string_view target) noexcept {
    ExceptionBuilder builder;
    builder.kind = ExceptionBuilder::Kind::downcast;
    builder.source_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    builder.text = std::string(target);
    return defer(std::move(builder));
}

PyErr PyErr::from_instance(PyObject* steal) noexcept {
    PyErr error(new_state(PyErrState::Inner(PyErrState::Normalized{steal})));
    // Reading a value taken from the interpreter never needs the normalisation path.
    error.state_->normalized.mark_completed();
    return error;
}

PyObject* PyErr::instance() noexcept {
    if (!state_) internal_failure(invalid_state_message);
    PyErrState& state = *state_;
    if (state.normalized.completed()) return normalized_instance(state);
    check_not_reentrant(state);
    // Another thread may be normalising this value and need the lock to finish: wait without it.
    const AllowThreads section = begin_allow_threads();
    state.normalized.call([&state] { normalize(state); });
    end_allow_threads(section);
    return normalized_instance(state);
}

void PyErr::raise() && noexcept {
    if (!state_ || !state_->inner) internal_failure(invalid_state_message);
    PyErrState::Inner inner = std::move(*state_->inner);
    // Whatever the value held now belongs to the interpreter (or was consumed by the builder).
    state_->inner.reset();
    state_.reset();
    if (auto* builder = std::get_if<ExceptionBuilder>(&inner)) {
        raise_deferred(*builder);
    } else {
        PyErr_SetRaisedException(std::get_if<PyErrState::Normalized>(&inner)->instance);
    }
}

std::string PyErr::debug() noexcept {
    const AcquireMode mode = guarded_acquire();
    PyObject* exception = instance();
    std::string out = "PyErr { type: ";
    out += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    out += ", value: ";
    out += repr_text(exception);
    out += ", traceback: ";
    out += traceback_field(exception);
    out += " }";
    guarded_release(mode);
    return out;
}

std::optional<PyErr> current_exception() noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return std::nullopt;
    // The type is created here at the latest, so it exists before any exception is compared.
    PyObject* panic_type = panic_exception_type();
    if (Py_TYPE(raised) == reinterpret_cast<PyTypeObject*>(panic_type)) resume_panic(raised);
    return PyErr::from_instance(raised);
}

PyErr fetch_exception() noexcept {
    std::optional<PyErr> current = current_exception();
    if (current) return std::move(*current);
    return PyErr::none_set();
}

void fail_after_interpreter_error(std::source_location where) noexcept {
    PyErr_Print();
    internal_failure("Python API call failed", where);
}

}  // namespace brindlex::runtime
