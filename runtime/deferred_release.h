// Reference releases made without the interpreter lock, queued until a thread comes in with it.
#pragma once

#include <Python.h>

namespace brindlex::runtime {

// Gives up one owned reference: at once when this thread holds the lock (lock depth >= 1, and
// immortal objects untouched), otherwise queued in the process-wide pool.
void release_reference(PyObject* object) noexcept;

// Releases every queued reference, in the order queued. Only with the lock held.
void apply_deferred_releases() noexcept;

// One atomic load; until the first queued release no pool exists and no mutex is ever taken.
bool deferred_pool_exists() noexcept;

}  // namespace brindlex::runtime
