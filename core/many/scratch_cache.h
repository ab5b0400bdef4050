// Scratch arrays of many megabytes kept from one call for the next, so that the system need not zero them again.
#pragma once

#include <cstddef>

namespace brindlex::core::scratch_cache {

// Fresh memory costs the system a page fault and the zeroing of every page on first touch: for a
// call on a column grouped in no order, about a quarter of its time. The last few scratch arrays
// freed (at most `kept_bytes` together) are kept for the next calls instead.
inline constexpr std::size_t kept_bytes = std::size_t{64} << 20;

// A kept array of at least `bytes` and not more than twice that, taken out of the cache; null
// when there is none.
void* take(std::size_t bytes) noexcept;
// Keeps the array, allocated with the huge-page alignment, of `bytes`; false when it is too large
// to keep, and then the caller frees it. Older arrays are freed to make room.
bool keep(void* array, std::size_t bytes) noexcept;

}  // namespace brindlex::core::scratch_cache
