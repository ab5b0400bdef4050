// Threads kept for the process's lifetime, to which a call hands parts of its work.
#include "helper_threads.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>

namespace brindlex::batch {
namespace {

// Never destroyed: helpers block on it until the process ends, and a child after fork() gets a
// fresh pool, since the parent's threads do not exist there and its locks may be held.
std::atomic<HelperThreads*> pool{nullptr};
std::once_flag pool_created;

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
    idle_.wait(guard, [&] { return job.helping == 0; });
    return true;
}

void HelperThreads::start_helpers(std::size_t wanted) noexcept {
    try {
        // From the generation before the job at hand, so that a helper slow to start still sees it.
        while (helpers_.size() < wanted) helpers_.emplace_back([this, seen = generation_] { serve(seen); });
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
    std::unique_lock guard(lock_);
    for (;;) {
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
