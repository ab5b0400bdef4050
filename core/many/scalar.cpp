// The reference many-series kernels: each series gathered into contiguous memory and handed to the one-series kernel.
#include "core/atr.h"
#include "core/ema.h"
#include "core/macd.h"
#include "core/many/targets.h"
#include "core/sma.h"

namespace brindlex::core::scalar {
namespace {

// One series of a block: borrowed in place when its elements are adjacent, else copied into
// `buffer`, which holds at least `length` elements (the workspace's series, there whenever some
// array of the call is strided).
InputSlice series_in(BlockIn b, std::uint64_t k, double* buffer) noexcept {
    const unaligned_double* p = b.data + static_cast<std::ptrdiff_t>(k) * b.series_stride;
    if (b.time_stride == 1) return {p, b.length};
    for (std::uint64_t t = 0; t < b.length; ++t) buffer[t] = p[static_cast<std::ptrdiff_t>(t) * b.time_stride];
    return {buffer, b.length};
}

OutputSlice series_out(BlockOut b, std::uint64_t k, double* buffer) noexcept {
    unaligned_double* p = b.data + static_cast<std::ptrdiff_t>(k) * b.series_stride;
    if (b.time_stride == 1) return {p, b.length};
    return {buffer, b.length};
}

// Copies a result computed in `buffer` out to its strided place; nothing to do when it was
// computed in place.
void flush(BlockOut b, std::uint64_t k, const double* buffer) noexcept {
    if (b.time_stride == 1) return;
    unaligned_double* p = b.data + static_cast<std::ptrdiff_t>(k) * b.series_stride;
    for (std::uint64_t t = 0; t < b.length; ++t) p[static_cast<std::ptrdiff_t>(t) * b.time_stride] = buffer[t];
}

template <class Kernel>
void one_in_one_out(BlockIn data, BlockOut out, Workspace& work, Kernel kernel) noexcept {
    const std::uint64_t n = data.length;
    double* const b = work.series();
    for (std::uint64_t k = 0; k < data.count; ++k) {
        kernel(series_in(data, k, b), series_out(out, k, b + n));
        flush(out, k, b + n);
    }
}

// A sweep: the one series (one block of one per input) under each period in turn.
template <class Kernel, class... Blocks>
void each_period(std::span<const std::uint64_t> periods, BlockOut out, Workspace& work, Kernel kernel,
                 Blocks... data) noexcept {
    if (periods.empty()) return;  // the workspace then holds no series to gather into
    const std::uint64_t n = out.length;
    double* const b = work.series();
    std::uint64_t i = 0;
    const InputSlice x[] = {series_in(data, 0, b + n * i++)...};  // in order: a braced list
    double* const y = b + n * sizeof...(Blocks);
    for (std::uint64_t k = 0; k < periods.size(); ++k) {
        kernel(periods[k], x, series_out(out, k, y));
        flush(out, k, y);
    }
}

// Consecutive runs of a column, each a contiguous series of its own, handed on one at a time as
// runs in any order are (the *_ordered_runs kernels below).
template <class Kernel>
void each_run(std::span<const std::uint64_t> lengths, Kernel kernel) noexcept {
    std::uint64_t start = 0;
    for (const std::uint64_t n : lengths) {
        const Run run{start, n};
        kernel(std::span<const Run>(&run, 1));
        start += n;
    }
}

}  // namespace

// One series at a time, with no group state.
std::uint64_t series_per_group() noexcept { return 1; }

std::size_t group_state_bytes(std::uint64_t) noexcept { return 0; }

void sma_many(std::uint64_t period, BlockIn data, BlockOut out, Workspace& work) noexcept {
    one_in_one_out(data, out, work, [&](InputSlice x, OutputSlice y) { sma(period, x, y); });
}

void ema_many(std::uint64_t period, BlockIn data, BlockOut out, Workspace& work) noexcept {
    one_in_one_out(data, out, work, [&](InputSlice x, OutputSlice y) { ema(period, x, y); });
}

void sma_sweep(std::span<const std::uint64_t> periods, BlockIn data, BlockOut out, Workspace& work) noexcept {
    each_period(periods, out, work, [](std::uint64_t p, const InputSlice* x, OutputSlice y) { sma(p, x[0], y); }, data);
}

void ema_sweep(std::span<const std::uint64_t> periods, BlockIn data, BlockOut out, Workspace& work) noexcept {
    each_period(periods, out, work, [](std::uint64_t p, const InputSlice* x, OutputSlice y) { ema(p, x[0], y); }, data);
}

void macd_sweep(std::span<const std::uint64_t> periods, BlockIn data, BlockOut macd_out, BlockOut signal_out,
                BlockOut hist, Workspace& work) noexcept {
    for (std::uint64_t k = 0; k < periods.size() / 3; ++k) {
        macd_many(periods[3 * k], periods[3 * k + 1], periods[3 * k + 2], data, sub_block(macd_out, k, 1),
                  sub_block(signal_out, k, 1), sub_block(hist, k, 1), work);
    }
}

void atr_sweep(std::span<const std::uint64_t> periods, BlockIn high, BlockIn low, BlockIn close, BlockOut out,
               Workspace& work) noexcept {
    each_period(
        periods, out, work, [](std::uint64_t p, const InputSlice* x, OutputSlice y) { atr(p, x[0], x[1], x[2], y); },
        high, low, close);
}

void macd_many(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, BlockIn data, BlockOut macd_out,
               BlockOut signal_out, BlockOut hist, Workspace& work) noexcept {
    const std::uint64_t n = data.length;
    double* const b = work.series();
    for (std::uint64_t k = 0; k < data.count; ++k) {
        macd(fast, slow, signal, series_in(data, k, b), series_out(macd_out, k, b + n),
             series_out(signal_out, k, b + 2 * n), series_out(hist, k, b + 3 * n));
        flush(macd_out, k, b + n);
        flush(signal_out, k, b + 2 * n);
        flush(hist, k, b + 3 * n);
    }
}

void atr_many(std::uint64_t period, BlockIn high, BlockIn low, BlockIn close, BlockOut out,
              Workspace& work) noexcept {
    const std::uint64_t n = high.length;
    double* const b = work.series();
    for (std::uint64_t k = 0; k < high.count; ++k) {
        atr(period, series_in(high, k, b), series_in(low, k, b + n), series_in(close, k, b + 2 * n),
            series_out(out, k, b + 3 * n));
        flush(out, k, b + 3 * n);
    }
}

void sma_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out, Workspace&) noexcept {
    each_run(lengths, [&](std::span<const Run> run) { sma_ordered_runs(period, data.data(), run, out.data()); });
}

