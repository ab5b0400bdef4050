// The four indicator functions: bind, convert, check, compute, release, in one fixed order.
#include "entry_points.h"

#include <cstdint>
#include <span>
#include <string_view>

#include "core/atr.h"
#include "core/ema.h"
#include "core/macd.h"
#include "core/sma.h"
#include "module/argument_error.h"
#include "module/array_argument.h"
#include "module/call_signature.h"
#include "module/period.h"
#include "runtime/lock_depth.h"

namespace brindlex::module {
namespace {

using runtime::PyErr;
using runtime::Status;

constexpr std::string_view moving_average_parameters[] = {"period", "data", "output"};
constexpr std::string_view macd_parameters[] = {"fast_period",   "slow_period", "signal_period",
                                                "data",          "macd_output", "signal_output",
                                                "hist_output"};
constexpr std::string_view atr_parameters[] = {"period", "high", "low", "close", "output"};

constexpr CallSignature sma_signature{"indicator_sma", {}, moving_average_parameters, 0, 3, {}};
constexpr CallSignature ema_signature{"indicator_ema", {}, moving_average_parameters, 0, 3, {}};
constexpr CallSignature macd_signature{"indicator_macd", {}, macd_parameters, 0, 7, {}};
constexpr CallSignature atr_signature{"indicator_atr", {}, atr_parameters, 0, 5, {}};

// The frame every entry point shares: the lock depth raised around the whole call, and one exit
// where a failure is handed to the interpreter.
template <class Body>
PyObject* run_entry_point(Body body) noexcept {
    runtime::enter_held();
    Status status = body();
    PyObject* result = nullptr;
    if (status) {
        result = Py_NewRef(Py_None);
    } else {
        std::move(status.error()).raise();
    }
    runtime::leave_held();
    return result;
}

[[gnu::cold]] std::unexpected<PyErr> refuse(std::string_view message) noexcept {
    return runtime::failure(PyErr::value_error(message));
}

runtime::Result<std::uint64_t> period_argument(PyObject* object, std::string_view name) noexcept {
    auto period = extract_period(object);
    if (!period) return runtime::failure(prefix_argument_error(name, std::move(period.error())));
    return period;
}

// Nothing but the kernel runs while the lock is given away: it touches no Python object.
template <class Kernel>
void without_interpreter_lock(Kernel kernel) noexcept {
    const runtime::AllowThreads section = runtime::begin_allow_threads();
    kernel();
    runtime::end_allow_threads(section);
}

using MovingAverageKernel = void (*)(std::uint64_t, core::InputSlice, core::OutputSlice) noexcept;

Status moving_average(const CallSignature& signature, MovingAverageKernel kernel,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    ArgumentSlots<3> slots{};
    if (auto bound = bind_call(signature, args, nargs, kwnames, slots); !bound) return bound;
    auto period = period_argument(slots[0], "period");
    if (!period) return runtime::failure(std::move(period.error()));
    auto data = extract_input_array(slots[1], "data");
    if (!data) return runtime::failure(std::move(data.error()));
    auto output = extract_output_array(slots[2], "output");
    if (!output) return runtime::failure(std::move(output.error()));

    const VectorView data_view = vector_view(data->get());
    const VectorView output_view = vector_view(output->get());
    if (!data_view.contiguous) return refuse("Input array must be C-contiguous and float64");
    if (!output_view.contiguous) return refuse("Output array must be C-contiguous and float64");
    if (output_view.length != data_view.length) return refuse("Output array length must match input");
    if (!is_writeable(output->get())) return refuse("Output array must be writeable");

    without_interpreter_lock(
        [&] { kernel(*period, data_view.elements(), output_view.elements()); });
    return {};
}

struct MacdPeriods {
    std::uint64_t fast, slow, signal;
};

Status check_macd_periods(const MacdPeriods& p) noexcept {
    if (p.fast == 0 || p.slow == 0 || p.signal == 0) return refuse("Periods must be greater than 0");
    if (p.fast >= p.slow) return refuse("Fast period must be less than slow period");
    return {};
}

// len() of an output. For a plain ndarray of one dimension that is its first dimension, read
// directly; anything else (a subclass may define __len__) asks the interpreter.
Py_ssize_t length_of(PyObject* array) noexcept {
    if (is_exact_ndarray(array)) return static_cast<Py_ssize_t>(first_dimension(array));
    return PyObject_Size(array);
}

constexpr std::string_view macd_length_message =
    "All output arrays must have the same length as input data";

// The lengths come from len(), as a caller sees them; a subclass whose __len__ disagrees with its
// first dimension is caught again on the views, which are what the kernel writes through.
Status check_macd_output_lengths(std::span<const OutputArray, 3> outputs, std::uint64_t n) noexcept {
    Py_ssize_t lengths[3];
    for (std::size_t k = 0; k < 3; ++k) {
        lengths[k] = length_of(outputs[k].get());
        if (lengths[k] == -1) return runtime::failure(runtime::fetch_exception());
    }
    for (const Py_ssize_t length : lengths) {
        if (static_cast<std::uint64_t>(length) != n) return refuse(macd_length_message);
    }
    return {};
}

Status check_macd_output_views(std::span<const VectorView, 3> views, std::uint64_t n) noexcept {
    constexpr std::string_view contiguity[] = {"MACD output array must be C-contiguous",
                                               "Signal output array must be C-contiguous",
                                               "Histogram output array must be C-contiguous"};
    for (std::size_t k = 0; k < 3; ++k) {
        if (!views[k].contiguous) return refuse(contiguity[k]);
    }
    for (const VectorView& view : views) {
        if (view.length != n) return refuse(macd_length_message);
    }
    return {};
}

Status check_macd_outputs_writeable(std::span<const OutputArray, 3> outputs) noexcept {
    constexpr std::string_view messages[] = {"MACD output array must be writeable",
                                             "Signal output array must be writeable",
                                             "Histogram output array must be writeable"};
    for (std::size_t k = 0; k < 3; ++k) {
        if (!is_writeable(outputs[k].get())) return refuse(messages[k]);
    }
    return {};
}

Status macd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    ArgumentSlots<7> slots{};
    if (auto bound = bind_call(macd_signature, args, nargs, kwnames, slots); !bound) return bound;
    std::uint64_t periods[3];
    for (std::size_t k = 0; k < 3; ++k) {
        auto period = period_argument(slots[k], macd_parameters[k]);
        if (!period) return runtime::failure(std::move(period.error()));
        periods[k] = *period;
    }
    auto data = extract_input_array(slots[3], "data");
    if (!data) return runtime::failure(std::move(data.error()));
    auto macd_output = extract_output_array(slots[4], "macd_output");
    if (!macd_output) return runtime::failure(std::move(macd_output.error()));
    auto signal_output = extract_output_array(slots[5], "signal_output");
    if (!signal_output) return runtime::failure(std::move(signal_output.error()));
    auto hist_output = extract_output_array(slots[6], "hist_output");
    if (!hist_output) return runtime::failure(std::move(hist_output.error()));
    const OutputArray outputs[3] = {*macd_output, *signal_output, *hist_output};

