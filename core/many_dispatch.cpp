// The one dispatch point of the many-series kernels: the best target this processor runs, or the one forced.
#include <atomic>

#include "many.h"
#include "many_targets.h"

namespace brindlex::core {
namespace {

struct Kernels {
    decltype(&scalar::sma_many) sma_many;
    decltype(&scalar::ema_many) ema_many;
    decltype(&scalar::macd_many) macd_many;
    decltype(&scalar::atr_many) atr_many;
    decltype(&scalar::sma_runs) sma_runs;
    decltype(&scalar::ema_runs) ema_runs;
    decltype(&scalar::macd_runs) macd_runs;
    decltype(&scalar::atr_runs) atr_runs;
};

#define BRINDLEX_KERNELS_OF(ns) \
    Kernels { ns::sma_many, ns::ema_many, ns::macd_many, ns::atr_many, ns::sma_runs, ns::ema_runs, ns::macd_runs, ns::atr_runs }

// Indexed by Target.
const Kernels table[] = {BRINDLEX_KERNELS_OF(scalar), BRINDLEX_KERNELS_OF(sse2), BRINDLEX_KERNELS_OF(avx2)};

struct Targets {
    Target list[3];
    std::size_t count;
};

// SSE2 is part of x86-64; AVX2 is asked of the processor once.
Targets detect() noexcept {
    Targets t{{Target::scalar, Target::sse2}, 2};
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) t.list[t.count++] = Target::avx2;
    return t;
}

const Targets& targets() noexcept {
    static const Targets t = detect();
    return t;
}

std::atomic<Target> chosen{targets().list[targets().count - 1]};

const Kernels& kernels() noexcept { return table[static_cast<int>(chosen.load(std::memory_order_relaxed))]; }

}  // namespace

std::span<const Target> available_targets() noexcept { return {targets().list, targets().count}; }

void force_target(Target target) noexcept {
    for (const Target t : available_targets()) {
        if (t == target) chosen.store(target, std::memory_order_relaxed);
    }
}

Target current_target() noexcept { return chosen.load(std::memory_order_relaxed); }

void sma_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept { kernels().sma_many(period, data, out); }

void ema_many(std::uint64_t period, BlockIn data, BlockOut out) noexcept { kernels().ema_many(period, data, out); }

void macd_many(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, BlockIn data, BlockOut macd,
               BlockOut signal_out, BlockOut hist) noexcept {
    kernels().macd_many(fast, slow, signal, data, macd, signal_out, hist);
}

void atr_many(std::uint64_t period, BlockIn high, BlockIn low, BlockIn close, BlockOut out) noexcept {
    kernels().atr_many(period, high, low, close, out);
}

void sma_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out) noexcept {
    kernels().sma_runs(period, data, lengths, out);
}

void ema_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out) noexcept {
    kernels().ema_runs(period, data, lengths, out);
}

void macd_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, InputSlice data,
               std::span<const std::uint64_t> lengths, OutputSlice macd, OutputSlice signal_out,
               OutputSlice hist) noexcept {
    kernels().macd_runs(fast, slow, signal, data, lengths, macd, signal_out, hist);
}

void atr_runs(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
              std::span<const std::uint64_t> lengths, OutputSlice out) noexcept {
    kernels().atr_runs(period, high, low, close, lengths, out);
}

}  // namespace brindlex::core
