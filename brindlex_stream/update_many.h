// update_many of the one-input streams: convert, allocate, then commit the stretch.
#pragma once

#include <nanobind/nanobind.h>

#include "arguments.h"

namespace brindlex_stream {

namespace nb = nanobind;

// Everything that can fail (conversion, allocation, the stream's own room) happens before the
// stream changes, and no Python code runs while it does: the call is atomic.
template <class Stream>
nb::object update_many_one(Stream& s, nb::handle data) {
    const Float64Input in(data, "data");
    const Float64Output out(in.size());
    s.update_many(in.slice(), out.slice());
    return out.array();
}

}  // namespace brindlex_stream