    const MacdPeriods p{periods[0], periods[1], periods[2]};
    if (auto checked = check_macd_periods(p); !checked) return checked;
    const VectorView data_view = vector_view(data->get());
    const std::uint64_t n = data_view.length;
    if (auto checked = check_macd_output_lengths(outputs, n); !checked) return checked;
    if (!data_view.contiguous) return refuse("Input array must be C-contiguous");
    const VectorView views[3] = {vector_view(outputs[0].get()), vector_view(outputs[1].get()),
                                 vector_view(outputs[2].get())};
    if (auto checked = check_macd_output_views(views, n); !checked) return checked;
    if (auto checked = check_macd_outputs_writeable(outputs); !checked) return checked;

    without_interpreter_lock([&] {
        core::macd(p.fast, p.slow, p.signal, data_view.elements(), views[0].elements(),
                   views[1].elements(), views[2].elements());
    });
    return {};
}

Status atr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    ArgumentSlots<5> slots{};
    if (auto bound = bind_call(atr_signature, args, nargs, kwnames, slots); !bound) return bound;
    auto period = period_argument(slots[0], "period");
    if (!period) return runtime::failure(std::move(period.error()));
    // Declared in the order taken, so that they are released in the reverse order on every path.
    auto high = extract_input_array(slots[1], "high");
    if (!high) return runtime::failure(std::move(high.error()));
    auto low = extract_input_array(slots[2], "low");
    if (!low) return runtime::failure(std::move(low.error()));
    auto close = extract_input_array(slots[3], "close");
    if (!close) return runtime::failure(std::move(close.error()));
    auto output = extract_output_array(slots[4], "output");
    if (!output) return runtime::failure(std::move(output.error()));

    const VectorView high_view = vector_view(high->get());
    const VectorView low_view = vector_view(low->get());
    const VectorView close_view = vector_view(close->get());
    const VectorView output_view = vector_view(output->get());
    const std::uint64_t n = high_view.length;
    if (!high_view.contiguous) return refuse("High array must be C-contiguous and float64");
    if (!low_view.contiguous) return refuse("Low array must be C-contiguous and float64");
    if (!close_view.contiguous) return refuse("Close array must be C-contiguous and float64");
    if (low_view.length != n || close_view.length != n) {
        return refuse("All arrays must have the same length");
    }
    if (!output_view.contiguous) return refuse("Output array must be C-contiguous and float64");
    if (output_view.length != n) return refuse("All arrays must have the same length");
    if (!is_writeable(output->get())) return refuse("Output array must be writeable");

    // Computed with the interpreter lock held.
    core::atr(*period, high_view.elements(), low_view.elements(), close_view.elements(),
              output_view.elements());
    return {};
}

}  // namespace

PyObject* indicator_sma(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return run_entry_point(
        [&] { return moving_average(sma_signature, core::sma, args, nargs, kwnames); });
}

PyObject* indicator_ema(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return run_entry_point(
        [&] { return moving_average(ema_signature, core::ema, args, nargs, kwnames); });
}

PyObject* indicator_macd(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return run_entry_point([&] { return macd(args, nargs, kwnames); });
}

PyObject* indicator_atr(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return run_entry_point([&] { return atr(args, nargs, kwnames); });
}

}  // namespace brindlex::module
