// The process-wide pool of reference releases made without the interpreter lock.
#include "runtime/deferred_release.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "runtime/internal_failure.h"
#include "runtime/lock_depth.h"

namespace brindlex::runtime {
namespace {

struct PendingList {
    PyObject** items = nullptr;
    std::size_t length = 0;
    std::size_t capacity = 0;
};

// Static storage with constant initialisation: the pool's memory needs no allocation and is never
// destroyed, so no destructor runs at process exit while other threads may still queue. The pool
// "exists" from the moment `pool_created` is published; before that its mutex is never touched.
struct Pool {
    std::mutex mutex;
    PendingList pending;
};
constinit Pool pool;
constinit std::atomic<bool> pool_created{false};

// The interpreter's own rule: a count whose low 32 bits read negative is immortal and never
// changes; otherwise lower it and deallocate at zero.
void release_now(PyObject* object) noexcept {
    const auto low_bits = static_cast<std::int32_t>(static_cast<std::uint32_t>(object->ob_refcnt));
    if (low_bits < 0) return;
    if (--object->ob_refcnt == 0) _Py_Dealloc(object);
}

[[noreturn, gnu::noinline, gnu::cold]] void fail_allocation() noexcept {
    internal_failure("could not allocate storage for the deferred-release list");
}

void grow(PendingList& list) noexcept {
    std::size_t capacity = list.capacity * 2;
    if (capacity < 4) capacity = 4;
    void* storage = std::realloc(static_cast<void*>(list.items), capacity * sizeof(PyObject*));
    if (storage == nullptr) fail_allocation();
    list.items = static_cast<PyObject**>(storage);
    list.capacity = capacity;
}

[[gnu::noinline]] void queue(PyObject* object) noexcept {
    // The flag only says the pool may be used; the mutex itself is constant-initialised, so
    // racing first users need no creation step and the pool comes into being exactly once.
    if (!pool_created.load(std::memory_order_relaxed)) {
        pool_created.store(true, std::memory_order_release);
    }
    std::lock_guard lock(pool.mutex);
    PendingList& list = pool.pending;
    if (list.length == list.capacity) grow(list);
    list.items[list.length++] = object;
}

}  // namespace

bool deferred_pool_exists() noexcept { return pool_created.load(std::memory_order_acquire); }

void release_reference(PyObject* object) noexcept {
    if (object == nullptr) return;
    if (lock_depth() >= 1) {
        release_now(object);
    } else {
        queue(object);
    }
}

void apply_deferred_releases() noexcept {
    PendingList taken;
    {
        std::lock_guard lock(pool.mutex);
        if (pool.pending.length == 0) return;
        taken = std::exchange(pool.pending, PendingList{});
    }
    // Outside the mutex: a deallocation may run arbitrary code, which may queue again.
    for (std::size_t i = 0; i < taken.length; ++i) release_now(taken.items[i]);
    std::free(static_cast<void*>(taken.items));
}

}  // namespace brindlex::runtime
