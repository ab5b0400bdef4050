// Saving and restoring a stream for pickling: a format version and the state's words as bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "core/stream/state_words.h"

namespace brindlex_stream {

namespace nb = nanobind;

// Bumped whenever the words a stream saves change meaning; a state of another version is refused.
inline constexpr int state_format_version = 1;

// (version, bytes): the words little-endian, as the machine holds them (x86-64 only).
template <class Stream>
nb::tuple saved_state(const Stream& s) {
    brindlex::core::stream::WordWriter w;
    s.save(w);
    const std::vector<std::uint64_t> words = w.take();
    return nb::make_tuple(state_format_version,
                          nb::bytes(reinterpret_cast<const char*>(words.data()), words.size() * sizeof(std::uint64_t)));
}

// The words of a saved state, after checking its shape and version; ValueError otherwise.
inline std::vector<std::uint64_t> state_words(nb::handle state, const char* class_name) {
    const auto refuse = [&](const std::string& why) {
        throw nb::value_error((std::string("invalid ") + class_name + " state: " + why).c_str());
    };
    if (!nb::isinstance<nb::tuple>(state) || nb::len(state) != 2 || !nb::isinstance<nb::int_>(state[0]) ||
        !nb::isinstance<nb::bytes>(state[1])) {
        refuse("expected a tuple (version, bytes)");
    }
    PyObject* version = PyTuple_GET_ITEM(state.ptr(), 0);
    int overflow = 0;
    if (PyLong_AsLongAndOverflow(version, &overflow) != state_format_version || overflow) {
        refuse(std::string("format version ") + nb::str(version).c_str() + ", this build reads version " +
               std::to_string(state_format_version));
    }
    const nb::bytes data = nb::borrow<nb::bytes>(PyTuple_GET_ITEM(state.ptr(), 1));
    if (data.size() % sizeof(std::uint64_t) != 0) refuse("its length is not a whole number of words");
    std::vector<std::uint64_t> words(data.size() / sizeof(std::uint64_t));
    if (!words.empty()) std::memcpy(words.data(), data.c_str(), data.size());
    return words;
}

}  // namespace brindlex_stream
