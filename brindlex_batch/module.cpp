// The extension of brindlex_batch: many series per call, each computed as brindlex would alone.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "call_plan.h"
#include "checked_call.h"
#include "core/many/kernels.h"
#include "core/seeds.h"
#include "core/stream/atr_stream.h"
#include "core/stream/ema_stream.h"
#include "core/stream/interleaved_rows.h"
#include "core/stream/macd_stream.h"
#include "core/stream/sma_stream.h"
#include "dispatch_targets.h"
#include "fast_front.h"
#include "fast_function.h"
#include "group_keys.h"
#include "part_workspaces.h"
#include "run_share.h"
#include "series_blocks.h"
#include "thread_split.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace brindlex::batch {
namespace {

using Inputs = std::initializer_list<const InputArray*>;
using Outputs = std::initializer_list<const OutputArray*>;

// Calls on fewer values than this keep the interpreter lock: giving it away and taking it back
// costs about what computing them does (and, where other threads want it, far more).
constexpr std::uint64_t values_worth_unlocking = 4096;

// Computes with the interpreter lock released (for all but short calls), each thread on its own
// share of the series or runs:
// on_series(first, count, work) over series of the blocks, on_runs(runs, share, work) over
// consecutive runs of the columns (share: a RunShare, which has gathered the share's rows when the
// groups lie scattered, and whose results are put back in their rows after). Every share's workspace is
// allocated first, so that running out of memory raises MemoryError before anything is written.
template <class OnSeries, class OnRuns>
void compute(const CallPlan& plan, Inputs inputs, Outputs outputs, const OnSeries& on_series,
             const OnRuns& on_runs) {
    if (!plan.by_runs) {
        const std::uint64_t lines_from = core::series_before_line(output_block(**outputs.begin(), plan.time_axis, plan.turns));
        const auto first = [&](std::size_t k) { return series_boundary(plan.series, k, plan.threads, lines_from); };
        PartWorkspaces work(plan.threads, [&](std::size_t k) {
            return core::Workspace::for_blocks(first(k + 1) - first(k), plan.length, plan.gathered);
        });
        std::optional<nb::gil_scoped_release> unlocked;
        if (plan.series * plan.length >= values_worth_unlocking) unlocked.emplace();
        run_parts(plan.threads, [&](std::size_t k) {
            const core::FreshOutputs fresh(plan.fresh_outputs);
            if (first(k + 1) > first(k)) on_series(first(k), first(k + 1) - first(k), work[k]);
        });
        return;
    }
    const std::vector<RunBoundary> parts = run_boundaries(plan.runs, plan.threads);
    const std::size_t columns = plan.slots.empty() ? 0 : inputs.size() + outputs.size();
    PartWorkspaces work(plan.threads, [&](std::size_t k) {
        const std::uint64_t elements = parts[k + 1].element - parts[k].element;
        return core::Workspace::for_runs(parts[k + 1].run - parts[k].run, columns * elements);
    });
    std::optional<nb::gil_scoped_release> unlocked;
    if (parts.back().element >= values_worth_unlocking) unlocked.emplace();
    run_parts(plan.threads, [&](std::size_t k) {
        const RunBoundary begin = parts[k], end = parts[k + 1];
        if (end.element == begin.element) return;
        const core::FreshOutputs fresh(plan.fresh_outputs);
        const std::uint64_t size = end.element - begin.element;
        const RunShare share(begin.element, size, plan.slots, work[k].series(), inputs.size());
        if (columns != 0) share.gather(inputs);
        on_runs(plan.runs.subspan(begin.run, end.run - begin.run), share, work[k]);
        if (columns != 0) share.scatter(outputs);
    });
}

// Groups whose rows interleave, computed row by row (see core::RowGroups::streams), with a stream
// for each code: every row updates its group's stream. make() gives a stream, with room for every
// bar it will see; update(stream, row, store) computes one row, writing each result with store
// (past the caches where the outputs are large and given, core::streams_size). Every stream is made
// first, so that running out of memory raises MemoryError before anything is written. One thread,
// whatever the call asks: neighbouring rows belong to different groups, and threads sharing the
// groups would write the same lines of every output (two ran slower than one, measured).
// Outputs the call allocates are faulted in page by page as the rows first reach them and written
// through the caches (core::FreshOutputs), where their lines evict the groups' streams once these
// take this much memory: then the outputs are faulted in whole first and written past the caches,
// as given ones are. Shuffled rows, 2,520 bars a group, allocating, ns a row: 5,000 groups of
// MACD 20.7 to 14.6 and of SMA 6.0 to 5.5; 2,000 groups of MACD (0.7 MiB of streams) 12.0 to 11.7,
// 500 groups 9.0 to 10.2.
constexpr std::uint64_t fault_in_from_bytes = std::uint64_t{1} << 20;

template <class Make, class Update>
void stream_rows(const StreamedCodes& codes, CheckedCall& call, const Make& make, const Update& update) {
    using Stream = std::invoke_result_t<Make>;
    std::vector<Stream> streams;
    streams.reserve(codes.streams);
    for (std::uint64_t c = 0; c < codes.streams; ++c) streams.push_back(make());
    std::optional<nb::gil_scoped_release> unlocked;
    if (codes.rows >= values_worth_unlocking) unlocked.emplace();
    // No Python: it reads only the fields of arrays the call holds.
    if (codes.rows >= core::streamed_from_bytes / 8 && codes.streams * codes.stream_bytes >= fault_in_from_bytes) {
        call.fault_in_outputs();
    }
    const core::FreshOutputs fresh(call.fresh_outputs());
    with_code_type(codes.width, [&]<class Code>(Code) {
        core::stream::update_rows(std::span<const Code>(reinterpret_cast<const Code*>(codes.data), codes.rows),
                                  std::span<Stream>(streams), update, core::streams_size(codes.rows));
    });
}

// The memory of a group's stream, for the groups computed row by row: the stream, and the window
// of bars it keeps (SMA its last `period`, MACD a slow seed's), which bounds the periods that go
// so. A period of 0 goes group by group.
constexpr std::uint64_t longest_streamed_window = std::uint64_t{1} << 24;

template <class Stream>
std::uint64_t stream_bytes(const std::array<std::uint64_t, 3>& periods) noexcept {
    std::uint64_t window = 0;
    if constexpr (std::is_same_v<Stream, core::stream::SmaStream>) window = periods[0];
    if constexpr (std::is_same_v<Stream, core::stream::MacdStream>) window = periods[1] - 1;
    if (periods[0] == 0 || window > longest_streamed_window) return 0;
    return sizeof(Stream) + 8 * window;
}

// A group's stream with room for every bar (its window is all it grows).
core::stream::SmaStream stream_of(std::type_identity<core::stream::SmaStream>, const CheckedCall& call) {
    core::stream::SmaStream s(call.period(0));
    s.reserve_for(call.period(0));
    return s;
}
core::stream::EmaStream stream_of(std::type_identity<core::stream::EmaStream>, const CheckedCall& call) {
    return core::stream::EmaStream(call.period(0));
}

using ManyKernel = void (*)(std::uint64_t, core::BlockIn, core::BlockOut, core::Workspace&) noexcept;
using RunsKernel = void (*)(std::uint64_t, core::InputSlice, std::span<const std::uint64_t>,
                            core::OutputSlice, core::Workspace&) noexcept;

constexpr Signature sma_signature{1, {"data"}, 1, {"period"}, 1, stream_bytes<core::stream::SmaStream>};
constexpr Signature ema_signature{1, {"data"}, 1, {"period"}, 1, stream_bytes<core::stream::EmaStream>};
constexpr Signature macd_signature{1, {"data"}, 3, {"fast_period", "slow_period", "signal_period"}, 3,
                                   stream_bytes<core::stream::MacdStream>};
constexpr Signature bars{3, {"high", "low", "close"}, 1, {"period"}, 1, stream_bytes<core::stream::AtrStream>};

CallPlan plan_of(const CheckedCall& call, Inputs inputs, Outputs outputs) {
    CallPlan plan = plan_call(inputs, outputs, call.time_axis(), call.runs(), call.grouped_slots(),
                              call.grouped_turns(), call.threads());
    plan.fresh_outputs = call.fresh_outputs();
    return plan;
}

template <ManyKernel many, RunsKernel runs, class Stream, const Signature& signature>
nb::object moving_average(nb::handle data, nb::handle period, nb::handle axis, nb::handle lengths,
                          nb::handle groups, nb::handle out, nb::handle threads) {
    CheckedCall call(signature, &data, &period, axis, lengths, groups, out, threads);
    const InputArray in = call.input(0);
    const OutputArray target = call.target(0);
    if (const std::optional<StreamedCodes> codes = call.streamed_codes()) {
        const core::unaligned_double* x = input_column(in).data();
        core::unaligned_double* y = output_column(target).data();
        stream_rows(*codes, call, [&] { return stream_of(std::type_identity<Stream>{}, call); },
                    [&](Stream& s, std::size_t row, auto store) { store(y + row, s.update(x[row])); });
        return call.finish();
    }
    const CallPlan plan = plan_of(call, {&in}, {&target});
    const std::uint64_t p = call.period(0);
    const core::BlockIn in_block = input_block(in, plan.time_axis, plan.turns);
    const core::BlockOut out_block = output_block(target, plan.time_axis, plan.turns);
    compute(
        plan, {&in}, {&target},
        [&](std::uint64_t first, std::uint64_t count, core::Workspace& work) {
            many(p, core::sub_block(in_block, first, count), core::sub_block(out_block, first, count), work);
        },
        [&](std::span<const std::uint64_t> part, const RunShare& share, core::Workspace& work) {
            runs(p, share.in(in, 0), part, share.out(target, 0), work);
        });
    return call.finish();
}

// brindlex_batch.MacdResult, looked up on the first call, when the package has been imported.
PyTypeObject* macd_result_type() {
    static PyTypeObject* type = [] {
        nb::object cls = nb::module_::import_("brindlex_batch").attr("MacdResult");
        return reinterpret_cast<PyTypeObject*>(cls.release().ptr());
    }();
    return type;
}

nb::object macd(nb::handle data, nb::handle fast_period, nb::handle slow_period, nb::handle signal_period,
                nb::handle axis, nb::handle lengths, nb::handle groups, nb::handle out, nb::handle threads) {
    const nb::handle periods[] = {fast_period, slow_period, signal_period};
    CheckedCall call(macd_signature, &data, periods, axis, lengths, groups, out, threads);
    const std::uint64_t fast = call.period(0), slow = call.period(1), signal = call.period(2);
    const InputArray in = call.input(0);
    const OutputArray outs[3] = {call.target(0), call.target(1), call.target(2)};
    if (const std::optional<StreamedCodes> codes = call.streamed_codes()) {
        const core::unaligned_double* x = input_column(in).data();
        core::unaligned_double* y[3] = {output_column(outs[0]).data(), output_column(outs[1]).data(),
                                        output_column(outs[2]).data()};
        stream_rows(
            *codes, call,
            [&] {
                core::stream::MacdStream s(fast, slow, signal);
                s.reserve_for(slow);
                return s;
            },
            [&](core::stream::MacdStream& s, std::size_t row, auto store) {
                const core::stream::MacdValues v = s.update(x[row]);
                store(y[0] + row, v.macd);
                store(y[1] + row, v.signal);
                store(y[2] + row, v.hist);
            });
        return call.finish(macd_result_type());
    }
    const CallPlan plan = plan_of(call, {&in}, {&outs[0], &outs[1], &outs[2]});
    const core::BlockIn in_block = input_block(in, plan.time_axis, plan.turns);
    const core::BlockOut out_blocks[3] = {output_block(outs[0], plan.time_axis, plan.turns),
                                          output_block(outs[1], plan.time_axis, plan.turns),
                                          output_block(outs[2], plan.time_axis, plan.turns)};
    compute(
        plan, {&in}, {&outs[0], &outs[1], &outs[2]},
        [&](std::uint64_t first, std::uint64_t count, core::Workspace& work) {
            core::macd_many(fast, slow, signal, core::sub_block(in_block, first, count),
                            core::sub_block(out_blocks[0], first, count),
                            core::sub_block(out_blocks[1], first, count),
                            core::sub_block(out_blocks[2], first, count), work);
        },
        [&](std::span<const std::uint64_t> part, const RunShare& share, core::Workspace& work) {
            core::macd_runs(fast, slow, signal, share.in(in, 0), part, share.out(outs[0], 0),
                            share.out(outs[1], 1), share.out(outs[2], 2), work);
        });
    return call.finish(macd_result_type());
}

nb::object atr(nb::handle high, nb::handle low, nb::handle close, nb::handle period, nb::handle axis,
               nb::handle lengths, nb::handle groups, nb::handle out, nb::handle threads) {
    const nb::handle inputs[] = {high, low, close};
    CheckedCall call(bars, inputs, &period, axis, lengths, groups, out, threads);
    const std::uint64_t p = call.period(0);
    const InputArray ins[3] = {call.input(0), call.input(1), call.input(2)};
    const OutputArray target = call.target(0);
    if (const std::optional<StreamedCodes> codes = call.streamed_codes()) {
        const core::unaligned_double* x[3] = {input_column(ins[0]).data(), input_column(ins[1]).data(),
                                              input_column(ins[2]).data()};
        core::unaligned_double* y = output_column(target).data();
        stream_rows(*codes, call, [&] { return core::stream::AtrStream(p); },
                    [&](core::stream::AtrStream& s, std::size_t row, auto store) {
                        store(y + row, s.update(x[0][row], x[1][row], x[2][row]));
                    });
        return call.finish();
    }
    const CallPlan plan = plan_of(call, {&ins[0], &ins[1], &ins[2]}, {&target});
    const core::BlockIn in_blocks[3] = {input_block(ins[0], plan.time_axis, plan.turns), input_block(ins[1], plan.time_axis, plan.turns),
                                        input_block(ins[2], plan.time_axis, plan.turns)};
    const core::BlockOut out_block = output_block(target, plan.time_axis, plan.turns);
    compute(
        plan, {&ins[0], &ins[1], &ins[2]}, {&target},
        [&](std::uint64_t first, std::uint64_t count, core::Workspace& work) {
            core::atr_many(p, core::sub_block(in_blocks[0], first, count),
                           core::sub_block(in_blocks[1], first, count),
                           core::sub_block(in_blocks[2], first, count),
                           core::sub_block(out_block, first, count), work);
        },
        [&](std::span<const std::uint64_t> part, const RunShare& share, core::Workspace& work) {
            core::atr_runs(p, share.in(ins[0], 0), share.in(ins[1], 1), share.in(ins[2], 2), part,
                           share.out(target, 0), work);
        });
    return call.finish();
}

using SweepKernel = void (*)(std::span<const std::uint64_t>, core::BlockIn, core::BlockOut, core::Workspace&) noexcept;

// One series under many periods, for brindlex_batch's sweeps, which have checked every argument:
// the inputs one-dimensional float64 arrays of one length the kernels read in place, `periods` a
// contiguous array of uint64 (`per_row` a row: MACD's three), each output a float64 array of
// shape (rows, length) stepping in whole elements, and `threads` a count (0: every core). The
// threads share the rows, a whole group of lanes each: compute(periods, rows, work) computes the
// rows of its share, `rows` the first output's.
template <class Compute>
void share_periods(nb::handle periods, std::size_t per_row, const core::BlockOut& rows, bool gathered,
                   std::size_t threads, const Compute& compute) {
    const LengthArray given = LengthArray::of(periods.ptr());
    const std::span<const std::uint64_t> all{given.data(), given.shape(0)};
    const std::uint64_t count = all.size() / per_row;
    const std::uint64_t groups = (count + core::series_per_group() - 1) / core::series_per_group();
    const std::size_t parts = static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(requested_threads(threads), groups)));
    const auto first = [&](std::size_t k) { return series_boundary(count, k, parts); };
    PartWorkspaces work(parts, [&](std::size_t k) {
        return core::Workspace::for_blocks(first(k + 1) - first(k), rows.length, gathered);
    });
    nb::gil_scoped_release unlocked;
    run_parts(parts, [&](std::size_t k) {
        const std::uint64_t share = first(k + 1) - first(k);
        compute(all.subspan(first(k) * per_row, share * per_row), first(k), share, work[k]);
    });
}

