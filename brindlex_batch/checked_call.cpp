// The arguments of one brindlex_batch call: every check and conversion, in the order of the
// signature (inputs, axis, lengths, groups, threads, periods, outputs), before any output is written.
#include "checked_call.h"

#include "call_arguments/integer_arguments.h"
#include "call_arguments/memory_extent.h"
#include "call_arguments/numpy_arrays.h"
#include "call_arguments/real_arrays.h"

#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif
// Linux's request to fault in a range for writing (5.14 on), named here for older headers.
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif

namespace brindlex::batch {
namespace {

namespace args = call_arguments;

// More threads than this never help; helper threads stay for the process's lifetime, so a larger
// request is read as this one.
constexpr std::size_t most_threads = 256;

constexpr const char* output_names[] = {"out[0]", "out[1]", "out[2]"};

const args::NumpyArrays& numpy() {
    const args::NumpyArrays* numpy = args::numpy_arrays();
    if (!numpy) throw nb::python_error();
    return *numpy;
}

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

int ndim(nb::handle array) noexcept { return args::array_fields(array.ptr())->nd; }

// The shape as Python shows it, "(3, 5)", for messages.
nb::object shape_of(nb::handle array) { return checked(PyObject_GetAttrString(array.ptr(), "shape")); }

bool same_shape(nb::handle a, nb::handle b) noexcept {
    const args::ArrayObject *x = args::array_fields(a.ptr()), *y = args::array_fields(b.ptr());
    if (x->nd != y->nd) return false;
    for (int d = 0; d < x->nd; ++d) {
        if (x->dimensions[d] != y->dimensions[d]) return false;
    }
    return true;
}

[[noreturn]] void raise(PyObject* type, const char* format, auto... values) {
    PyErr_Format(type, format, values...);
    throw nb::python_error();
}

// The usual argument, taken in a few loads: an exact ndarray of float64, aligned, of 1 or 2
// dimensions.
bool plain_float64(const args::NumpyArrays& numpy, PyObject* object) noexcept {
    if (!Py_IS_TYPE(object, numpy.array_type)) return false;
    const args::ArrayObject* fields = args::array_fields(object);
    return (fields->nd == 1 || fields->nd == 2) && (fields->flags & args::npy_aligned) &&
           numpy.is_float64(object);
}

nb::object call(PyObject* function, nb::handle argument, PyObject* dtype) {
    PyObject* arguments[] = {argument.ptr(), dtype};
    return checked(PyObject_Vectorcall(function, arguments, dtype ? 2 : 1, nullptr));
}

// The groups of codes of 0 or more, `width` bytes each: a signed code reads as the unsigned one.
core::RowGroups group_rows(const char* data, std::size_t size, std::int64_t width, std::uint64_t stream_bytes) {
    return with_code_type(width, [&]<class Code>(Code) {
        return core::RowGroups::of(std::span<const Code>(reinterpret_cast<const Code*>(data), size), stream_bytes);
    });
}

}  // namespace

CheckedCall::CheckedCall(const Signature& signature, const nb::handle* inputs, const nb::handle* periods,
                         nb::handle axis, nb::handle lengths, nb::handle groups, nb::handle out,
                         nb::handle threads)
    : signature_(signature) {
    read_inputs(inputs);
    int time_axis = 0;
    if (!args::read_axis(axis.ptr(), ndim(arrays_[0]), time_axis)) throw nb::python_error();
    time_axis_ = static_cast<std::size_t>(time_axis);
    read_lengths(lengths);
    read_groups(groups, !lengths.is_none());
    if (!args::read_threads(threads.ptr(), most_threads, threads_)) throw nb::python_error();
    read_periods(periods);
    group_codes();
    read_outputs(out);
}

ReadInput read_input(nb::handle given, const char* name) {
    const args::NumpyArrays& np = numpy();
    if (plain_float64(np, given.ptr())) return {nb::borrow(given), nb::borrow(given)};
    nb::object original = checked(args::as_real_array(given.ptr(), name));
    const int dimensions = ndim(original);
    if (dimensions != 1 && dimensions != 2) {
        raise(PyExc_ValueError, "argument '%s': expected 1 or 2 dimensions, got %d", name, dimensions);
    }
    const bool in_place = np.is_float64(original.ptr()) && args::whole_float64_steps(original.ptr());
    nb::object array = in_place ? original : nb::object(original.attr("astype")(nb::handle(np.float64_type)));
    return {std::move(original), std::move(array)};
}

void CheckedCall::read_inputs(const nb::handle* inputs) {
    for (std::size_t k = 0; k < signature_.inputs; ++k) {
        ReadInput read = read_input(inputs[k], signature_.input_names[k]);
        originals_[k] = std::move(read.original);
        arrays_[k] = std::move(read.array);
    }
    if (signature_.inputs == 3 && !(same_shape(arrays_[0], arrays_[1]) && same_shape(arrays_[0], arrays_[2]))) {
        raise(PyExc_ValueError, "arguments 'high', 'low' and 'close': expected one shape, got %S, %S, %S",
              shape_of(arrays_[0]).ptr(), shape_of(arrays_[1]).ptr(), shape_of(arrays_[2]).ptr());
    }
}

// A one-dimensional sequence of integers of 0 or more, for one-dimensional data, in C order and
// converted to `dtype` (none: kept); `what` names its entries in messages.
nb::object CheckedCall::read_counts(nb::handle counts, const char* name, const char* what, PyObject* dtype) {
    const args::NumpyArrays& np = numpy();
    if (ndim(arrays_[0]) != 1) {
        raise(PyExc_ValueError, "argument '%s': only for one-dimensional data (a long column), got %d dimensions",
              name, ndim(arrays_[0]));
    }
    nb::object given = checked(args::as_numpy_array(counts.ptr(), name));
    if (ndim(given) != 1) {
        raise(PyExc_ValueError, "argument '%s': expected a one-dimensional sequence, got %d dimensions", name,
              ndim(given));
    }
    if (args::array_fields(given.ptr())->dimensions[0] != 0) {
        nb::object dtype = given.attr("dtype");
        nb::object kind = dtype.attr("kind");
        const bool is_signed = kind.equal(nb::str("i"));
        if (!is_signed && !kind.equal(nb::str("u"))) {
            raise(PyExc_TypeError, "argument '%s': expected integers, got dtype %S", name, dtype.ptr());
        }
        if (is_signed) {
            nb::object least = given.attr("min")();
            if (least < nb::int_(0)) {
                raise(PyExc_ValueError, "argument '%s': expected %s of 0 or more, got %S", name, what, least.ptr());
            }
        }
    }
    return call(np.ascontiguousarray, given, dtype);
}

// The runs are cut from one contiguous column.
void CheckedCall::make_columns() {
    const args::NumpyArrays& np = numpy();
    for (std::size_t k = 0; k < signature_.inputs; ++k) {
        if (!(args::array_fields(arrays_[k].ptr())->flags & args::npy_c_contiguous)) {
            arrays_[k] = call(np.ascontiguousarray, arrays_[k], nullptr);
        }
    }
}

void CheckedCall::read_lengths(nb::handle lengths) {
    if (lengths.is_none()) return;
    length_array_ = read_counts(lengths, "lengths", "lengths", numpy().uint64_type);
    lengths_ = LengthArray::of(length_array_.ptr());
    make_columns();
}

void CheckedCall::read_groups(nb::handle groups, bool with_lengths) {
    if (groups.is_none()) return;
    if (with_lengths) {
        raise(PyExc_ValueError, "arguments 'lengths' and 'groups': expected one of them, got both");
    }
    // Read at their own width, which saves converting a column of narrow codes; of another byte
    // order, they are converted, and copied where they lie unaligned.
    nb::object codes = read_counts(groups, "groups", "codes", nullptr);
    if (!nb::cast<bool>(codes.attr("dtype").attr("isnative"))) {
        codes = call(numpy().ascontiguousarray, codes, numpy().uint64_type);
    }
    if (!(args::array_fields(codes.ptr())->flags & args::npy_aligned)) codes = codes.attr("copy")();
    const args::ArrayObject* fields = args::array_fields(codes.ptr());
    const auto size = static_cast<std::size_t>(fields->dimensions[0]);
    const std::size_t rows = args::array_fields(arrays_[0].ptr())->dimensions[0];
    if (size != rows) {
        raise(PyExc_ValueError, "argument 'groups': expected one code per row (%zu), got %zu", rows, size);
    }
    codes_ = std::move(codes);
    make_columns();
}

// After the periods, which tell whether the groups can be computed row by row.
void CheckedCall::group_codes() {
    if (!codes_.is_valid()) return;
    const args::ArrayObject* fields = args::array_fields(codes_.ptr());
    const auto size = static_cast<std::size_t>(fields->dimensions[0]);
    const std::uint64_t stream_bytes = signature_.stream_bytes ? signature_.stream_bytes(periods_) : 0;
    groups_ = group_rows(fields->data, size, size == 0 ? 8 : numpy().element_size(codes_.ptr()), stream_bytes);
}

std::optional<StreamedCodes> CheckedCall::streamed_codes() const noexcept {
    if (!groups_ || groups_->streams() == 0) return std::nullopt;
    const args::ArrayObject* fields = args::array_fields(codes_.ptr());
    const auto rows = static_cast<std::size_t>(fields->dimensions[0]);
    const std::uint64_t bytes = signature_.stream_bytes ? signature_.stream_bytes(periods_) : 0;
    if (groups_->numbers()) {
        return StreamedCodes{static_cast<const char*>(groups_->numbers()), rows,
                             static_cast<std::int64_t>(groups_->number_width()), groups_->streams(), bytes};
    }
    return StreamedCodes{fields->data, rows, numpy().element_size(codes_.ptr()), groups_->streams(), bytes};
}

void CheckedCall::fault_in_outputs() noexcept {
#if defined(__linux__)
    if (!fresh_outputs_) return;
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));  // 4 KiB, or 64 on some ARM64 systems
    for (std::size_t k = 0; k < signature_.outputs; ++k) {
        const args::ArrayObject* fields = args::array_fields(targets_[k].ptr());
        // Allocated here: contiguous float64.
        std::uintptr_t bytes = sizeof(double);
        for (int d = 0; d < fields->nd; ++d) bytes *= static_cast<std::uintptr_t>(fields->dimensions[d]);
        const auto begin = reinterpret_cast<std::uintptr_t>(fields->data);
        const std::uintptr_t end = begin + bytes;
        // Whole pages only: the first and last may hold others' memory, and fault in as usual.
        const std::uintptr_t first = (begin + page - 1) / page * page, last = end / page * page;
        if (last > first && madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) != 0) return;
    }
    fresh_outputs_ = false;
