// The binding of a stream over one series with a float value: Sma and Ema.
#pragma once

#include <utility>
#include <vector>

#include "fast_methods.h"
#include "stream_class.h"
#include "update_many.h"

namespace brindlex_stream {

inline constexpr char update_name[] = "update";
inline constexpr char peek_name[] = "peek";
inline constexpr const char* one_value[] = {"x"};

template <class Stream>
PyObject* update_one(Stream& s, const double (&v)[1]) {
    return PyFloat_FromDouble(s.update(v[0]));
}
template <class Stream>
PyObject* peek_one(Stream& s, const double (&v)[1]) {
    return PyFloat_FromDouble(s.peek(v[0]));
}

struct OneInputDocs {
    const char* name;
    const char* signature;  // the class's line in the stubs
    const char* cls;
    const char* update;  // with its text signature
};

template <class Stream>
void bind_one_input(nb::module_& m, const OneInputDocs& docs) {
    static PyMethodDef methods[] = {
        {update_name, as_method<bar_method<Stream, 1, update_name, one_value, update_one<Stream>>>(),
         METH_FASTCALL, docs.update},
        {peek_name, as_method<bar_method<Stream, 1, peek_name, one_value, peek_one<Stream>>>(),
         METH_FASTCALL,
         "peek($self, x, /)\n--\n\nWhat update(x) would return, without committing: for a bar still forming."},
        {nullptr, nullptr, 0, nullptr},
    };
    nb::class_<Stream> cls(m, docs.name, nb::is_final(), nb::sig(docs.signature), docs.cls);
    cls.def("__init__", [](Stream* self, nb::handle period) { new (self) Stream(to_period(period, "period")); },
            "period"_a, nb::sig("def __init__(self, period: typing.SupportsIndex) -> None"))
        .def_prop_ro("period", &Stream::period, "The period the stream was made with.")
        .def_prop_ro("value", &Stream::value, "The value the last update returned (NaN before any).")
        .def("update_many", [](Stream& s, nb::handle data) { return update_many_one(s, data); }, "data"_a.none(),
             nb::sig("def update_many(self, data: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]"),
             "Commits the bars of `data` (any one-dimensional array-like of real numbers) in order and\n"
             "returns their values as a new float64 array, as update would have one by one.");
    bind_common(
        cls, docs.name,
        [](const Stream& s) { return std::vector<std::pair<const char*, std::uint64_t>>{{"period", s.period()}}; });
    for (PyMethodDef* def = methods; def->ml_name; ++def) add_fast_method(cls, def);
}

}  // namespace brindlex_stream
