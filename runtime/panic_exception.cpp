// The "pyo3_runtime.PanicException" type, and the end of the process when one comes back from Python.
#include "runtime/panic_exception.h"

#include <string_view>
#include <utility>

#include "runtime/deferred_release.h"
#include "runtime/internal_failure.h"
#include "runtime/once_cell.h"
#include "runtime/py_err.h"

namespace brindlex::runtime {
namespace {

constexpr char panic_doc[] =
    "\n"
    "Raised when native code called from Python hits an internal failure (a panic).\n"
    "\n"
    "Like SystemExit, the type derives from BaseException so that it will typically\n"
    "propagate all the way through the stack and cause the interpreter to exit.\n";
static_assert(sizeof(panic_doc) - 1 == 235, "the docstring is exactly 235 bytes");

// Filled under the interpreter lock; the first stored type wins and lives as long as the process.
constinit OnceCell panic_type_cell;

// Taken directly rather than through fetch_exception: that would look for this very type, which
// does not exist yet, and come back here.
[[noreturn, gnu::noinline, gnu::cold]] void fail_type_creation() noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    PyErr error = raised != nullptr ? PyErr::from_instance(raised) : PyErr::none_set();
    std::string message = "Failed to initialize new exception type.: ";
    message += error.debug();
    internal_failure(message);
}

// A new reference; should two threads both get here, the cell keeps the first and drops the other.
PyObject* create_panic_type() noexcept {
    PyObject* base = Py_NewRef(PyExc_BaseException);
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, base, nullptr);
    if (created == nullptr) fail_type_creation();
    release_reference(base);
    return created;
}

}  // namespace

PyObject* panic_exception_type() noexcept { return panic_type_cell.get_or_init(create_panic_type); }

void resume_from_python(PyObject* exception, std::string message) noexcept {
    write_to_stderr(
        "--- brindlex is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n");
    PyErr::from_instance(exception).raise();
    // 0: the sys.last_* variables stay untouched; the process is about to end anyway.
    PyErr_PrintEx(0);
    internal_failure(message);
}

}  // namespace brindlex::runtime
