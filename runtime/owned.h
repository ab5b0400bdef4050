// An owned reference to an interpreter object, given up through release_reference when dropped.
#pragma once

#include <Python.h>

#include <utility>

#include "deferred_release.h"

namespace brindlex::runtime {

class Owned {
public:
    Owned() noexcept = default;
    // Takes over a new reference (may be null).
    explicit Owned(PyObject* steal) noexcept : object_(steal) {}
    static Owned borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Owned(object);
    }
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(nullptr); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset(PyObject* steal) noexcept {
        PyObject* old = std::exchange(object_, steal);
        if (old) release_reference(old);
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace brindlex::runtime