#endif
}

std::optional<std::span<const std::uint64_t>> CheckedCall::runs() const noexcept {
    if (lengths_) return std::span<const std::uint64_t>{lengths_->data(), lengths_->shape(0)};
    if (groups_ && groups_->turns() == 0 && groups_->streams() == 0) return groups_->lengths();
    return std::nullopt;
}

std::span<const std::uint64_t> CheckedCall::grouped_slots() const noexcept {
    return groups_ ? groups_->slots() : std::span<const std::uint64_t>{};
}

void CheckedCall::read_periods(const nb::handle* periods) {
    for (std::size_t k = 0; k < signature_.periods; ++k) {
        if (!args::read_period(periods[k].ptr(), signature_.period_names[k], args::PeriodWords::named,
                               periods_[k])) {
            throw nb::python_error();
        }
    }
    if (signature_.periods == 3 && !args::check_macd_periods(periods_[0], periods_[1], periods_[2])) {
        throw nb::python_error();
    }
}

void CheckedCall::read_outputs(nb::handle out) {
    const args::NumpyArrays& np = numpy();
    const bool by_runs = lengths_.has_value() || groups_.has_value();
    if (out.is_none()) {
        // One layout the runs can take; otherwise the input's order, which the kernels read and
        // write at the same speed.
        for (std::size_t k = 0; k < signature_.outputs; ++k) {
            results_[k] = targets_[k] = checked(np.new_like(arrays_[0].ptr(), !by_runs));
        }
        fresh_outputs_ = true;
        return;
    }
    for (std::size_t k = 0; k < signature_.inputs; ++k) input_bounds_[k] = args::memory_bounds(np, originals_[k].ptr());
    if (signature_.outputs == 1) {
        check_output(out, "out", 0);
    } else {
        const bool sequence = PyTuple_Check(out.ptr()) || PyList_Check(out.ptr());
        if (!sequence || PySequence_Size(out.ptr()) != 3) {
            nb::object type_name = checked(PyType_GetName(Py_TYPE(out.ptr())));
            raise(PyExc_TypeError, "argument 'out': expected a tuple of 3 arrays, got %U", type_name.ptr());
        }
        for (std::size_t k = 0; k < 3; ++k) {
            check_output(nb::borrow(PySequence_Fast_GET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k))), output_names[k], k);
        }
    }
    for (std::size_t k = 0; k < signature_.outputs; ++k) {
        PyObject* given = results_[k].ptr();
        const int flags = args::array_fields(given)->flags;
        const bool steppable = by_runs ? (flags & args::npy_c_contiguous) != 0 : args::whole_float64_steps(given);
        targets_[k] = steppable ? results_[k] : checked(np.new_like(arrays_[0].ptr(), false));
    }
}

