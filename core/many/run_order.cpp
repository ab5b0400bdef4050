// The runs of a long column ordered by length, longest first.
#include "core/many/run_order.h"

#include <algorithm>

namespace brindlex::core {

std::span<const Run> order_runs(std::span<const std::uint64_t> lengths, std::span<Run> room) noexcept {
    std::size_t size = 0;
    std::uint64_t start = 0;
    for (const std::uint64_t n : lengths) {
        if (n != 0) room[size++] = {start, n};
        start += n;
    }
    // Starts differ, so this order is total: std::sort gives what a stable sort by length would,
    // without the buffer a stable sort allocates.
    std::sort(room.begin(), room.begin() + static_cast<std::ptrdiff_t>(size), [](const Run& a, const Run& b) {
        return a.length != b.length ? a.length > b.length : a.start < b.start;
    });
    return room.first(size);
}

}  // namespace brindlex::core
