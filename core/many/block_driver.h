// Blocks of equally long series taken by groups of lanes, side-by-side groups taking turns.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "core/many/lane_group.h"
#include "core/many/series_block.h"
#include "core/many/workspace.h"

namespace brindlex::core::BRINDLEX_LANES_NS {
namespace {

// --- Blocks: groups of G consecutive series. The few series left over after the whole groups
// (leftover_at_most or fewer) go to the leftover kernels, narrower groups or the one-series kernel:
// a group costs as much with empty or repeated lanes as full. Otherwise the last group, when
// short, takes the G series that end the block (recomputing some, to the same bits) so that
// side-by-side series stay side by side, and a block of fewer than G series repeats its last one
// in the spare lanes.

inline std::uint64_t series_alone(std::uint64_t count) noexcept {
    const std::uint64_t left = count % G;
    return left <= leftover_at_most ? left : 0;
}

// Groups that take turns over a block at most: enough series side by side for whole lines and
// pages of every row, and a bounded number of groups in the workspace however wide the block.
// 4,096 series a turn: 4,000 side by side, out= (ns an element), ATR 2.37 with 1,024 a turn
// against 2.03, MACD 2.29 against 2.17, the rest alike.
constexpr std::uint64_t turn_groups = 256;

inline std::uint64_t groups_in_turn(std::uint64_t count) noexcept {
    const std::uint64_t laned = count - series_alone(count);
    return smaller((laned + G - 1) / G, turn_groups);
}

// An output's lanes stream where the kernel's outputs do (`outputs_stream`) and the block is
// large (streams_size).
template <class Lanes_, class Block>
Lanes_ lanes_of(Block b, std::uint64_t first, std::uint64_t real, bool outputs_stream = false) noexcept {
    Lanes_ l;
    for (int j = 0; j < G; ++j) {
        const std::uint64_t k = first + smaller(static_cast<std::uint64_t>(j), real - 1);
        l.p[j] = b.data + static_cast<std::ptrdiff_t>(k) * b.series_stride;
    }
    l.stride = b.time_stride;
    if constexpr (std::is_same_v<Lanes_, Out>) {
        settle(l, outputs_stream && streams_size(b.count * b.length));
    } else {
        settle(l);
    }
    return l;
}

// Side by side, where an output's lanes would stream (`outputs_stream`, a large block), the
// groups start after core::series_before_line: every group's part of a row is then whole lines,
// each written once past the caches rather than read in first. Where rows are no whole number of
// lines apart, the rows that start a line still are.
inline std::uint64_t streamed_lead(BlockOut out, bool outputs_stream) noexcept {
    if (!adjacent_streams || !outputs_stream || !streams_size(out.count * out.length)) return 0;
    return series_before_line(out);
}

// The row windows (see RowWindow) of a kernel's outputs, one each at most: where the groups' states end.
constexpr std::size_t windows_at_most = 3;  // MACD's outputs

inline RowWindow* windows_after(void* groups_end) noexcept {
    return reinterpret_cast<RowWindow*>((address(groups_end) + 63) / 64 * 64);
}

// Bytes of row windows a workspace holds beside the groups' states, alignment included.
constexpr std::size_t row_windows_bytes = adjacent_streams ? 64 + windows_at_most * sizeof(RowWindow) : 0;

inline std::span<Out> outputs_of(Out& o) noexcept { return {&o, 1}; }
template <std::size_t N>
std::span<Out> outputs_of(Out (&o)[N]) noexcept {
    return o;
}

// Groups a turn needs for windows to pay: the turn's first and last lines of a row are shared
// with other series, so only whole lines between stream; with one group to a row (16 series
// side by side, 16 × 10^6), that is one line in three, and the windows' work made SMA 1.1 ns an
// element slower.
constexpr std::uint64_t windowed_from_groups = 4;

// A window for each output whose side-by-side rows stream (none where `windows` is null): its
// rows that start a line go out directly, the others through the window (rows no whole number of
// lines apart, or an output that starts elsewhere in a line than the first, by which the groups
// were placed). Elements not 8 bytes aligned are never streamed whole.
inline void give_windows(std::span<Out> outs, RowWindow* windows) noexcept {
    for (std::size_t k = 0; k < outs.size(); ++k) {
        Out& o = outs[k];
        const bool wanted = windows && adjacent_streams && o.streamed && o.mode == Mode::adjacent &&
                            address(o.p[0]) % sizeof(double) == 0;
        o.window = wanted ? windows + k : nullptr;
    }
}

// Side-by-side series are taken one tile of positions at a time across all the groups, row after
// row, not one group from start to end: a group's lanes are a sliver of each row, and walking one
// sliver down thousands of rows defeats the prefetchers and the address translation cache alike.
// The groups' running values go through the workspace between turns, but no chain waits on that:
// a group's next turn comes after every other group's.
// Turns of one tile and every group of the block in one batch are measured choices, not
// conveniences: turns of several tiles execute fewer instructions (the state's trips and the
// call are paid less often) yet run slower, since a turn then keeps that many more rows of every
// array in flight at once, more streams than the prefetchers follow; and fewer groups per batch
// turn each row into several strided walks.
// whole(first, count) computes series first..first + count - 1 with the leftover kernels.
// `lead` series first go to the leftover kernels, so that the groups start at a line (see
// streamed_lead).
template <class Make, class Whole>
void over_blocks(std::uint64_t count, std::uint64_t length, Workspace& work, Make&& make, Whole&& whole,
                 std::uint64_t lead = 0) noexcept {
    if (count == 0 || length == 0) return;
    if (count < lead + G) lead = 0;
    if (lead != 0) whole(0, lead);
    count -= lead;
    const std::uint64_t alone = series_alone(count);
    if (alone != 0) whole(lead + count - alone, alone);
    count -= alone;
    if (count == 0) return;
    const std::uint64_t groups = (count + G - 1) / G;
    const auto start_of = [&](std::uint64_t i) { return lead + (count >= G && (i + 1) * G > count ? count - G : i * G); };
    const std::uint64_t real = count < G ? count : G;
    GroupEnd end;
    const auto settle_group = [&](auto& kernel, std::uint64_t i) {
        kernel.finish(end);
        for (std::uint64_t j = 0; j < real; ++j) {
            if (end.redo[j]) whole(start_of(i) + j, 1);
        }
    };
    auto first = make(start_of(0), real);
    if (first.in_mode() != Mode::adjacent) {
        run_whole(first, end);
        settle_group(first, 0);
        for (std::uint64_t i = 1; i < groups; ++i) {
            auto k = make(start_of(i), real);
            run_whole(k, end);
            settle_group(k, i);
        }
        return;
    }
    using Kernel = decltype(first);
    static_assert(std::is_trivially_destructible_v<Kernel> && alignof(Kernel) <= 64);
    Kernel* const all = static_cast<Kernel*>(work.groups());  // groups_in_turn(count) of them
    // Nothing kept yet: the leftover kernels, run first, may have used this memory.
    RowWindow* const windows = windows_after(all + smaller(groups, turn_groups));  // see group_state_bytes
    if constexpr (adjacent_streams) {
        for (std::size_t k = 0; k < windows_at_most; ++k) std::fill_n(windows[k].kept, W, nullptr);
    }
    for (std::uint64_t b = 0; b < groups; b += turn_groups) {
        const std::uint64_t m = smaller(turn_groups, groups - b);
        for (std::uint64_t i = 0; i < m; ++i) {
            std::construct_at(all + i, b + i == 0 ? first : make(start_of(b + i), real));
            give_windows(outputs_of(all[i].out), m >= windowed_from_groups ? windows : nullptr);
        }
        std::uint64_t t0 = length;
        for (std::uint64_t i = 0; i < m; ++i) t0 = all[i].begin();  // the same for every group
        for (std::uint64_t t = t0; t < length; t += W) {
            const std::uint64_t to = smaller(t + W, length);
            for (std::uint64_t i = 0; i < m; ++i) all[i].advance(t, to);
        }
        // The starts of lines still kept go out before any series is redone over them.
        if constexpr (adjacent_streams) {
            for (std::size_t k = 0; k < windows_at_most; ++k) {
                for (int tt = 0; tt < W; ++tt) put_kept(windows[k], tt);
            }
        }
        for (std::uint64_t i = 0; i < m; ++i) settle_group(all[i], b + i);
    }
}

// SMA and EMA: one input, one output and one period, their lanes and tails alike.
template <class Kernel, class Whole>
void one_input_blocks(std::uint64_t period, BlockIn data, BlockOut out, Workspace& work, Whole whole) noexcept {
    over_blocks(
        data.count, data.length, work,
        [&](std::uint64_t first, std::uint64_t real) {
            return Kernel{period, data.length, lanes_of<In>(data, first, real), lanes_of<Out>(out, first, real, Kernel::outputs_stream)};
        },
        [&](std::uint64_t first, std::uint64_t count) {
            whole(period, sub_block(data, first, count), sub_block(out, first, count), work);
        },
        streamed_lead(out, Kernel::outputs_stream));
}

}  // namespace
}  // namespace brindlex::core::BRINDLEX_LANES_NS
