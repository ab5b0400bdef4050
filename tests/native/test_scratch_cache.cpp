// The scratch arrays kept between calls: the last ones freed come back, and never more than the bound is kept.
#include <cstddef>
#include <new>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "core/many/huge_pages.h"
#include "core/many/scratch_cache.h"

namespace brindlex::test {
namespace {

namespace cache = core::scratch_cache;

void free_taken(void* array) { ::operator delete(array, std::align_val_t{core::HugePageAllocator<char>::huge_page}); }

TEST(ScratchCache, KeepsTheLastArraysFreedWithinItsBound) {
    constexpr std::size_t bytes = std::size_t{20} << 20;
    constexpr std::size_t n = bytes / sizeof(double);
    core::HugePageAllocator<double> allocator;
    // Whatever earlier tests left of the sizes asked for here.
    for (std::size_t size : {bytes, bytes / 4}) {
        while (void* left = cache::take(size)) free_taken(left);
    }

    // Five arrays of 20 MiB freed: the last three fit under the bound of 64 MiB, the first two go.
    std::vector<double*> arrays;
    for (int i = 0; i < 5; ++i) arrays.push_back(allocator.allocate(n));
    for (double* a : arrays) allocator.deallocate(a, n);
    std::set<void*> taken;
    while (void* kept = cache::take(bytes)) taken.insert(kept);
    EXPECT_EQ(taken, (std::set<void*>{arrays[2], arrays[3], arrays[4]}));
    for (void* t : taken) free_taken(t);

    // Too small a request does not take an array twice its size; too large an array is not kept.
    double* big = allocator.allocate(n);
    allocator.deallocate(big, n);
    EXPECT_EQ(cache::take(bytes / 4), nullptr);
    EXPECT_EQ(cache::take(bytes), big);
    EXPECT_FALSE(cache::keep(big, cache::kept_bytes + 1));
    free_taken(big);
}

}  // namespace
}  // namespace brindlex::test