template <SweepKernel kernel>
void sweep(nb::handle data, nb::handle periods, nb::handle out, std::size_t threads) {
    const core::BlockIn series = input_block(InputArray::of(data.ptr()), 0);
    const core::BlockOut rows = output_block(OutputArray::of(out.ptr()), 1);
    share_periods(periods, 1, rows, series.time_stride != 1 || rows.time_stride != 1, threads,
                  [&](std::span<const std::uint64_t> part, std::uint64_t first, std::uint64_t count, core::Workspace& work) {
                      kernel(part, series, core::sub_block(rows, first, count), work);
                  });
}

void atr_sweep(nb::handle high, nb::handle low, nb::handle close, nb::handle periods, nb::handle out,
               std::size_t threads) {
    const core::BlockIn bars[3] = {input_block(InputArray::of(high.ptr()), 0), input_block(InputArray::of(low.ptr()), 0),
                                   input_block(InputArray::of(close.ptr()), 0)};
    const core::BlockOut rows = output_block(OutputArray::of(out.ptr()), 1);
    const bool gathered = rows.time_stride != 1 || std::ranges::any_of(bars, [](auto b) { return b.time_stride != 1; });
    share_periods(periods, 1, rows, gathered, threads,
                  [&](std::span<const std::uint64_t> part, std::uint64_t first, std::uint64_t count, core::Workspace& work) {
                      core::atr_sweep(part, bars[0], bars[1], bars[2], core::sub_block(rows, first, count), work);
                  });
}

