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

}  // namespace

void write_to_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

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
