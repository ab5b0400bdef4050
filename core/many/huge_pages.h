// An allocator for scratch arrays of many megabytes, backed by huge pages where the system lends them.
#pragma once

#include <cstddef>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace brindlex::core {

// A call's scratch memory is fresh from the system on every call, which then faults it in page by
// page as the kernels first touch it: at 4 KiB a page, those faults cost more than the kernels'
// own work on columns of millions of rows. Asked for transparent huge pages, the system faults in
// 2 MiB at a time. Smaller arrays come from the usual heap.
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
        } else {
            ::operator delete(p, std::align_val_t{huge_page});
        }
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

}  // namespace brindlex::core
