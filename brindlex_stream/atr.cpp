// The class Atr: the average true range, one bar at a time.
#include "classes.h"
#include "core/stream/atr_stream.h"
#include "fast_methods.h"
#include "stream_class.h"

namespace brindlex_stream {
namespace {

using brindlex::core::stream::AtrStream;

constexpr char update_name[] = "update", peek_name[] = "peek";
constexpr const char* bar[] = {"high", "low", "close"};

PyObject* update(AtrStream& s, const double (&v)[3]) { return PyFloat_FromDouble(s.update(v[0], v[1], v[2])); }
PyObject* peek(AtrStream& s, const double (&v)[3]) { return PyFloat_FromDouble(s.peek(v[0], v[1])); }

PyMethodDef methods[] = {
    {update_name, as_method<bar_method<AtrStream, 3, update_name, bar, update>>(), METH_FASTCALL,
     "update($self, high, low, close, /)\n--\n\nCommits the bar and returns the new average true range (NaN "
     "for the first `period` bars)."},
    {peek_name, as_method<bar_method<AtrStream, 3, peek_name, bar, peek>>(), METH_FASTCALL,
     "peek($self, high, low, close, /)\n--\n\nWhat update(high, low, close) would return, without committing: "
     "for a bar still forming."},
    {nullptr, nullptr, 0, nullptr},
};

// All conversions and allocations first, then the stretch is committed with no Python code running.
nb::object update_many(AtrStream& s, nb::handle high, nb::handle low, nb::handle close) {
    const Float64Input h(high, "high"), l(low, "low"), c(close, "close");
    if (h.size() != l.size() || h.size() != c.size()) throw nb::value_error("All arrays must have the same length");
    const Float64Output out(h.size());
    s.update_many(h.slice(), l.slice(), c.slice(), out.slice());
    return out.array();
}

}  // namespace

void bind_atr(nb::module_& m) {
    nb::class_<AtrStream> cls(
        m, "Atr", nb::is_final(), nb::sig("@typing.final\nclass Atr()"),
        "Average true range of high, low and close bars, one bar at a time.\n\n"
        "Every value equals what brindlex.indicator_atr gives at that position over all the bars\n"
        "committed so far, bit for bit. Memory: O(1) whatever the period.");
    cls.def("__init__", [](AtrStream* self, nb::handle period) { new (self) AtrStream(to_period(period, "period")); },
            "period"_a = 14, nb::sig("def __init__(self, period: typing.SupportsIndex = 14) -> None"))
        .def_prop_ro("period", &AtrStream::period, "The period the stream was made with.")
        .def_prop_ro("value", &AtrStream::value, "The value the last update returned (NaN before any).")
        .def("update_many", &update_many, "high"_a.none(), "low"_a.none(), "close"_a.none(),
             nb::sig("def update_many(self, high: numpy.typing.ArrayLike, low: numpy.typing.ArrayLike, "
                     "close: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]"),
             "Commits the bars of `high`, `low` and `close` (one-dimensional array-likes of real numbers,\n"
             "all of one length) in order and returns their values as a new float64 array.");
    bind_common(
        cls, "Atr",
        [](const AtrStream& s) { return std::vector<std::pair<const char*, std::uint64_t>>{{"period", s.period()}}; });
    for (PyMethodDef* def = methods; def->ml_name; ++def) add_fast_method(cls, def);
}

}  // namespace brindlex_stream
