// Threads kept for the process's lifetime, to which a call hands parts of its work.
#include "helper_threads.h"

#include <pthread.h>

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
