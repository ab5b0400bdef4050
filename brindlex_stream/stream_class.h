// What the four stream classes share: count, ready, copies, pickling and the repr.
#pragma once

#include <new>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "state_format.h"

namespace brindlex_stream {

namespace nb = nanobind;
using namespace nb::literals;

// `Periods` gives the constructor's arguments as (name, value) pairs, for the repr.
template <class Stream, class Periods>
void bind_common(nb::class_<Stream>& cls, const char* name, Periods periods) {
    cls.def_prop_ro("count", &Stream::count, "The number of bars committed so far.")
        .def_prop_ro("ready", &Stream::ready,
                     "True once the warm-up is over and the first value has appeared.")
        .def("copy", [](const Stream& s) { return Stream(s); },
             "An independent stream in the same state: updating one leaves the other as it was.")
        .def("__copy__", [](const Stream& s) { return Stream(s); })
        .def("__deepcopy__", [](const Stream& s, nb::handle) { return Stream(s); }, "memo"_a,
             nb::sig("def __deepcopy__(self, memo: dict[int, object], /) -> typing.Self"))
        .def("__repr__", [name, periods](const Stream& s) {
            std::string text = std::string(name) + "(";
            for (const auto& [key, value] : periods(s)) text += std::string(key) + "=" + std::to_string(value) + ", ";
            return text + "count=" + std::to_string(s.count()) + ")";
        })
        .def("__getstate__", [](const Stream& s) { return saved_state(s); },
             nb::sig("def __getstate__(self) -> tuple[int, bytes]"),
             "The state as (format version, bytes): exact to the bit, for pickling.")
        // Spelled out so that every pickle protocol works, 0 and 1 included: __new__, then __setstate__.
        .def("__reduce__", [](nb::handle self) {
            return nb::make_tuple(nb::module_::import_("copyreg").attr("__newobj__"), nb::make_tuple(self.type()),
                                  saved_state(nb::cast<const Stream&>(self)));
        }, nb::sig("def __reduce__(self) -> tuple[object, tuple[type[typing.Self]], tuple[int, bytes]]"))
        // Pickling makes the object with __new__ and then calls this on it, uninitialised.
        .def("__setstate__", [name](Stream& s, nb::handle state) {
            const std::vector<std::uint64_t> words = state_words(state, name);
            brindlex::core::stream::WordReader reader(words.data(), words.size());
            auto restored = Stream::restore(reader);
            if (!restored || !reader.done()) {
                throw nb::value_error((std::string("invalid ") + name + " state").c_str());
            }
            new (&s) Stream(std::move(*restored));
        }, "state"_a, nb::sig("def __setstate__(self, state: tuple[int, bytes], /) -> None"),
           "Restores a state that __getstate__ gave, on an object made by __new__ alone (as pickle does).");
}

}  // namespace brindlex_stream
