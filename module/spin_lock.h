// A lock for critical sections of a few dozen instructions, such as the borrow registry's.
#pragma once

#include <atomic>

#include <sched.h>

namespace brindlex::module {

// Taking and giving back an uncontended lock is one atomic exchange and one store, without the
// call and bookkeeping of a mutex. The registry is used under the interpreter lock, so contention
// is rare; a waiter yields its processor instead of spinning hard on a 2-core machine.
class SpinLock {
public:
    void lock() noexcept {
        while (flag_.exchange(true, std::memory_order_acquire)) {
            while (flag_.load(std::memory_order_relaxed)) sched_yield();
        }
    }
    void unlock() noexcept { flag_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> flag_{false};
};

}  // namespace brindlex::module
