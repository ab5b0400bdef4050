// Groups the rows of a string column by key: runs of one key found by comparing neighbours, other
// rows looked up in an open-addressing table of the keys seen so far.
#include "string_keys.h"

#include "core/many/row_groups.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

namespace brindlex::batch {
namespace {

template <class T>
T read(const void* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Asks for the views 2 KiB on from the row being read: a column not in the caches is otherwise
// read at a fraction of the memory's speed, each scan stalled at every page it enters.
inline void read_ahead(const char* view) noexcept { __builtin_prefetch(view + 2048); }

template <class Offset>
std::string_view offset_key(const StringChunk& chunk, std::int64_t row) noexcept {
    const auto* offsets = static_cast<const Offset*>(chunk.index) + chunk.offset + row;
    return {chunk.data + offsets[0], static_cast<std::size_t>(offsets[1] - offsets[0])};
}

}  // namespace

[[gnu::always_inline]] inline std::string_view StringChunk::key(std::int64_t row) const noexcept {
    if (layout == Layout::offsets32) return offset_key<std::int32_t>(*this, row);
    if (layout == Layout::offsets64) return offset_key<std::int64_t>(*this, row);
    // A view: the length, then up to 12 characters in place, or a prefix, a buffer and an offset.
    const auto* view = static_cast<const char*>(index) + 16 * (offset + row);
    const auto size = read<std::uint32_t>(view);
    if (size <= 12) return {view + 4, size};
    return {view_data[read<std::uint32_t>(view + 8)] + read<std::uint32_t>(view + 12), size};
}

namespace {

// A key as two words, laid out as a string view holds a key of at most 12 characters in place:
// the length, then the characters, zero after them. Such keys are equal exactly when their words
// are; a longer key's words hold its length and first four characters only.
struct KeyWords {
    std::uint64_t head, tail;
    bool operator==(const KeyWords&) const noexcept = default;
    bool whole() const noexcept { return static_cast<std::uint32_t>(head) <= 12; }
};

// The low `bytes` bytes of the word (0 to 8), zero above them.
constexpr std::uint64_t low_bytes(std::uint64_t word, std::uint32_t bytes) noexcept {
    return bytes >= 8 ? word : word & ((std::uint64_t{1} << (8 * bytes)) - 1);
}

// For a key of `size` characters held in its view (0 to 12), the bits of the view's two words
// that hold the length and the characters.
struct ViewMask {
    std::uint64_t head, tail;
};
constexpr auto view_masks = [] {
    std::array<ViewMask, 13> masks{};
    for (std::uint32_t size = 0; size <= 12; ++size) {
        masks[size] = {low_bytes(~std::uint64_t{0}, 4 + size), size > 4 ? low_bytes(~std::uint64_t{0}, size - 4) : 0};
    }
    return masks;
}();

[[gnu::always_inline]] inline KeyWords words_of_view(const char* view) noexcept {
    const std::uint32_t size = read<std::uint32_t>(view);
    if (size > 12) return {read<std::uint64_t>(view), 0};
    // The characters after the key are zero in well-made views; cleared all the same, as the
    // groups must not depend on them.
    const ViewMask mask = view_masks[size];
    return {read<std::uint64_t>(view) & mask.head, read<std::uint64_t>(view + 8) & mask.tail};
}

// The words of a key of at most 12 characters, read in place where 12 bytes from its start lie
// before `end` (the end of the chunk's characters), as a view would hold it: copied byte by byte
// into a view first, the words would wait on a store that cannot be forwarded, at every row.
[[gnu::always_inline]] inline KeyWords words_of_short_text(std::string_view key, const char* end) noexcept;

[[gnu::always_inline]] inline KeyWords words_of_text(std::string_view key) noexcept {
    char view[16] = {};
    const auto size = static_cast<std::uint32_t>(key.size());
    std::memcpy(view, &size, 4);
    std::memcpy(view + 4, key.data(), key.size() <= 12 ? key.size() : 4);
    return {read<std::uint64_t>(view), key.size() <= 12 ? read<std::uint64_t>(view + 8) : 0};
}

KeyWords words_of_short_text(std::string_view key, const char* end) noexcept {
    if (end - key.data() < 12) return words_of_text(key);
    const auto size = static_cast<std::uint32_t>(key.size());
    const auto first = read<std::uint64_t>(key.data());
    const auto last = read<std::uint32_t>(key.data() + 8);
    const ViewMask mask = view_masks[size];
    return {(size | first << 32) & mask.head, (first >> 32 | std::uint64_t{last} << 32) & mask.tail};
}

std::uint64_t mixed(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

// The hash of a key of at most 12 characters, from its words: most rows' keys are such, and each
// row in no order is hashed, so two multiplications rather than a full mixing round. Only a
// product's top bits depend on every bit of its factors: the bytes are reversed to bring them
// down to the bits that pick a slot.
[[gnu::always_inline]] inline std::uint64_t hash_of_whole(KeyWords words) noexcept {
    return std::byteswap((words.head ^ words.tail * 0x9e3779b97f4a7c15ULL) * 0xff51afd7ed558ccdULL);
}

// A key's hash: its words for a key of at most 12 characters, else every character, eight at a time.
[[gnu::always_inline]] inline std::uint64_t hash_of(KeyWords words, std::string_view text) noexcept {
    if (words.whole()) return hash_of_whole(words);
    std::uint64_t h = words.head * 0x9e3779b97f4a7c15ULL ^ words.tail;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) h = (h ^ read<std::uint64_t>(text.data() + i)) * 0xff51afd7ed558ccdULL;
    std::uint64_t last = 0;
    std::memcpy(&last, text.data() + i, text.size() - i);
    return mixed(h ^ last);
}

// The keys seen so far, each with its code, found through a table of slots (see sparseness).
class KeyTable {
public:
    KeyTable() : slots_(64, empty) {}

