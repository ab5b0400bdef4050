// The rows of a long column grouped by an integer code per row: each group's rows in row order, groups by code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "core/many/huge_pages.h"

namespace brindlex::core {

// The codes are unsigned integers of any width, read where the caller holds them (a signed code of
// 0 or more reads the same as unsigned); every loop below is instantiated for each width in
// row_groups.cpp.
template <class Code>
concept CodeType = std::is_same_v<Code, std::uint8_t> || std::is_same_v<Code, std::uint16_t> ||
                   std::is_same_v<Code, std::uint32_t> || std::is_same_v<Code, std::uint64_t>;

// What one pass over the codes tells: the largest code, how many runs of equal adjacent codes
// there are, and whether the codes never decrease (then every group already is one run).
struct CodeScan {
    std::uint64_t largest = 0;
    std::uint64_t runs = 0;
    bool sorted = true;
};
template <CodeType Code>
CodeScan scan_codes(std::span<const Code> codes) noexcept;

// Codes below this are counted in a table of that many entries (a counting sort, linear in the
// rows); larger ones are first numbered in the order they appear (number_codes).
inline bool dense_codes(const CodeScan& scan, std::size_t rows) noexcept {
    return scan.largest < 2 * static_cast<std::uint64_t>(rows) + 1024;
}

// The last row of the run that begins at `start`, of `size` rows, where every row between two
// rows of one run belongs to it (each key's rows form one run): found by doubling steps, then
// halving them, from same(row), whether the row holds the run's key. A few dozen looks at a run of
// thousands of rows.
template <class Same>
std::size_t last_of_run(std::size_t start, std::size_t size, Same&& same) {
    std::size_t inside = start, step = 1;
    while (step < size - inside && same(inside + step)) inside += step, step *= 2;
    for (step /= 2; step > 0; step /= 2) {
        if (step < size - inside && same(inside + step)) inside += step;
    }
    return inside;
}

// The lengths of the runs of equal adjacent codes, in row order, written into `room` (scan.runs
// entries at least), where each code's rows form one run.
template <CodeType Code>
std::span<const std::uint64_t> run_lengths(std::span<const Code> codes, std::span<std::uint64_t> room) noexcept;

// Rows that take turns through the groups in one fixed order, as a panel appended date by date
// with every key once per date: the number of rows in a turn, where row i belongs to the group of
// row i mod that number (each group then holds rows / turn rows); 0 when the codes do not repeat
// so, or when a turn would be longer than `longest`. The rows of one turn may still share codes:
// count the groups to know.
template <CodeType Code>
std::uint64_t turn_length(std::span<const Code> codes, std::uint64_t longest) noexcept;

// Counting sort, in two steps. count_groups fills `table` (scan.largest + 1 entries) with each
// code's count and gives the number of groups. place_rows then writes each row's slot into `slots`
// (one entry per row): where the row lies when the rows are laid out group by group, each group's
// rows in row order. It leaves in the first entries of `table` the groups' sizes by increasing
// code, and gives the number of groups.
template <CodeType Code>
std::size_t count_groups(std::span<const Code> codes, std::span<std::uint64_t> table) noexcept;
template <CodeType Code>
std::size_t place_rows(std::span<const Code> codes, std::span<std::uint64_t> table,
                       std::span<std::uint64_t> slots) noexcept;

// Sparse codes numbered 0, 1, 2... in the order they first appear, so that their rows are grouped
// as dense codes are (sorting the rows by code took 110 ns a row, 500 codes in 1.26 million rows).
// The codes seen are kept in `table`, a power of two entries, by open addressing. number_codes
// numbers the rows from `row` on into `numbers`, `seen` the codes numbered so far; it stops at the
// first row whose code would fill the table past half, and gives that row (codes.size() once every
// row is numbered): the caller then moves the table to one twice as large (move_codes) and goes on.
struct CodeSlot {
    std::uint64_t code = 0;
    std::uint64_t number = 0;  // the code's number + 1; 0: a free slot
};
template <CodeType Code, class Number>
std::size_t number_codes(std::span<const Code> codes, std::size_t row, std::span<Number> numbers,
                         std::span<CodeSlot> table, std::uint64_t& seen) noexcept;
void move_codes(std::span<const CodeSlot> from, std::span<CodeSlot> to) noexcept;

#define BRINDLEX_ROW_GROUP_LOOPS(X) X(std::uint8_t) X(std::uint16_t) X(std::uint32_t) X(std::uint64_t)
#define BRINDLEX_DECLARE_ROW_GROUP_LOOPS(Code)                                                                  \
    extern template CodeScan scan_codes(std::span<const Code>) noexcept;                                        \
    extern template std::span<const std::uint64_t> run_lengths(std::span<const Code>, std::span<std::uint64_t>) \
        noexcept;                                                                                               \
    extern template std::uint64_t turn_length(std::span<const Code>, std::uint64_t) noexcept;                  \
    extern template std::size_t count_groups(std::span<const Code>, std::span<std::uint64_t>) noexcept;         \
    extern template std::size_t place_rows(std::span<const Code>, std::span<std::uint64_t>,                     \
                                           std::span<std::uint64_t>) noexcept;                                  \
    extern template std::size_t number_codes(std::span<const Code>, std::size_t, std::span<std::uint32_t>,          \
                                             std::span<CodeSlot>, std::uint64_t&) noexcept;                     \
    extern template std::size_t number_codes(std::span<const Code>, std::size_t, std::span<std::uint64_t>,          \
                                             std::span<CodeSlot>, std::uint64_t&) noexcept;
BRINDLEX_ROW_GROUP_LOOPS(BRINDLEX_DECLARE_ROW_GROUP_LOOPS)
#undef BRINDLEX_DECLARE_ROW_GROUP_LOOPS

// The groups of a column. Made by RowGroups::of, which allocates everything first and throws
// std::bad_alloc when memory runs out (the kernels' library is built without exceptions, so the
// allocating part lies here, inline, in the callers that have them).
class RowGroups {
public:
    // `stream_bytes`: the memory a group's stream takes, where the call can be computed row by
    // row (0: it cannot).
    template <CodeType Code>
    static RowGroups of(std::span<const Code> codes, std::uint64_t stream_bytes = 0);