void macd_sweep(nb::handle data, nb::handle periods, nb::handle macd, nb::handle signal, nb::handle hist,
                std::size_t threads) {
    const core::BlockIn series = input_block(InputArray::of(data.ptr()), 0);
    const core::BlockOut y[3] = {output_block(OutputArray::of(macd.ptr()), 1), output_block(OutputArray::of(signal.ptr()), 1),
                                 output_block(OutputArray::of(hist.ptr()), 1)};
    const bool gathered = series.time_stride != 1 || std::ranges::any_of(y, [](auto b) { return b.time_stride != 1; });
    share_periods(periods, 3, y[0], gathered, threads,
                  [&](std::span<const std::uint64_t> part, std::uint64_t first, std::uint64_t count, core::Workspace& work) {
                      core::macd_sweep(part, series, core::sub_block(y[0], first, count), core::sub_block(y[1], first, count),
                                       core::sub_block(y[2], first, count), work);
                  });
}

// The public functions of brindlex_batch pass their arguments on unchanged, by position: every
// check and conversion happens here, before any output is written.
PyMethodDef indicator_functions[] = {
    {"sma", as_cfunction<fast_function<moving_average<core::sma_many, core::sma_runs, core::stream::SmaStream, sma_signature>, 7>>(), METH_FASTCALL,
     "sma($module, data, period, axis, lengths, groups, out, threads, /)\n--\n\n"
     "Simple moving average of every series of `data`, as brindlex_batch.sma."},
    {"ema", as_cfunction<fast_function<moving_average<core::ema_many, core::ema_runs, core::stream::EmaStream, ema_signature>, 7>>(), METH_FASTCALL,
     "ema($module, data, period, axis, lengths, groups, out, threads, /)\n--\n\n"
     "Exponential moving average of every series of `data`, as brindlex_batch.ema."},
    {"macd", as_cfunction<fast_function<macd, 9>>(), METH_FASTCALL,
     "macd($module, data, fast_period, slow_period, signal_period, axis, lengths, groups, out, threads, /)\n--\n\n"
     "MACD line, signal line and histogram of every series of `data` as a brindlex_batch.MacdResult, as\n"
     "brindlex_batch.macd."},
    {"atr", as_cfunction<fast_function<atr, 9>>(), METH_FASTCALL,
     "atr($module, high, low, close, period, axis, lengths, groups, out, threads, /)\n--\n\n"
     "Average true range of every series of bars, as brindlex_batch.atr."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace brindlex::batch

NB_MODULE(_native, m) {
    using namespace brindlex::batch;
    m.doc() =
        "Many series per call, bit for bit as brindlex computes each. Private: the functions of "
        "brindlex_batch, which call these with every argument given.";

    if (PyModule_AddFunctions(m.ptr(), indicator_functions) != 0) throw nb::python_error();

    m.def(
        "fast_front",
        [](nb::handle definition, nb::handle native) {
            PyObject* front = fast_front(definition.ptr(), native.ptr(), "brindlex_batch");
            if (!front) throw nb::python_error();
            return nb::steal(front);
        },
        "definition"_a, "native"_a,
        "The public function of that Python definition whose plain calls go straight to the native function.");
    m.def("macd_signal_start",
          [](std::uint64_t slow, std::uint64_t signal) { return brindlex::core::macd_signal_start(slow, signal); },
          "slow_period"_a, "signal_period"_a, "Where MACD's signal line starts, as the kernels compute it.");
    m.def(
        "input_array", [](nb::handle data, const char* name) { return read_input(data, name).array; },
        "data"_a, "name"_a,
        nb::sig("def input_array(data: numpy.typing.ArrayLike, name: str) -> numpy.typing.NDArray[numpy.float64]"),
        "The float64 array a call computes on for the argument `name`, converted once: what the\n"
        "sweeps of brindlex_batch hand to each period's call.");
    m.def("sma_sweep", &sweep<brindlex::core::sma_sweep>, "data"_a, "periods"_a, "out"_a, "threads"_a,
          nb::sig("def sma_sweep(data: numpy.typing.NDArray[numpy.float64], periods: numpy.typing.NDArray[numpy.uint64], "
                  "out: numpy.typing.NDArray[numpy.float64], threads: int) -> None"),
          "Row k of `out`: the SMA of `data` with periods[k]; every argument already checked by the caller.");
    m.def("ema_sweep", &sweep<brindlex::core::ema_sweep>, "data"_a, "periods"_a, "out"_a, "threads"_a,
          nb::sig("def ema_sweep(data: numpy.typing.NDArray[numpy.float64], periods: numpy.typing.NDArray[numpy.uint64], "
                  "out: numpy.typing.NDArray[numpy.float64], threads: int) -> None"),
          "Row k of `out`: the EMA of `data` with periods[k]; every argument already checked by the caller.");
    m.def("macd_sweep", &macd_sweep, "data"_a, "periods"_a, "macd"_a, "signal"_a, "hist"_a, "threads"_a,
          nb::sig("def macd_sweep(data: numpy.typing.NDArray[numpy.float64], periods: numpy.typing.NDArray[numpy.uint64], "
                  "macd: numpy.typing.NDArray[numpy.float64], signal: numpy.typing.NDArray[numpy.float64], "
                  "hist: numpy.typing.NDArray[numpy.float64], threads: int) -> None"),
          "Row k of the outputs: MACD of `data` with periods[3k..3k+2] (fast, slow, signal); every argument\n"
          "already checked by the caller.");
    m.def("atr_sweep", &atr_sweep, "high"_a, "low"_a, "close"_a, "periods"_a, "out"_a, "threads"_a,
          nb::sig("def atr_sweep(high: numpy.typing.NDArray[numpy.float64], low: numpy.typing.NDArray[numpy.float64], "
                  "close: numpy.typing.NDArray[numpy.float64], periods: numpy.typing.NDArray[numpy.uint64], "
                  "out: numpy.typing.NDArray[numpy.float64], threads: int) -> None"),
          "Row k of `out`: the ATR of the bars with periods[k]; every argument already checked by the caller.");
    m.def("_available_targets", &available_target_names,
          "Names of the kernels' code paths this processor runs, the one chosen by default last.");
    m.def("_force_target", &force_target_named, "name"_a,
          "Runs every kernel of every later call on the named code path, for tests of each path;\n"
          "'default' gives back the default choice.");
    m.def("_force_streaming", &brindlex::core::force_streamed_stores, "on"_a,
          "While on, every later call writes with streaming stores every output it can, however small,\n"
          "for tests of that path.");
    define_group_keys(m);
}