    std::uint64_t count() const noexcept { return keys_.size(); }

    // The key's code, numbering it next when new (added then set).
    std::uint64_t code(KeyWords words, std::string_view text, bool& added) {
        const std::uint64_t hash = hash_of(words, text);
        const std::uint64_t slot = slot_of(words, text, hash);
        if (slots_[slot] != empty) return slots_[slot];
        added = true;
        return add(words, {text, hash}, slot);
    }

    // A code for something no key equals (the missing keys).
    std::uint64_t reserve() { return add({}, {}, no_slot); }

    static constexpr std::uint64_t absent = std::numeric_limits<std::uint64_t>::max();  // no code of 32 bits

    // The code of a key of at most 12 characters (its words are the whole key), or `absent`:
    // equal words are then the same key, with no look at the hash.
    [[gnu::always_inline]] std::uint64_t find_whole(KeyWords words) const noexcept {
        const std::uint64_t mask = slots_.size() - 1;
        for (std::uint64_t slot = hash_of_whole(words) & mask;; slot = (slot + 1) & mask) {
            const std::uint32_t code = slots_[slot];
            if (code == empty) return absent;
            if (words_[code] == words) return code;
        }
    }

private:
    // A key's other facts than its words (in words_, by the same code).
    struct Entry {
        std::string_view text;
        std::uint64_t hash;
    };
    // Codes of 32 bits, all below `empty` (the caller stops before), so that a small table stays
    // in the first-level cache.
    static constexpr std::uint32_t empty = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::uint64_t no_slot = std::numeric_limits<std::uint64_t>::max();

    // How many slots a key has at least: small tables are kept a sixteenth full, so that a lookup
    // on rows in no order nearly always finds its key at the first slot it tries (a quarter full,
    // a lookup in six goes on to the next, and mispredicts); large ones a quarter full, to bound
    // their memory.
    std::uint64_t sparseness() const noexcept { return slots_.size() < (std::uint64_t{1} << 16) ? 16 : 4; }

    // The key's slot, holding its code, or the empty slot where it would go.
    [[gnu::always_inline]] std::uint64_t slot_of(KeyWords words, std::string_view text,
                                                 std::uint64_t hash) const noexcept {
        const std::uint64_t mask = slots_.size() - 1;
        std::uint64_t slot = hash & mask;
        for (; slots_[slot] != empty; slot = (slot + 1) & mask) {
            const std::uint32_t code = slots_[slot];
            const Entry& known = keys_[code];
            if (known.hash == hash && words_[code] == words && (words.whole() || known.text == text)) break;
        }
        return slot;
    }

