// The class Macd: MACD line, signal line and histogram, one bar at a time.
#include "classes.h"
#include "core/stream/macd_stream.h"
#include "fast_methods.h"
#include "macd_values.h"
#include "stream_class.h"

namespace brindlex_stream {
namespace {

using brindlex::core::stream::MacdStream;

constexpr char update_name[] = "update", peek_name[] = "peek";
constexpr const char* one_value[] = {"x"};

PyObject* update(MacdStream& s, const double (&v)[1]) { return make_macd_values(s.update(v[0])); }
PyObject* peek(MacdStream& s, const double (&v)[1]) { return make_macd_values(s.peek(v[0])); }

PyMethodDef methods[] = {
    {update_name, as_method<bar_method<MacdStream, 1, update_name, one_value, update>>(),
     METH_FASTCALL,
     "update($self, x, /)\n--\n\nCommits the bar `x` and returns MacdValues(macd, signal, hist) (NaN where "
     "there is no value: the warm-up, a NaN bar)."},
    {peek_name, as_method<bar_method<MacdStream, 1, peek_name, one_value, peek>>(), METH_FASTCALL,
     "peek($self, x, /)\n--\n\nWhat update(x) would return, without committing: for a bar still forming."},
    {nullptr, nullptr, 0, nullptr},
};

// brindlex's checks of MACD's periods, with its messages, after each has been converted.
MacdStream checked(nb::handle fast, nb::handle slow, nb::handle signal) {
    const std::uint64_t f = to_period(fast, "fast_period");
    const std::uint64_t s = to_period(slow, "slow_period");
    const std::uint64_t g = to_period(signal, "signal_period");
    check_macd_periods(f, s, g);
    return MacdStream(f, s, g);
}

nb::object values(const brindlex::core::stream::MacdValues& v) {
    PyObject* result = make_macd_values(v);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::tuple update_many(MacdStream& s, nb::handle data) {
    const Float64Input in(data, "data");
    const Float64Output macd(in.size()), signal(in.size()), hist(in.size());
    s.update_many(in.slice(), macd.slice(), signal.slice(), hist.slice());
    return nb::make_tuple(macd.array(), signal.array(), hist.array());
}

}  // namespace

void bind_macd(nb::module_& m) {
    PyTypeObject* values_type = create_macd_values_type();
    if (!values_type) throw nb::python_error();
    m.attr("MacdValues") = nb::steal(reinterpret_cast<PyObject*>(values_type));

    nb::class_<MacdStream> cls(
        m, "Macd", nb::is_final(), nb::sig("@typing.final\nclass Macd()"),
        "MACD (fast average minus slow average), its signal line and histogram, one bar at a time.\n\n"
        "Every value equals what brindlex.indicator_macd gives at that position over all the bars\n"
        "committed so far, bit for bit. Memory: the last slow_period - 1 bars (only those seen so far),\n"
        "which a re-seed of the averages after a NaN may need at any time.");
    cls.def("__init__",
            [](MacdStream* self, nb::handle fast, nb::handle slow, nb::handle signal) {
                new (self) MacdStream(checked(fast, slow, signal));
            },
            "fast_period"_a = 12, "slow_period"_a = 26, "signal_period"_a = 9,
            nb::sig("def __init__(self, fast_period: typing.SupportsIndex = 12, slow_period: typing.SupportsIndex = 26, "
                    "signal_period: typing.SupportsIndex = 9) -> None"))
        .def_prop_ro("fast_period", &MacdStream::fast_period, "The fast average's period.")
        .def_prop_ro("slow_period", &MacdStream::slow_period, "The slow average's period.")
        .def_prop_ro("signal_period", &MacdStream::signal_period, "The signal line's period.")
        .def_prop_ro("value", [](const MacdStream& s) { return values(s.value()); },
                     nb::sig("def value(self) -> MacdValues"),
                     "The values the last update returned (NaN before any).")
        .def("update_many", &update_many, "data"_a.none(),
             nb::sig("def update_many(self, data: numpy.typing.ArrayLike) -> tuple[numpy.typing.NDArray[numpy.float64], "
                     "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]"),
             "Commits the bars of `data` (any one-dimensional array-like of real numbers) in order and\n"
             "returns the MACD line, signal line and histogram as three new float64 arrays.");
    bind_common(
        cls, "Macd",
        [](const MacdStream& s) {
            return std::vector<std::pair<const char*, std::uint64_t>>{
                {"fast_period", s.fast_period()}, {"slow_period", s.slow_period()}, {"signal_period", s.signal_period()}};
        });
    for (PyMethodDef* def = methods; def->ml_name; ++def) add_fast_method(cls, def);
}

}  // namespace brindlex_stream