    // The groups' sizes, none empty: by increasing code (sparse codes: by first appearance), or in
    // row order when slots() is empty.
    std::span<const std::uint64_t> lengths() const noexcept { return {lengths_.data(), groups_}; }
    // Each row's slot when the rows are laid out group by group, each group's rows in row order;
    // empty when every group already is one run of adjacent rows, so that the column is cut by
    // `lengths` as it lies. Slots rather than the rows in their new order: a pass over the rows
    // then reads (or writes) the column in order and writes (or reads) each group's stretch in
    // order, where a pass in the new order would jump through the column at every row.
    std::span<const std::uint64_t> slots() const noexcept { return slots_; }
    // Rows that take turns through the groups: the number of groups, each row in the group of row
    // (row mod groups), so that the column is a block of that many series along a strided time
    // axis, read and written where it lies. 0 otherwise; lengths() and slots() are then empty.
    std::uint64_t turns() const noexcept { return turns_; }
    // Groups whose rows interleave, to be computed row by row, each row updating the stream of its
    // group (see of()): how many streams, one per code up to the largest. 0 otherwise; lengths()
    // and slots() are then empty.
    std::uint64_t streams() const noexcept { return streams_; }
    // For streams of sparse codes, the number each row's code was given (0 .. streams() - 1),
    // number_width() bytes each (4, or 8 beyond 2^32 rows), in place of the codes; else empty.
    const void* numbers() const noexcept { return numbers_.empty() ? nullptr : numbers_.data(); }
    std::size_t number_width() const noexcept { return number_width_; }

private:
    RowGroups() = default;
    template <CodeType Code>
    void as_runs(std::span<const Code> codes, std::uint64_t runs);
    template <CodeType Code>
    bool as_turns(std::span<const Code> codes, std::uint64_t turn, std::uint64_t largest);
    template <class Number, CodeType Code>
    static RowGroups of_numbered(std::span<const Code> codes, std::uint64_t stream_bytes);

