// Groups whose rows interleave, each computed as one series bar by bar: every row, in row order, updates its group's stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brindlex::core::stream {

// Every row in row order: update(streams[code], row). The column is read and written as it lies,
// where computing group by group would copy it into group order and back; the groups' streams are
// all the memory in between. Flattened, so that the update is inlined into the loop: called, MACD's
// took 9.1 ns a row, inlined 7.9 (500 groups in no order).
template <class Code, class Stream, class Update>
[[gnu::flatten]] void update_rows(std::span<const Code> codes, std::span<Stream> streams, Update&& update) noexcept {
    for (std::size_t row = 0; row < codes.size(); ++row) update(streams[codes[row]], row);
}

}  // namespace brindlex::core::stream
