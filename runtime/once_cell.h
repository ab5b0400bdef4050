// Process-wide once-only cells holding an interpreter object: the first value stored wins.
#pragma once

#include <Python.h>

#include <atomic>

#include "deferred_release.h"

namespace brindlex::runtime {

// Filled under the interpreter lock, but the code computing a value may let other threads run
// (an import, say), so two threads can both compute one; the loser's reference is dropped. The
// cell keeps its reference for the life of the process and is never emptied.
class OnceCell {
public:
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // `make` returns a new reference (never null); the result is borrowed from the cell.
    template <class Make>
    PyObject* get_or_init(Make make) noexcept {
        if (PyObject* stored = get()) return stored;
        return store(make());
    }

    // Stores `candidate` (a new reference) unless a value is already there; returns the winner.
    PyObject* store(PyObject* candidate) noexcept {
        PyObject* expected = nullptr;
        if (value_.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel)) {
            return candidate;
        }
        release_reference(candidate);
        return expected;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace brindlex::runtime
