// Threads kept for the process's lifetime, to which a call hands parts of its work.
#include "helper_threads.h"

#include <pthread.h>
#include <sched.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <new>

namespace brindlex::batch {
namespace {

// Never destroyed: helpers block on it until the process ends, and a child after fork() gets a
// fresh pool, since the parent's threads do not exist there and its locks may be held.
std::atomic<HelperThreads*> pool{nullptr};
std::once_flag pool_created;

// A thread about to wait for the next job, or for its helpers to finish, first watches for it a
// while: a processor left with nothing to run halts, and on the virtual machines measured, waking
// a halted one took hundreds of microseconds, a large share of a call of a millisecond or two
// (500 series x 2,520 bars on two threads: 1.4-1.6 times one thread's speed, blocking at once).
// Calls made one after another in a loop find their helpers still watching. Bounded, so that a
// thread of a process that has stopped calling soon leaves the processor to others.
constexpr std::chrono::microseconds watch_for{200};

inline void pause() noexcept {
#if defined(__x86_64__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Polls done() until it comes true or watch_for has passed; the caller then checks it again under
// its lock before it blocks, so which of the two ended the watch does not matter.
template <class Done>
void watched(Done done) noexcept {
    const auto until = std::chrono::steady_clock::now() + watch_for;
    while (std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < 64; ++i) {
            if (done()) return;
            pause();
        }
    }
}

}  // namespace

// Null when memory ran out making it: calls then start threads of their own, or run alone.
HelperThreads* HelperThreads::instance() noexcept {
    std::call_once(pool_created, [] {
        pool.store(new (std::nothrow) HelperThreads, std::memory_order_release);
        pthread_atfork(nullptr, nullptr,
                       [] { pool.store(new (std::nothrow) HelperThreads, std::memory_order_release); });
    });
    return pool.load(std::memory_order_acquire);
}

bool HelperThreads::take_part(Job& job, std::size_t& part) noexcept {
    if (job.next >= job.parts) return false;
    part = job.next++;
    return true;
}

bool HelperThreads::run(Job& job) noexcept {
    std::unique_lock call(call_, std::try_to_lock);
    if (!call.owns_lock()) return false;
    start_helpers(job.parts - 1);
    keep_off_caller();
    {
        std::lock_guard guard(lock_);
        job_ = &job;
        ++generation_;
    }
    work_.notify_all();
    std::unique_lock guard(lock_);
    std::size_t part;
    while (take_part(job, part)) {
        guard.unlock();
        job.run_part(job.context, part);
        guard.lock();
    }
    // No helper may take the job up from here on; those that have, finish their parts first.
    job_ = nullptr;
    guard.unlock();
    watched([&] { return job.helping.load(std::memory_order_acquire) == 0; });
    guard.lock();
    idle_.wait(guard, [&] { return job.helping == 0; });
    return true;
}

void HelperThreads::start_helpers(std::size_t wanted) noexcept {
    try {
        // From the generation before the job at hand, so that a helper slow to start still sees it.
        while (helpers_.size() < wanted) helpers_.emplace_back([this, seen = generation_.load()] { serve(seen); });
    } catch (const std::exception&) {
        // Out of threads or memory: the calling thread takes the parts no helper takes.
    }
}

// The system wakes a thread where it sees fit, and that is often the processor of the thread that
// woke it: measured here, after a pause of 2 ms or more between calls, a woken helper shared the
// caller's processor in most calls, the two then ran in turn rather than at once, and a call on
// two threads took as long as on one. So the helpers may run wherever the caller may, except on
// the processor the caller is on (where the caller may run on that one alone, there too). Set
// again only when that changes.
void HelperThreads::keep_off_caller() noexcept {
#ifdef __linux__
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    const int here = sched_getcpu();
    if (here >= 0 && CPU_ISSET(here, &allowed) && CPU_COUNT(&allowed) > 1) CPU_CLR(here, &allowed);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&allowed);
    if (helpers_placed_ == helpers_.size() && std::equal(placed_.begin(), placed_.end(), bytes, bytes + sizeof allowed)) {
        return;
    }
    try {
        placed_.assign(bytes, bytes + sizeof allowed);
    } catch (const std::exception&) {
        return;  // no memory to remember it: the helpers stay where they may run
    }
    // A helper the system refuses to move runs where it ran.
    for (std::thread& helper : helpers_) pthread_setaffinity_np(helper.native_handle(), sizeof allowed, &allowed);
    helpers_placed_ = helpers_.size();
#endif
}

void HelperThreads::serve(std::uint64_t seen) noexcept {
    for (;;) {
        watched([&] { return generation_.load(std::memory_order_relaxed) != seen; });
        std::unique_lock guard(lock_);
        work_.wait(guard, [&] { return generation_ != seen; });
        seen = generation_;
        Job* job = job_;
        if (job == nullptr) continue;
        ++job->helping;
        std::size_t part;
        while (take_part(*job, part)) {
            guard.unlock();
            job->run_part(job->context, part);
            guard.lock();
        }
        if (--job->helping == 0) idle_.notify_all();
    }
}

}  // namespace brindlex::batch
