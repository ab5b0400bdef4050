// The runs of a long column ordered by length, longest first.
#include "core/many/run_order.h"

#include <algorithm>

namespace brindlex::core {

RunOrder::RunOrder(std::span<const std::uint64_t> lengths) : runs_(new Run[lengths.size()]), size_(0) {
    std::uint64_t start = 0;
    for (const std::uint64_t n : lengths) {
        if (n != 0) runs_[size_++] = {start, n};
        start += n;
    }
    std::stable_sort(runs_, runs_ + size_, [](const Run& a, const Run& b) { return a.length > b.length; });
}

RunOrder::~RunOrder() { delete[] runs_; }

const Run* RunOrder::runs() const noexcept { return runs_; }

std::size_t RunOrder::size() const noexcept { return size_; }

}  // namespace brindlex::core
