// The private function group_string_keys: a string column's Arrow stream read in place and grouped.
#include "group_keys.h"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow_stream.h"
#include "string_keys.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace brindlex::batch {
namespace {

// The chunk in a layout read here, or nothing (a type other than strings, or a malformed chunk).
std::optional<StringChunk> string_chunk(std::string_view format, const arrow::ArrowArray& array) {
    StringChunk chunk{};
    const std::int64_t buffers = array.n_buffers;
    if ((format == "u" || format == "U") && buffers == 3) {
        chunk.layout = format == "u" ? StringChunk::Layout::offsets32 : StringChunk::Layout::offsets64;
        chunk.data = static_cast<const char*>(array.buffers[2]);
    } else if (format == "vu" && buffers >= 3) {
        chunk.layout = StringChunk::Layout::views;
        chunk.view_data = reinterpret_cast<const char* const*>(array.buffers + 2);
    } else {
        return std::nullopt;
    }
    chunk.offset = array.offset;
    chunk.length = array.length;
    chunk.validity = array.null_count == 0 ? nullptr : static_cast<const std::uint8_t*>(array.buffers[0]);
    chunk.index = array.buffers[1];
    if (chunk.length > 0 && !chunk.index) return std::nullopt;
    return chunk;
}

// The vector's elements as a NumPy array that owns them.
template <class Vector>
auto numpy_of(Vector&& values) {
    using T = typename Vector::value_type;
    auto* owned = new Vector(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<Vector*>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), {owned->size()}, owner);
}

nb::object group_keys(nb::capsule stream, bool codes_only, bool sorted) {
    auto* pointer = static_cast<arrow::ArrowArrayStream*>(PyCapsule_GetPointer(stream.ptr(), "arrow_array_stream"));
    if (!pointer) throw nb::python_error();
    if (!pointer->release) throw nb::value_error("the Arrow stream was already consumed");
    const arrow::StreamChunks read(*pointer);
    std::vector<StringChunk> chunks;
    for (const arrow::ArrowArray& array : read.chunks()) {
        const std::optional<StringChunk> chunk = string_chunk(read.format(), array);
        if (!chunk) return nb::none();
        chunks.push_back(*chunk);
    }
    std::optional<KeyGroups> groups;
    {
        nb::gil_scoped_release unlocked;
        groups = group_string_keys(chunks, codes_only, sorted);
    }
    if (!groups) return nb::none();
    nb::object array = groups->runs ? nb::cast(numpy_of(std::move(groups->lengths)))
                                    : nb::cast(numpy_of(std::move(groups->codes)));
    const char* layout = groups->runs ? "runs" : groups->turns != 0 ? "turns" : "codes";
    return nb::make_tuple(array, layout, groups->missing_code);
}

}  // namespace

void define_group_keys(nb::module_& m) {
    m.def("group_string_keys", &group_keys, "stream"_a, "codes_only"_a, "sorted"_a = false,
          nb::sig("def group_string_keys(stream: object, codes_only: bool, sorted: bool = False) -> "
                  "tuple[numpy.typing.NDArray[numpy.unsignedinteger], typing.Literal['runs', 'turns', 'codes'], int] | None"),
          "Groups the rows of a string column given as an Arrow stream capsule (\"arrow_array_stream\"): "
          "(lengths, 'runs', missing) where every key's rows form one run; (codes, 'turns', missing) where "
          "the rows take turns through the keys, each once a turn in the same order, codes being the "
          "first turn's; else (codes, 'codes', missing), a code per row. missing is the code of the rows "
          "without a key (-1: none). With codes_only, always a code per row. None for a column of "
          "other types. With sorted, the keys are taken to be sorted (as polars' sorted flag says), and each key's "
          "run is searched for rather than read through.");
}

}  // namespace brindlex::batch
