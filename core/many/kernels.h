// Many series per call: every series' result is bit for bit what the one-series kernel gives it.
#pragma once

#include <cstdint>
#include <span>

#include "core/many/kernel_list.h"
#include "core/many/series_block.h"

namespace brindlex::core {

// The kernels, one name each (kernel_list.h has their parameters):
//
// Blocks, sma_many, ema_many, macd_many, atr_many: every block of a call has the same length and
// count (the caller checks). Precondition: no output shares memory with an input or with another
// output. MACD's periods already checked as the one-series entry point checks them (all >= 1,
// fast < slow). Single-threaded and pure; to split the work, call on sub-blocks (sub_block) from
// several threads.
//
// Runs, sma_runs, ema_runs, macd_runs, atr_runs: consecutive series of one contiguous column (a
// long frame). Run r has lengths[r] elements; the lengths sum to data.size(), and every slice has
// that size. Zero-length runs are allowed. To split the work, call on sub-spans of `lengths` with
// the matching sub-slices.
//
// Sweeps, sma_sweep, ema_sweep, atr_sweep, macd_sweep: one series (`data`, or ATR's bars, blocks
// of one) under every period of `periods`, row k of `out` (a block of periods.size() series of
// data's length) computed with periods[k], exactly as the one-series kernel computes it. Any
// periods, repeated or not.
// macd_sweep: periods holds three a row (fast, slow, signal), each row checked as the one-series
// entry point checks them; row k of the three outputs computed with periods[3k..3k+2].
//
// Every kernel takes, last, a Workspace made for its call (workspace_for with the same arguments,
// or Workspace::for_blocks / for_runs); a thread's share is its own call, with its own workspace.
BRINDLEX_MANY_KERNEL_LIST(BRINDLEX_DECLARE_KERNEL)

// The same kernels making their own workspace: std::bad_alloc, before anything is written, when
// memory runs out.
#define BRINDLEX_ALLOCATING_KERNEL(name, parameters, arguments) \
    inline void name parameters {                               \
        Workspace work = workspace_for arguments;              \
        name(BRINDLEX_UNPAREN arguments, work);                 \
    }
BRINDLEX_MANY_KERNEL_LIST(BRINDLEX_ALLOCATING_KERNEL)
#undef BRINDLEX_ALLOCATING_KERNEL

// How many series one group of lanes of the chosen target takes: a thread's share of a block is
// best a whole number of groups.
std::uint64_t series_per_group() noexcept;

// The instruction sets the kernels are built for: SSE2, AVX2 and AVX-512 on x86-64, NEON on ARM64.
// `scalar` is the reference on both: each series gathered and handed to the one-series kernel.
enum class Target { scalar, sse2, avx2, avx512, neon };

// The targets this processor runs, from `scalar` up to the fastest, which is the default (AVX2
// where AVX-512 is there too, with the few kernels that AVX-512 runs faster taken from it: see
// dispatch.cpp).
std::span<const Target> available_targets() noexcept;
// For tests and benchmarks: every later call, on every thread, uses `target` for every kernel (a
// target this processor lacks is ignored), until use_default_targets(). Not meant to be changed
// while another thread is computing.
void force_target(Target target) noexcept;
void use_default_targets() noexcept;
// For tests: while on, every later call streams every output that its lanes can stream, however
// small (see lane_group.h), so that small inputs reach that path too.
void force_streamed_stores(bool on) noexcept;
bool streamed_stores_forced() noexcept;

// An output array of this many bytes or more is written with streaming stores, where the kernels
// (those whose outputs stream) or the row-by-row loops write it. Below, it is likely read again
// soon and fits in the caches, which streaming stores would bypass; above, it would mostly have
// left the caches anyway, and reading each line before writing it is a third of the memory
// traffic.
constexpr std::uint64_t streamed_from_bytes = std::uint64_t{4} << 20;

// Outputs the caller has just allocated are written as usual, however large: the system hands
// them out as fresh pages, zeroed when first touched, whose lines are then in the caches, where a
// streaming store must first evict them (500 × 2,520, allocating: MACD 2.9 against 2.7 ns an
// element streamed; 4,000 × 2,520: 5.8 against 4.6), and the caller often reads them next. While
// a FreshOutputs(true) lives, the kernels this thread runs write as usual.
bool streamed_stores_allowed() noexcept;
class FreshOutputs {
public:
    explicit FreshOutputs(bool fresh) noexcept;
    ~FreshOutputs();
    FreshOutputs(const FreshOutputs&) = delete;
    FreshOutputs& operator=(const FreshOutputs&) = delete;

private:
    bool before_;
};

// Whether an output array of `elements` is large enough to stream, and may.
inline bool streams_size(std::uint64_t elements) noexcept {
    return streamed_stores_forced() || (elements >= streamed_from_bytes / 8 && streamed_stores_allowed());
}

}  // namespace brindlex::core
