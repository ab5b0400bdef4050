// Per-thread interpreter-lock depth, allow-threads sections and the guarded acquire.
#include "runtime/lock_depth.h"

#include <atomic>

#include "runtime/deferred_release.h"
#include "runtime/internal_failure.h"

namespace brindlex::runtime {

// constinit keeps every access a plain TLS load, with no lazy-initialisation wrapper.
constinit thread_local std::int64_t detail::depth = 0;

namespace {

using detail::depth;

// Set only once a guarded acquire has seen an initialised interpreter; never cleared.
constinit std::atomic<bool> interpreter_checked{false};

[[noreturn, gnu::noinline, gnu::cold]] void fail_negative_depth(std::int64_t value) noexcept {
    if (value == -1) {
        internal_failure(
            "Access to the GIL is prohibited while a __traverse__ implmentation is running.");
    }
    internal_failure("Access to the GIL is currently prohibited.");
}

[[noreturn, gnu::noinline, gnu::cold]] void fail_uninitialised_interpreter() noexcept {
    internal_failure(
        "the Python interpreter is not initialised: it must be prepared (Py_Initialize) before "
        "any interpreter function is used");
}

void check_interpreter_once() noexcept {
    if (interpreter_checked.load(std::memory_order_acquire)) return;
    if (Py_IsInitialized() == 0) fail_uninitialised_interpreter();
    interpreter_checked.store(true, std::memory_order_release);
}

// Every way back in with the lock applies what threads without it queued meanwhile.
void apply_pool_if_any() noexcept {
    if (deferred_pool_exists()) apply_deferred_releases();
}

AcquireMode raise_already_held() noexcept {
    ++depth;
    return AcquireMode{true, PyGILState_LOCKED};
}

}  // namespace

void enter_held() noexcept {
    if (depth < 0) fail_negative_depth(depth);
    ++depth;
    apply_pool_if_any();
}

void leave_held() noexcept { --depth; }

AllowThreads begin_allow_threads() noexcept {
    // The depth reads 0 before the lock is gone, so no release made from here on touches a count.
    AllowThreads section{depth, nullptr};
    depth = 0;
    section.thread_state = PyEval_SaveThread();
    return section;
}

void end_allow_threads(const AllowThreads& section) noexcept {
    depth = section.saved_depth;
    PyEval_RestoreThread(section.thread_state);
    apply_pool_if_any();
}

AcquireMode guarded_acquire() noexcept {
    AcquireMode mode{};
    if (depth > 0) {
        mode = raise_already_held();
    } else {
        check_interpreter_once();
        if (depth > 0) {
            mode = raise_already_held();
        } else {
            mode = AcquireMode{false, PyGILState_Ensure()};
            if (depth < 0) fail_negative_depth(depth);
            ++depth;
        }
    }
    apply_pool_if_any();
    return mode;
}

void guarded_release(AcquireMode mode) noexcept {
    if (!mode.already_held) PyGILState_Release(mode.state);
    --depth;
}

}  // namespace brindlex::runtime
