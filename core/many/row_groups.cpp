// The rows of a long column grouped by an integer code per row: the counting and sorting loops, for each width of code.
#include "core/many/row_groups.h"

#include <algorithm>
#include <bit>
#include <type_traits>

namespace brindlex::core {

template <CodeType Code>
CodeScan scan_codes(std::span<const Code> codes) noexcept {
    if (codes.empty()) return {};
    Code largest = codes[0];
    std::uint64_t changes = 0, falls = 0;
    // Counted a block at a time in counters as wide as the codes, which the loop then runs on as
    // many lanes as it compares codes (a 64-bit counter per code took several times longer).
    using Count = std::conditional_t<sizeof(Code) == 1, std::uint16_t, Code>;
    constexpr std::size_t block = 4096;
    for (std::size_t from = 1; from < codes.size(); from += block) {
        const std::size_t to = std::min(codes.size(), from + block);
        Count block_changes = 0, block_falls = 0;
        for (std::size_t i = from; i < to; ++i) {
            largest = std::max(largest, codes[i]);
            block_changes += codes[i] != codes[i - 1];
            block_falls += codes[i] < codes[i - 1];
        }
        changes += block_changes;
        falls += block_falls;
    }
    return {largest, changes + 1, falls == 0};
}

template <CodeType Code>
std::span<const std::uint64_t> run_lengths(std::span<const Code> codes, std::span<std::uint64_t> room) noexcept {
    std::size_t runs = 0;
    for (std::size_t start = 0; start < codes.size();) {
        // Each group is one run: a row holding the run's code lies inside the run.
        const Code code = codes[start];
        const std::size_t inside = last_of_run(start, codes.size(), [&](std::size_t row) { return codes[row] == code; });
        room[runs++] = inside + 1 - start;
        start = inside + 1;
    }
    return room.first(runs);
}

template <CodeType Code>
std::uint64_t turn_length(std::span<const Code> codes, std::uint64_t longest) noexcept {
    if (codes.empty()) return 0;
    // The first row back at the first row's code ends the first turn; every later row must repeat
    // the row one turn before it. Rows in any other order fail within a few rows.
    const auto window = codes.first(std::min<std::uint64_t>(codes.size(), longest + 1));
    const auto turn = static_cast<std::size_t>(std::find(window.begin() + 1, window.end(), codes[0]) - codes.begin());
    if (turn == window.size()) return 0;
    if (codes.size() % turn != 0) return 0;
    // Compared a stretch at a time, with no exit inside one, so that the comparisons vectorize.
    constexpr std::size_t stretch = 4096;
    for (std::size_t from = turn; from < codes.size(); from += stretch) {
        const std::size_t to = std::min(codes.size(), from + stretch);
        Code differ = 0;
        for (std::size_t i = from; i < to; ++i) differ |= codes[i] ^ codes[i - turn];
        if (differ != 0) return 0;
    }
    return turn;
}

template <CodeType Code>
std::size_t count_groups(std::span<const Code> codes, std::span<std::uint64_t> table) noexcept {
    std::fill(table.begin(), table.end(), 0);
    for (const Code c : codes) ++table[c];
    return static_cast<std::size_t>(std::count_if(table.begin(), table.end(), [](std::uint64_t n) { return n != 0; }));
}

template <CodeType Code>
std::size_t place_rows(std::span<const Code> codes, std::span<std::uint64_t> table,
                       std::span<std::uint64_t> slots) noexcept {
    // Each code's count becomes where its rows begin; placing a row moves that to where the next
    // goes, so that, once all are placed, each entry is where its code's rows end.
    std::uint64_t start = 0;
    for (std::uint64_t& entry : table) start += std::exchange(entry, start);
    for (std::size_t i = 0; i < codes.size(); ++i) slots[i] = table[codes[i]]++;
    // The ends of the codes present, as sizes, moved to the front: entry k is written after
    // entry c >= k is read.
    std::size_t groups = 0;
    std::uint64_t end = 0;
    for (const std::uint64_t next : table) {
        if (next != end) table[groups++] = next - end;
        end = next;
    }
    return groups;
}

namespace {

// Where a code's search in a table of 2^(64 - shift) slots begins. Fibonacci hashing: the top bits
// of the code times 2^64 / phi, which spreads codes that differ in their low bits only, or in
// their high bits only.
std::size_t first_slot(std::uint64_t code, int shift) noexcept {
    return static_cast<std::size_t>((code * 0x9E3779B97F4A7C15u) >> shift);
}

}  // namespace

template <CodeType Code, class Number>
std::size_t number_codes(std::span<const Code> codes, std::size_t row, std::span<Number> numbers,
                         std::span<CodeSlot> table, std::uint64_t& seen) noexcept {
    const int shift = 64 - std::countr_zero(table.size());
    const std::size_t mask = table.size() - 1;
    for (; row < codes.size(); ++row) {
        // A row with the code of the row before is numbered alike without a look in the table:
        // the rows of a group often lie together.
        if (row > 0 && codes[row] == codes[row - 1]) {
            numbers[row] = numbers[row - 1];
            continue;
        }
        const std::uint64_t code = codes[row];
        std::size_t slot = first_slot(code, shift);
        while (table[slot].number != 0 && table[slot].code != code) slot = (slot + 1) & mask;
        if (table[slot].number == 0) {
            if (2 * (seen + 1) > table.size()) return row;
            table[slot] = {code, ++seen};
        }
        numbers[row] = static_cast<Number>(table[slot].number - 1);
    }
    return row;
}

void move_codes(std::span<const CodeSlot> from, std::span<CodeSlot> to) noexcept {
    const int shift = 64 - std::countr_zero(to.size());
    const std::size_t mask = to.size() - 1;
    for (const CodeSlot& entry : from) {
        if (entry.number == 0) continue;
        std::size_t slot = first_slot(entry.code, shift);
        while (to[slot].number != 0) slot = (slot + 1) & mask;
        to[slot] = entry;
    }
}

#define BRINDLEX_DEFINE_ROW_GROUP_LOOPS(Code)                                                                          \
    template CodeScan scan_codes(std::span<const Code>) noexcept;                                                      \
    template std::span<const std::uint64_t> run_lengths(std::span<const Code>, std::span<std::uint64_t>) noexcept;   \
    template std::uint64_t turn_length(std::span<const Code>, std::uint64_t) noexcept;                                                \
    template std::size_t count_groups(std::span<const Code>, std::span<std::uint64_t>) noexcept;                     \
    template std::size_t place_rows(std::span<const Code>, std::span<std::uint64_t>, std::span<std::uint64_t>) noexcept; \
    template std::size_t number_codes(std::span<const Code>, std::size_t, std::span<std::uint32_t>, std::span<CodeSlot>, \
                                      std::uint64_t&) noexcept;                                                        \
    template std::size_t number_codes(std::span<const Code>, std::size_t, std::span<std::uint64_t>, std::span<CodeSlot>, \
                                      std::uint64_t&) noexcept;
BRINDLEX_ROW_GROUP_LOOPS(BRINDLEX_DEFINE_ROW_GROUP_LOOPS)

}  // namespace brindlex::core