void CheckedCall::check_output(nb::handle out, const char* name, std::size_t index) {
    const args::NumpyArrays& np = numpy();
    PyObject* given = out.ptr();
    if (!np.is_array(given)) {
        nb::object type_name = checked(PyType_GetName(Py_TYPE(given)));
        raise(PyExc_TypeError, "argument '%s': expected a numpy.ndarray, got %U", name, type_name.ptr());
    }
    if (!np.is_float64(given)) {
        raise(PyExc_TypeError, "argument '%s': expected dtype float64, got %S", name,
              args::array_fields(given)->descr);
    }
    if (!same_shape(out, arrays_[0])) {
        raise(PyExc_ValueError, "argument '%s': expected the input's shape %S, got %S", name,
              shape_of(arrays_[0]).ptr(), shape_of(out).ptr());
    }
    if (!(args::array_fields(given)->flags & args::npy_writeable)) {
        raise(PyExc_ValueError, "argument '%s': the array is read-only", name);
    }
    if (!args::distinct_elements(np, given)) {
        raise(PyExc_ValueError, "argument '%s': its elements may overlap each other (a stride of 0 or too short)",
              name);
    }
    // Bounds of memory, not elements: outputs interleaved with an input are refused too.
    const args::MemoryBounds bounds = args::memory_bounds(np, given);
    for (std::size_t k = 0; k < signature_.inputs; ++k) {
        if (args::may_share_memory(bounds, input_bounds_[k])) {
            raise(PyExc_ValueError, "argument '%s': shares memory with argument '%s'", name,
                  signature_.input_names[k]);
        }
    }
    for (std::size_t k = 0; k < index; ++k) {
        if (args::may_share_memory(bounds, result_bounds_[k])) {
            raise(PyExc_ValueError, "argument '%s': shares memory with argument '%s'", name, output_names[k]);
        }
    }
    results_[index] = nb::borrow(out);
    result_bounds_[index] = bounds;
}

nb::object CheckedCall::finish(PyTypeObject* tuple_type) {
    const args::NumpyArrays& np = numpy();
    for (std::size_t k = 0; k < signature_.outputs; ++k) {
        if (!targets_[k].is(results_[k])) {
            PyObject* arguments[] = {results_[k].ptr(), targets_[k].ptr()};
            checked(PyObject_Vectorcall(np.copyto, arguments, 2, nullptr));
        }
    }
    if (signature_.outputs == 1) return results_[0];
    // Made as tuple.__new__ makes an instance of a subclass, without the argument tuples between.
    nb::object tuple = checked(tuple_type->tp_alloc(tuple_type, 3));
    for (std::size_t k = 0; k < 3; ++k) PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(k), results_[k].inc_ref().ptr());
#if PY_VERSION_HEX >= 0x030E0000
    reinterpret_cast<PyTupleObject*>(tuple.ptr())->ob_hash = -1;  // its hash not yet computed
#endif
    return tuple;
}

}  // namespace brindlex::batch
