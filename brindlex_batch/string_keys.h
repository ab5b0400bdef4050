// Groups the rows of a string column by key in one pass: the lengths of its runs where every key's
// rows form one run, else a code per row.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/many/huge_pages.h"

namespace brindlex::batch {

// One chunk of strings in one of Arrow's three string layouts.
struct StringChunk {
    enum class Layout { offsets32, offsets64, views };
    Layout layout;
    std::int64_t offset;  // of the chunk's first row in its buffers
    std::int64_t length;
    const std::uint8_t* validity;  // one bit a row, set where the key is present; null: every key present
    const void* index;             // the offsets (length + 1 of them) or the 16-byte views
    const char* data;              // the offsets' characters
    const char* const* view_data;  // the views' character buffers

    bool present(std::int64_t row) const noexcept {
        const std::int64_t bit = offset + row;
        return !validity || (validity[bit >> 3] >> (bit & 7) & 1);
    }
    std::string_view key(std::int64_t row) const noexcept;
};

struct KeyGroups {
    bool runs = true;                   // every key's rows form one run: lengths holds them, codes nothing
    std::vector<std::uint64_t> lengths;
    std::vector<std::uint32_t, core::HugePageAllocator<std::uint32_t>> codes;  // in order of first appearance
    // Where not 0: the rows take turns through this many keys, each once a turn and in the same
    // order every turn (a panel appended date by date), and codes holds the first turn's alone.
    std::uint64_t turns = 0;
    std::int64_t missing_code = -1;     // the code of the rows without a key, -1 where there are none
};

// The groups of the chunks' rows, missing keys forming a group of their own; nothing where there
// are more keys than codes of 32 bits. With codes_only, codes are given even for runs and turns.
// `sorted`: the caller knows the keys to be sorted (missing ones first or last), and each key's run
// is then searched for rather than read through; keys that are not sorted then come out grouped
// wrongly, though never read out of bounds.
std::optional<KeyGroups> group_string_keys(std::span<const StringChunk> chunks, bool codes_only, bool sorted);

}  // namespace brindlex::batch
