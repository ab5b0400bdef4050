// Internal failures: a broken invariant of the native code is reported on stderr and ends the process.
#pragma once

#include <source_location>
#include <string_view>

namespace brindlex::runtime {

// Writes one block to standard error, "brindlex: internal failure in thread <id> at <file>:<line>:
// <message>", then aborts. Nothing unwinds and nothing is turned into a Python exception.
// Writes all of `text` to standard error, in one write call unless the kernel cuts it short, so
// that a report is not interleaved with another thread's output.
void write_to_stderr(std::string_view text) noexcept;

[[noreturn]] void internal_failure(
    std::string_view message, std::source_location where = std::source_location::current()) noexcept;

}  // namespace brindlex::runtime