    std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> lengths_;
    std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> slots_;
    std::size_t groups_ = 0;
    std::uint64_t turns_ = 0;
    std::uint64_t streams_ = 0;
    std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> numbers_;  // number_width_ bytes a row
    std::size_t number_width_ = 0;
};

// Whether the groups of dense codes are computed row by row: some group comes back after others
// (more runs than codes), as in rows in no order or dates with keys missing, and the streams of
// the codes take no more memory than one column of the rows, or than a mebibyte. Row by row, the
// column is read and written once, in order; group by group, it is copied into group order and
// back, and each copy jumps between as many places as there are groups.
inline bool streamed(const CodeScan& scan, std::size_t rows, std::uint64_t stream_bytes) noexcept {
    const std::uint64_t streams = scan.largest + 1;
    const std::uint64_t room = std::max<std::uint64_t>(8 * static_cast<std::uint64_t>(rows), std::uint64_t{1} << 20);
    return stream_bytes != 0 && scan.runs > streams && stream_bytes <= room / streams;
}

template <CodeType Code>
void RowGroups::as_runs(std::span<const Code> codes, std::uint64_t runs) {
    lengths_.resize(runs);
    groups_ = run_lengths(codes, std::span<std::uint64_t>(lengths_)).size();
    slots_.clear();
}

// Rows that take turns with every group once a turn: the first turn's rows hold `turn` distinct
// codes (counted in a table up to `largest`).
template <CodeType Code>
bool RowGroups::as_turns(std::span<const Code> codes, std::uint64_t turn, std::uint64_t largest) {
    lengths_.resize(largest + 1);
    const bool turns = count_groups(codes.first(turn), std::span<std::uint64_t>(lengths_)) == turn;
    if (turns) {
        turns_ = turn;
        lengths_.clear();
    }
    return turns;
}

// A turn of at most this many rows is looked for before any pass over the codes.
constexpr std::uint64_t turn_looked_for_first = std::uint64_t{1} << 16;

template <CodeType Code>
RowGroups RowGroups::of(std::span<const Code> codes, std::uint64_t stream_bytes) {
    RowGroups g;
    // Rows in date order need no pass over the codes but the one comparing each row with the row a
    // turn before, which rows in any other order fail within a few rows.
    if (const std::uint64_t turn = turn_length(codes, turn_looked_for_first); turn > 1) {
        const std::uint64_t largest = *std::max_element(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(turn));
        if (dense_codes({largest, 0, false}, codes.size()) && g.as_turns(codes, turn, largest)) return g;
    }
    const CodeScan scan = scan_codes(codes);
    // Codes that never decrease, or whose every group is one run, cut the column as it lies.
    if (scan.sorted) {
        g.as_runs(codes, scan.runs);
        return g;
    }
    if (dense_codes(scan, codes.size())) {
        g.lengths_.resize(scan.largest + 1);
        // Groups that take turns, one row each per turn, are a block of series as it lies: the
        // rows of the first turn hold every group once. Turns too long to be looked for first are
        // looked for here; rows in no such order fail the test early.
        if (const std::uint64_t turn = turn_length(codes, codes.size());
            turn > turn_looked_for_first && g.as_turns(codes, turn, scan.largest)) {
            return g;
        }
        if (streamed(scan, codes.size(), stream_bytes)) {
            g.streams_ = scan.largest + 1;
            g.lengths_.clear();
            return g;
        }
        if (count_groups(codes, std::span<std::uint64_t>(g.lengths_)) == scan.runs) {
            g.as_runs(codes, scan.runs);
            return g;
        }
        g.slots_.resize(codes.size());
        g.groups_ = place_rows(codes, std::span<std::uint64_t>(g.lengths_), std::span<std::uint64_t>(g.slots_));
        return g;
    }
    if (codes.size() <= std::numeric_limits<std::uint32_t>::max()) return of_numbered<std::uint32_t>(codes, stream_bytes);
    return of_numbered<std::uint64_t>(codes, stream_bytes);
}

// Sparse codes in no order: the groups of their numbers, which are dense.
template <class Number, CodeType Code>
RowGroups RowGroups::of_numbered(std::span<const Code> codes, std::uint64_t stream_bytes) {
    constexpr std::size_t per_word = sizeof(std::uint64_t) / sizeof(Number);
    std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> words((codes.size() + per_word - 1) / per_word);
    const std::span<Number> numbers(reinterpret_cast<Number*>(words.data()), codes.size());
    std::vector<CodeSlot> table(64);
    std::uint64_t seen = 0;
    for (std::size_t row = 0; (row = number_codes(codes, row, numbers, std::span<CodeSlot>(table), seen)) < codes.size();) {
        std::vector<CodeSlot> larger(2 * table.size());
        move_codes(table, larger);
        table.swap(larger);
    }
    RowGroups g = of(std::span<const Number>(numbers), stream_bytes);
    if (g.streams_ != 0) {
        g.numbers_ = std::move(words);
        g.number_width_ = sizeof(Number);
    }
    return g;
}

}  // namespace brindlex::core
