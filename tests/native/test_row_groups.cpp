// Grouping the rows of a column by code: each group's rows in row order, against a stable sort, for every width of code.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "core/many/row_groups.h"

namespace brindlex::test {
namespace {

// The groups as a stable sort by code gives them: the rows group by group, and the groups' sizes.
template <class Code>
void stable_groups(const std::vector<Code>& codes, std::vector<std::uint64_t>& rows,
                   std::vector<std::uint64_t>& lengths) {
    rows.resize(codes.size());
    std::iota(rows.begin(), rows.end(), 0);
    std::stable_sort(rows.begin(), rows.end(), [&](std::uint64_t a, std::uint64_t b) { return codes[a] < codes[b]; });
    lengths.clear();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i == 0 || codes[rows[i]] != codes[rows[i - 1]]) lengths.push_back(0);
        ++lengths.back();
    }
}

// Every group one run of adjacent rows: the column can be cut as it lies.
template <class Code>
bool adjacent(const std::vector<Code>& codes) {
    std::vector<Code> heads;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (i == 0 || codes[i] != codes[i - 1]) heads.push_back(codes[i]);
    }
    std::sort(heads.begin(), heads.end());
    return std::adjacent_find(heads.begin(), heads.end()) == heads.end();
}

// Rows that take turns through the groups (row i in the group of row i mod t, the first t rows
// all different, at least two turns): t; else 0.
template <class Code>
std::uint64_t turns(const std::vector<Code>& codes) {
    for (std::size_t t = 1; 2 * t <= codes.size(); ++t) {
        if (codes.size() % t != 0) continue;
        std::vector<Code> first(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(t));
        std::sort(first.begin(), first.end());
        bool periodic = std::adjacent_find(first.begin(), first.end()) == first.end();
        for (std::size_t i = t; i < codes.size() && periodic; ++i) periodic = codes[i] == codes[i % t];
        if (periodic) return t;
    }
    return 0;
}

// The codes numbered 0, 1, 2... in the order they first appear.
template <class Code>
std::vector<std::uint64_t> first_appearance(const std::vector<Code>& codes) {
    std::vector<Code> seen;
    std::vector<std::uint64_t> numbers;
    for (const Code code : codes) {
        const auto at = std::find(seen.begin(), seen.end(), code);
        numbers.push_back(static_cast<std::uint64_t>(at - seen.begin()));
        if (at == seen.end()) seen.push_back(code);
    }
    return numbers;
}

template <class Code>
void check_random_codes(std::mt19937_64& random) {
    for (int round = 0; round < 300; ++round) {
        const std::size_t rows = random() % 200;
        // Up to 100 groups: sparse codes outgrow the first table of the codes seen.
        const std::size_t groups = 1 + random() % (random() % 2 == 0 ? 12 : 100);
        // Dense codes, or codes near the width's top, far beyond any table.
        const bool sparse = random() % 2 == 0;
        std::vector<Code> names(groups);
        for (Code& name : names) {
            const Code drawn = static_cast<Code>(random() % 256);
            name = sparse ? static_cast<Code>(std::numeric_limits<Code>::max() - drawn) : drawn;
        }
        std::vector<Code> codes(rows);
        for (Code& code : codes) code = names[random() % groups];
        if (random() % 3 == 0) std::sort(codes.begin(), codes.end());
        // Rows in date order: the groups take turns, or nearly (a last turn cut short, the last two
        // rows swapped, or names drawn twice).
        if (random() % 4 == 0 && rows > groups) {
            for (std::size_t i = 0; i < rows; ++i) codes[i] = names[i % groups];
            if (random() % 2 == 0) std::swap(codes[rows - 1], codes[rows - 2]);
        }
        // Codes beyond a table's reach are grouped by the order they first appear in, which
        // keeps rows that take turns taking turns.
        const bool counted = codes.empty() || *std::max_element(codes.begin(), codes.end()) < 2 * rows + 1024;
        const std::vector<std::uint64_t> keys =
            counted ? std::vector<std::uint64_t>(codes.begin(), codes.end()) : first_appearance(codes);
        std::vector<std::uint64_t> rows_want, lengths_want;
        stable_groups(keys, rows_want, lengths_want);

        const core::RowGroups got = core::RowGroups::of(std::span<const Code>(codes));
        const auto lengths = got.lengths();
        const std::uint64_t turn = adjacent(codes) ? 0 : turns(codes);
        ASSERT_EQ(got.turns(), turn);
        if (turn != 0) {
            // A block of series as the column lies: no runs, no slots.
            ASSERT_TRUE(got.slots().empty() && lengths.empty());
        } else if (adjacent(codes)) {
            // Cut as the column lies: the runs' lengths in row order.
            ASSERT_TRUE(got.slots().empty());
            std::vector<std::uint64_t> runs;
            for (std::size_t i = 0; i < rows; ++i) {
                if (i == 0 || codes[i] != codes[i - 1]) runs.push_back(0);
                ++runs.back();
            }
            ASSERT_EQ(std::vector<std::uint64_t>(lengths.begin(), lengths.end()), runs);
        } else {
            std::vector<std::uint64_t> slots_want(rows);
            for (std::size_t k = 0; k < rows; ++k) slots_want[rows_want[k]] = k;
            ASSERT_EQ(std::vector<std::uint64_t>(got.slots().begin(), got.slots().end()), slots_want);
            ASSERT_EQ(std::vector<std::uint64_t>(lengths.begin(), lengths.end()), lengths_want);
        }
    }
}

TEST(RowGroups, EachGroupsRowsInRowOrderForEveryWidthOfCode) {
    std::mt19937_64 random(18);
    check_random_codes<std::uint8_t>(random);
    check_random_codes<std::uint16_t>(random);
    check_random_codes<std::uint32_t>(random);
    check_random_codes<std::uint64_t>(random);
}

}  // namespace
}  // namespace brindlex::test