    std::uint64_t add(KeyWords words, const Entry& entry, std::uint64_t slot) {
        const std::uint64_t code = keys_.size();
        // Room first, doubling, so that neither array changes if the other cannot grow.
        if (words_.size() == words_.capacity()) words_.reserve(std::max<std::size_t>(64, 2 * words_.capacity()));
        keys_.push_back(entry);
        words_.push_back(words);
        if (slot != no_slot) slots_[slot] = static_cast<std::uint32_t>(code);
        if (sparseness() * keys_.size() > slots_.size()) grow();
        return code;
    }

    void grow() {
        std::vector<std::uint32_t> larger(2 * slots_.size(), empty);
        for (const std::uint32_t known : slots_) {
            if (known == empty) continue;
            std::uint64_t slot = keys_[known].hash & (larger.size() - 1);
            while (larger[slot] != empty) slot = (slot + 1) & (larger.size() - 1);
            larger[slot] = known;
        }
        slots_.swap(larger);
    }

    std::vector<std::uint32_t> slots_;
    std::vector<Entry> keys_;
    // Each key's words, by code, apart from its other facts: the lookups of short keys compare
    // these alone, which then stay in the first-level cache beside the slots.
    std::vector<KeyWords> words_;
};

// Follows the rows' codes, as lengths of runs while each code forms one run, as codes after.
class GroupBuilder {
public:
    explicit GroupBuilder(std::uint64_t rows) : rows_(rows) {}

    // `count` rows of the code, which is new where `added`.
    void next(std::uint64_t code, bool added, std::uint64_t count) {
        if (groups_.runs && code != previous_ && !added) to_codes();  // a key met again after others
        write_repeats();
        if (groups_.runs) {
            if (code == previous_) {
                groups_.lengths.back() += count;
            } else {
                groups_.lengths.push_back(count);
                previous_ = code;
            }
        } else if (count == 1) {  // the usual count where keys are in no order
            groups_.codes[row_] = static_cast<std::uint32_t>(code);
        } else {
            std::fill_n(groups_.codes.begin() + static_cast<std::ptrdiff_t>(row_), count,
                        static_cast<std::uint32_t>(code));
        }
        row_ += count;
    }

    bool in_codes() const noexcept { return !groups_.runs; }

    // In codes: where the next rows' codes go, for a caller to write `count` of them, then pass them.
    std::uint32_t* next_codes() noexcept {
        write_repeats();
        return groups_.codes.data() + row_;
    }
    void passed(std::uint64_t count) noexcept { row_ += count; }

    // In codes: the next `count` rows repeat the rows `turn` before them. While every row from the
    // first turn on does, their codes are left unwritten: the rows may turn out to take turns
    // through the keys all the way, and then no code past the first turn is needed.
    void repeated(std::uint64_t turn, std::uint64_t count) {
        if (repeats_from_ == unwritten && turn <= row_ && !written_turns_) {
            const std::uint32_t* codes = groups_.codes.data();
            bool all = true;
            for (std::uint64_t k = turn; k < row_; ++k) all = all && codes[k] == codes[k - turn];
            if (all) turn_ = turn, repeats_from_ = row_;
            written_turns_ = !all;
        }
        if (repeats_from_ == unwritten || turn != turn_) {
            write_repeats();
            std::uint32_t* codes = groups_.codes.data() + row_;
            // Forward, so that a row more than a turn on reads a code this loop wrote.
            for (std::uint64_t k = 0; k < count; ++k) codes[k] = codes[k - turn];
        }
        row_ += count;
    }

    KeyGroups finish(bool codes_only, std::uint64_t keys) {
        if (repeats_from_ != unwritten && !codes_only && row_ == rows_ && keys == turn_ && rows_ % turn_ == 0) {
            groups_.turns = turn_;
            groups_.codes.resize(turn_);
        }
        if (groups_.turns == 0) write_repeats();
        if (groups_.runs && codes_only) to_codes();
        return std::move(groups_);
    }

private:
    static constexpr std::uint64_t unwritten = std::numeric_limits<std::uint64_t>::max();

    // The codes left unwritten by repeated(), written before any other: the rows no longer all
    // take turns.
    void write_repeats() noexcept {
        if (repeats_from_ == unwritten) return;
        std::uint32_t* codes = groups_.codes.data();
        for (std::uint64_t k = repeats_from_; k < row_; ++k) codes[k] = codes[k - turn_];
        repeats_from_ = unwritten;
        written_turns_ = true;
    }

