// Groups whose rows interleave, each computed as one series bar by bar: every row, in row order, updates its group's stream.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "../float_slice.h"

namespace brindlex::core::stream {

// How a row's result is written: as usual, or past the caches (Past). The rows are written in row
// order, so that the processor gathers the streamed stores of neighbouring rows into whole lines,
// none read from memory before it is written. 5,000 groups in no order, 12.6 million rows: MACD
// 17.2 against 11.3 ns a row. Processors without such a store write as usual.
template <bool Past>
struct RowStore {
    void operator()(unaligned_double* at, double v) const noexcept {
#if defined(__x86_64__)
        if constexpr (Past) {
            _mm_stream_si64(reinterpret_cast<long long*>(at), std::bit_cast<long long>(v));
            return;
        }
#endif
        *at = v;
    }
};

// Every row in row order: update(streams[code], row, store), store(at, value) writing each result.
// Flattened, so that the update is inlined into the loop: called, MACD's took 9.1 ns a row,
// inlined 7.9 (500 groups in no order).
template <class Code, class Stream, class Update, bool Past>
[[gnu::flatten]] void each_row(std::span<const Code> codes, std::span<Stream> streams, Update& update,
                               RowStore<Past> store) noexcept {
    for (std::size_t row = 0; row < codes.size(); ++row) update(streams[codes[row]], row, store);
}

// The column is read and written as it lies, where computing group by group would copy it into
// group order and back; the groups' streams are all the memory in between. `past_caches`: the
// outputs are written past the caches (streamed stores, fenced before this returns, so that
// whichever thread reads the outputs next sees them all).
template <class Code, class Stream, class Update>
void update_rows(std::span<const Code> codes, std::span<Stream> streams, Update&& update, bool past_caches) noexcept {
    if (!past_caches) {
        each_row(codes, streams, update, RowStore<false>{});
        return;
    }
    each_row(codes, streams, update, RowStore<true>{});
#if defined(__x86_64__)
    _mm_sfence();
#endif
}

}  // namespace brindlex::core::stream
