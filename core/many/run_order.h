// The runs of a long column ordered by length, longest first, so that lanes share runs of nearly equal length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brindlex::core {

struct Run {
    std::uint64_t start;   // of the run in the column
    std::uint64_t length;
};

// Zero-length runs are left out: they have nothing to write.
class RunOrder {
public:
    explicit RunOrder(std::span<const std::uint64_t> lengths);
    ~RunOrder();
    RunOrder(const RunOrder&) = delete;
    RunOrder& operator=(const RunOrder&) = delete;

    const Run* runs() const noexcept;
    std::size_t size() const noexcept;

private:
    Run* runs_;
    std::size_t size_;
};

}  // namespace brindlex::core
