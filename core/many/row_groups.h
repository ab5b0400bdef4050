// The rows of a long column grouped by an integer code per row: each group's rows in row order, groups by code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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
// rows); larger ones are sorted with their rows.
inline bool dense_codes(const CodeScan& scan, std::size_t rows) noexcept {
    return scan.largest < 2 * static_cast<std::uint64_t>(rows) + 1024;
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

// Sparse codes: `pairs` (one per row) sorted by (code, row), which is a stable sort by code;
// gives the number of groups.
using CodeRow = std::pair<std::uint64_t, std::uint64_t>;
template <CodeType Code>
std::size_t sort_pairs(std::span<const Code> codes, std::span<CodeRow> pairs) noexcept;
// The rows' slots and the groups' sizes of sorted pairs.
void split_pairs(std::span<const CodeRow> pairs, std::span<std::uint64_t> slots,
                 std::span<std::uint64_t> lengths) noexcept;

#define BRINDLEX_ROW_GROUP_LOOPS(X) X(std::uint8_t) X(std::uint16_t) X(std::uint32_t) X(std::uint64_t)
#define BRINDLEX_DECLARE_ROW_GROUP_LOOPS(Code)                                                                  \
    extern template CodeScan scan_codes(std::span<const Code>) noexcept;                                        \
    extern template std::span<const std::uint64_t> run_lengths(std::span<const Code>, std::span<std::uint64_t>) \
        noexcept;                                                                                               \
    extern template std::uint64_t turn_length(std::span<const Code>, std::uint64_t) noexcept;                  \
    extern template std::size_t count_groups(std::span<const Code>, std::span<std::uint64_t>) noexcept;         \
    extern template std::size_t place_rows(std::span<const Code>, std::span<std::uint64_t>,                     \
                                           std::span<std::uint64_t>) noexcept;                                  \
    extern template std::size_t sort_pairs(std::span<const Code>, std::span<CodeRow>) noexcept;
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

    // The groups' sizes, none empty: by increasing code, or in row order when `rows` is empty.
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

private:
    RowGroups() = default;
    template <CodeType Code>
    void as_runs(std::span<const Code> codes, std::uint64_t runs);
    template <CodeType Code>
    bool as_turns(std::span<const Code> codes, std::uint64_t turn, std::uint64_t largest);

    std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> lengths_;
    std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> slots_;
    std::size_t groups_ = 0;
    std::uint64_t turns_ = 0;
    std::uint64_t streams_ = 0;
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
    std::vector<CodeRow, HugePageAllocator<CodeRow>> pairs(codes.size());
    const std::size_t groups = sort_pairs(codes, std::span<CodeRow>(pairs));
    if (groups == scan.runs) {
        g.as_runs(codes, scan.runs);
        return g;
    }
    g.slots_.resize(codes.size());
    g.lengths_.resize(groups);
    g.groups_ = groups;
    split_pairs(pairs, g.slots_, g.lengths_);
    return g;
}

}  // namespace brindlex::core
