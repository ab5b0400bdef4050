// The workspaces of a call's parts, one per thread, made before any kernel runs.
#pragma once

#include <cstddef>
#include <vector>

#include "core/many/workspace.h"

namespace brindlex::batch {

// The first part's workspace lies inline: a call on one thread, the usual short call, then
// allocates no list of them (a heap allocation and its release, about a tenth of such a call's
// time above the kernel's). make(k) gives part k's; it throws std::bad_alloc when memory runs out.
class PartWorkspaces {
public:
    template <class Make>
    PartWorkspaces(std::size_t parts, const Make& make) : first_(make(std::size_t{0})) {
        rest_.reserve(parts - 1);
        for (std::size_t k = 1; k < parts; ++k) rest_.push_back(make(k));
    }
    core::Workspace& operator[](std::size_t k) noexcept { return k == 0 ? first_ : rest_[k - 1]; }

private:
    core::Workspace first_;
    std::vector<core::Workspace> rest_;
};

}  // namespace brindlex::batch