void ema_runs(std::uint64_t period, InputSlice data, std::span<const std::uint64_t> lengths,
              OutputSlice out, Workspace&) noexcept {
    each_run(lengths, [&](std::span<const Run> run) { ema_ordered_runs(period, data.data(), run, out.data()); });
}

void macd_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, InputSlice data,
               std::span<const std::uint64_t> lengths, OutputSlice macd_out, OutputSlice signal_out,
               OutputSlice hist, Workspace&) noexcept {
    each_run(lengths, [&](std::span<const Run> run) {
        macd_ordered_runs(fast, slow, signal, data.data(), run, macd_out.data(), signal_out.data(), hist.data());
    });
}

void atr_runs(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
              std::span<const std::uint64_t> lengths, OutputSlice out, Workspace&) noexcept {
    each_run(lengths, [&](std::span<const Run> run) {
        atr_ordered_runs(period, high.data(), low.data(), close.data(), run, out.data());
    });
}

// Runs in any order, each a contiguous series of its own.
void sma_ordered_runs(std::uint64_t period, const unaligned_double* data, std::span<const Run> runs,
                      unaligned_double* out) noexcept {
    for (const Run& r : runs) sma(period, {data + r.start, r.length}, {out + r.start, r.length});
}

void ema_ordered_runs(std::uint64_t period, const unaligned_double* data, std::span<const Run> runs,
                      unaligned_double* out) noexcept {
    for (const Run& r : runs) ema(period, {data + r.start, r.length}, {out + r.start, r.length});
}

void macd_ordered_runs(std::uint64_t fast, std::uint64_t slow, std::uint64_t signal, const unaligned_double* data,
                       std::span<const Run> runs, unaligned_double* macd_out, unaligned_double* signal_out,
                       unaligned_double* hist) noexcept {
    for (const Run& r : runs) {
        macd(fast, slow, signal, {data + r.start, r.length}, {macd_out + r.start, r.length},
             {signal_out + r.start, r.length}, {hist + r.start, r.length});
    }
}

void atr_ordered_runs(std::uint64_t period, const unaligned_double* high, const unaligned_double* low,
                      const unaligned_double* close, std::span<const Run> runs, unaligned_double* out) noexcept {
    for (const Run& r : runs) {
        atr(period, {high + r.start, r.length}, {low + r.start, r.length}, {close + r.start, r.length},
            {out + r.start, r.length});
    }
}

}  // namespace brindlex::core::scalar
