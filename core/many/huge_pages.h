// An allocator for scratch arrays of many megabytes, backed by huge pages where the system lends them.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/many/scratch_cache.h"

namespace brindlex::core {

// A call's scratch memory is fresh from the system on every call, which then faults it in page by
// page as the kernels first touch it: at 4 KiB a page, those faults cost more than the kernels'
// own work on columns of millions of rows. Asked for transparent huge pages, the system faults in
// 2 MiB at a time; and the last arrays freed are kept for the next calls (scratch_cache.h), which
// find them faulted in already. Smaller arrays come from the usual heap.
template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t huge_page = std::size_t{2} << 20;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    static bool huge(std::size_t n) noexcept { return n >= 2 * huge_page / sizeof(T); }

    T* allocate(std::size_t n) {
        // Too many to count in bytes asks for every byte there is, which fails with std::bad_alloc
        // (thrown by operator new: the kernels' library, which includes this, throws nothing).
        const std::size_t bytes = n > static_cast<std::size_t>(-1) / sizeof(T) ? static_cast<std::size_t>(-1)
                                                                                : n * sizeof(T);
        if (!huge(n)) return static_cast<T*>(::operator new(bytes));
        if (void* kept = scratch_cache::take(bytes)) return static_cast<T*>(kept);
        void* p = ::operator new(bytes, std::align_val_t{huge_page});
#if defined(MADV_HUGEPAGE)
        // Advice only: where the system has no huge page to lend, the memory is faulted in as usual.
        madvise(p, bytes / huge_page * huge_page, MADV_HUGEPAGE);
#endif
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (!huge(n)) {
            ::operator delete(p);
        } else if (!scratch_cache::keep(p, n * sizeof(T))) {
            ::operator delete(p, std::align_val_t{huge_page});
        }
    }

    // Elements made without a value (vector::resize) keep what the memory holds, for types that
    // have no constructor of their own: every array of this allocator is written in full before
    // it is read, and zeroing many megabytes first would cost as much as a pass of the kernels.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

}  // namespace brindlex::core
