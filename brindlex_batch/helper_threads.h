// Threads kept for the process's lifetime, to which a call hands parts of its work.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace brindlex::batch {

// One call's parts. It lives on the calling thread's stack until every helper that took part in it
// has let go of it.
struct Job {
    void (*run_part)(const void* context, std::size_t part);
    const void* context;
    std::size_t parts;
    std::size_t next = 0;    // the next part not yet taken, under the pool's lock
    std::atomic<std::size_t> helping = 0;  // helpers working on this job, changed under the pool's lock
};

// Starting a thread costs tens of microseconds, a large share of a call on a few thousand values,
// so helpers are started once, on first need, and wait for work between calls. One call at a
// time uses them; a call that finds them busy returns false and splits its work otherwise.
class HelperThreads {
public:
    // The process's helpers, or null when there was no memory for them. A child process after
    // fork() starts with none.
    static HelperThreads* instance() noexcept;

    // Runs every part of `job`, on the calling thread and on up to job.parts - 1 helpers, and
    // returns once all are done; false, having run nothing, when another call holds the helpers.
    bool run(Job& job) noexcept;

private:
    void start_helpers(std::size_t wanted) noexcept;
    void keep_off_caller() noexcept;
    void serve(std::uint64_t seen) noexcept;
    static bool take_part(Job& job, std::size_t& part) noexcept;

    std::mutex call_;  // held by the one call using the helpers
    std::mutex lock_;
    std::condition_variable work_;  // a new job, or its generation
    std::condition_variable idle_;  // a job's last helper let go of it
    Job* job_ = nullptr;
    std::atomic<std::uint64_t> generation_ = 0;  // changed under lock_
    std::vector<std::thread> helpers_;
    // The processors the helpers were last allowed, and how many helpers were given them.
    std::vector<unsigned char> placed_;
    std::size_t helpers_placed_ = 0;
};

}  // namespace brindlex::batch
