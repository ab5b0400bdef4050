// One series in the low lane of a two-lane register, for loops that select by masks (lanes.h has the operations).
#pragma once

#include "float_slice.h"
#include "lanes.h"

namespace brindlex::core::lane {

using V = f64x2;
using Ops = Lanes<V>;

inline V scalar(double v) noexcept { return two_lanes::low_only(v); }
inline double value(V v) noexcept { return two_lanes::low(v); }
// Through the one-byte-aligned element type, not _mm_load_sd / _mm_store_sd, whose pointers must
// be aligned; the instructions are the same.
inline V load(const unaligned_double* p) noexcept { return scalar(*p); }
inline void store(unaligned_double* p, V v) noexcept { *p = value(v); }

// Whether the low lane of the mask is set (Lanes<V>::any asks of every lane).
inline bool low_set(V mask) noexcept { return two_lanes::low_sign(mask); }

}  // namespace brindlex::core::lane
