// Reports a broken invariant of the native code on standard error and ends the process.
#include "runtime/internal_failure.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace brindlex::runtime {
namespace {

// The kernel's thread id: the same number Python shows as threading.get_native_id().
long current_thread_id() noexcept { return static_cast<long>(::syscall(SYS_gettid)); }

// One write call in the normal case; the loop only finishes a write the kernel cut short, so
// the report of one thread is not interleaved with output of another.
void write_to_stderr(const std::string& text) noexcept {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void internal_failure(std::string_view message, std::source_location where) noexcept {
    std::string report = "brindlex: internal failure in thread ";
    report += std::to_string(current_thread_id());
    report += " at ";
    report += where.file_name();
    report += ':';
    report += std::to_string(where.line());
    report += ": ";
    report += message;
    report += '\n';
    write_to_stderr(report);
    std::abort();
}

}  // namespace brindlex::runtime