    // Run k of the rows so far holds code k: each run brought a new key.
    void to_codes() {
        groups_.codes.resize(rows_);
        std::uint64_t row = 0;
        for (std::uint64_t run = 0; run < groups_.lengths.size(); ++run) {
            std::fill_n(groups_.codes.begin() + static_cast<std::ptrdiff_t>(row), groups_.lengths[run],
                        static_cast<std::uint32_t>(run));
            row += groups_.lengths[run];
        }
        groups_.lengths = {};
        groups_.runs = false;
    }

    std::uint64_t rows_, row_ = 0;
    std::uint64_t previous_ = std::numeric_limits<std::uint64_t>::max();
    // Rows from repeats_from_ to row_ repeat the rows turn_ before them, their codes not written.
    std::uint64_t repeats_from_ = unwritten, turn_ = 0;
    bool written_turns_ = false;  // some row was written since the first turn: the rows cannot take turns
    KeyGroups groups_;
};

// The first row from `row` on whose view differs from the view `back` rows before it, or whose key
// or that row's is missing: equal views hold the same characters in place or point at the same
// ones. A line of four rows at a time where every key is present.
std::int64_t repeating_views(const StringChunk& chunk, std::int64_t row, std::int64_t back) noexcept {
    const char* views = static_cast<const char*>(chunk.index) + 16 * chunk.offset;
    if (!chunk.validity) {
        for (; row + 4 <= chunk.length; row += 4) {
            const char* view = views + 16 * row;
            read_ahead(view);
            std::uint64_t differ = 0;
            for (int word = 0; word < 8; ++word) {
                differ |= read<std::uint64_t>(view + 8 * word) ^ read<std::uint64_t>(view + 8 * word - 16 * back);
            }
            if (differ != 0) break;
        }
    }
    for (; row < chunk.length; ++row) {
        const char* view = views + 16 * row;
        if (read<std::uint64_t>(view) != read<std::uint64_t>(view - 16 * back) ||
            read<std::uint64_t>(view + 8) != read<std::uint64_t>(view + 8 - 16 * back) || !chunk.present(row) ||
            !chunk.present(row - back)) {
            break;
        }
    }
    return row;
}

// How many rows from `row` on hold the key of `row` (present), at least one.
std::int64_t run_length(const StringChunk& chunk, std::int64_t row, std::string_view key) noexcept {
    std::int64_t end = row + 1;
    if (chunk.layout == StringChunk::Layout::views) {
        end = repeating_views(chunk, end, 1);
    } else {
        while (end < chunk.length && chunk.present(end) && chunk.key(end) == key) ++end;
    }
    return end - row;
}

// How many rows from `row` on hold the key of `row`, or lack a key as it does, at least one, in
// keys known to be sorted: every row between two rows of one key holds it, so the run's end is
// searched for, not read up to.
std::int64_t sorted_run_length(const StringChunk& chunk, std::int64_t row) noexcept {
    const bool present = chunk.present(row);
    const std::string_view key = present ? chunk.key(row) : std::string_view{};
    const auto same = [&](std::size_t r) {
        const auto at = static_cast<std::int64_t>(r);
        return chunk.present(at) == present && (!present || chunk.key(at) == key);
    };
    const std::size_t last = core::last_of_run(static_cast<std::size_t>(row), static_cast<std::size_t>(chunk.length), same);
    return static_cast<std::int64_t>(last) + 1 - row;
}

// Rows that repeat the row `turn` rows before them, with keys present: a frame in date order with
// every key once per date, `turn` the number of keys. Each row's code is that row's, with no look
// in the table. Returns the first row that differs, for the other paths.
std::int64_t repeated_keys(const StringChunk& chunk, std::int64_t row, std::int64_t turn,
                           GroupBuilder& builder) noexcept {
    const std::int64_t start = row;
    if (turn <= 0 || row < turn) return row;
    if (chunk.layout == StringChunk::Layout::views) {
        row = repeating_views(chunk, row, turn);
    } else {
        while (row < chunk.length && chunk.present(row) && chunk.present(row - turn) &&
               chunk.key(row) == chunk.key(row - turn)) {
            ++row;
        }
    }
    builder.repeated(static_cast<std::uint64_t>(turn), static_cast<std::uint64_t>(row - start));
    return row;
}

// Rows in no order (a key met again after others) with keys present, of at most 12 characters
// and numbered already: nearly every row of a frame of tickers in date order. Each key's two
// words are found in the table with no look at its neighbours, in a loop for one layout. Returns
// the first row that is none of these, for the general path.
template <StringChunk::Layout L, bool Nulls>
std::int64_t known_short_keys(const StringChunk& chunk, std::int64_t row, const KeyTable& table,
                              GroupBuilder& builder) noexcept {
    std::uint32_t* codes = builder.next_codes();
    const std::int64_t start = row;
    const char* end = nullptr;  // of the chunk's characters
    if constexpr (L != StringChunk::Layout::views) {
        const std::string_view last = chunk.key(chunk.length - 1);
        end = last.data() + last.size();
    }
    for (; row < chunk.length; ++row) {
        KeyWords words;
        if constexpr (L == StringChunk::Layout::views) {
            const char* view = static_cast<const char*>(chunk.index) + 16 * (chunk.offset + row);
            read_ahead(view);
            if (read<std::uint32_t>(view) > 12) break;
            words = words_of_view(view);
        } else {
            using Offset = std::conditional_t<L == StringChunk::Layout::offsets32, std::int32_t, std::int64_t>;
            const std::string_view key = offset_key<Offset>(chunk, row);
            if (key.size() > 12) break;
            words = words_of_short_text(key, end);
        }
        if (Nulls && !chunk.present(row)) break;
        const std::uint64_t code = table.find_whole(words);
        if (code == KeyTable::absent) break;
        codes[row - start] = static_cast<std::uint32_t>(code);
    }
    builder.passed(static_cast<std::uint64_t>(row - start));
    return row;
}

template <bool Nulls>
std::int64_t known_short_keys(const StringChunk& chunk, std::int64_t row, const KeyTable& table,
                              GroupBuilder& builder) noexcept {
    switch (chunk.layout) {
        case StringChunk::Layout::views:
            return known_short_keys<StringChunk::Layout::views, Nulls>(chunk, row, table, builder);
        case StringChunk::Layout::offsets32:
            return known_short_keys<StringChunk::Layout::offsets32, Nulls>(chunk, row, table, builder);
        case StringChunk::Layout::offsets64:
            return known_short_keys<StringChunk::Layout::offsets64, Nulls>(chunk, row, table, builder);
    }
    return row;
}

// A chunk with every key present (no validity bits, the usual case) skips the test at each row.
std::int64_t known_short_keys(const StringChunk& chunk, std::int64_t row, const KeyTable& table,
                              GroupBuilder& builder) noexcept {
    return chunk.validity ? known_short_keys<true>(chunk, row, table, builder)
                          : known_short_keys<false>(chunk, row, table, builder);
}

}  // namespace

std::optional<KeyGroups> group_string_keys(std::span<const StringChunk> chunks, bool codes_only, bool sorted) {
    std::uint64_t rows = 0;
    for (const StringChunk& chunk : chunks) rows += static_cast<std::uint64_t>(chunk.length);
    KeyTable table;
    GroupBuilder builder(rows);
    std::int64_t missing = -1;
    for (const StringChunk& chunk : chunks) {
        std::int64_t row = 0;
        while (row < chunk.length) {
            if (builder.in_codes()) {
                row = repeated_keys(chunk, row, static_cast<std::int64_t>(table.count()), builder);
                if (row < chunk.length) row = known_short_keys(chunk, row, table, builder);
                if (row == chunk.length) break;
            }
            bool added = false;
            std::uint64_t code;
            std::int64_t count = 1;
            if (!chunk.present(row)) {
                if (missing < 0) missing = static_cast<std::int64_t>(table.reserve()), added = true;
                code = static_cast<std::uint64_t>(missing);
                if (sorted) count = sorted_run_length(chunk, row);
            } else {
                const std::string_view key = chunk.key(row);
                const KeyWords words = chunk.layout == StringChunk::Layout::views
                    ? words_of_view(static_cast<const char*>(chunk.index) + 16 * (chunk.offset + row))
                    : words_of_text(key);
                code = table.code(words, key, added);
                // Rows in a run of one key, as in a frame sorted by key, skip the table.
                count = sorted ? sorted_run_length(chunk, row) : run_length(chunk, row, key);
            }
            if (added && table.count() >= std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
            builder.next(code, added, static_cast<std::uint64_t>(count));
            row += count;
        }
    }
    KeyGroups groups = builder.finish(codes_only, table.count());
    groups.missing_code = missing;
    return groups;
}

}  // namespace brindlex::batch
