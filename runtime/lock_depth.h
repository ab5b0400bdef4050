// Per-thread depth of the interpreter lock as native code holds it, and the ways in and out of it.
#pragma once

#include <Python.h>

#include <cstdint>

namespace brindlex::runtime {

namespace detail {
// Initial-exec: a plain thread-pointer-relative load, with no call into the dynamic linker on
// every access, which every entry point makes several times.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local std::int64_t depth;
}  // namespace detail

// Above 0: this thread holds the interpreter lock for native code, once per nesting level.
inline std::int64_t lock_depth() noexcept { return detail::depth; }

// First and last thing of every entry point and of module initialisation (the interpreter already
// holds the lock for them). enter_held also applies the deferred releases.
void enter_held() noexcept;
void leave_held() noexcept;

// Gives the interpreter lock away around work that touches no Python object.
struct AllowThreads {
    std::int64_t saved_depth;
    PyThreadState* thread_state;
};
AllowThreads begin_allow_threads() noexcept;
void end_allow_threads(const AllowThreads& section) noexcept;

// For code that may run on a thread that does not hold the lock.
struct AcquireMode {
    bool already_held;
    PyGILState_STATE state;
};
AcquireMode guarded_acquire() noexcept;
void guarded_release(AcquireMode mode) noexcept;

}  // namespace brindlex::runtime
