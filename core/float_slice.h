// Float slices: the only view of memory the kernels get, at any byte alignment, and their overlap test.
#pragma once

#include <concepts>
#include <cstdint>
#include <ranges>
#include <type_traits>

namespace brindlex::core {

// NumPy hands over float64 arrays at any byte offset (a buffer sliced at an odd offset, a memory
// map), so every element is read and written through this one-byte-aligned type: each access is
// then defined for any address, and on x86-64 it is still one plain load or store.
typedef double unaligned_double __attribute__((aligned(1)));

static_assert(sizeof(unaligned_double) == sizeof(double) && alignof(unaligned_double) == 1);

// Contiguous doubles held elsewhere (a span, a vector), read-only or writable.
template <class R>
concept DoubleRange = std::ranges::contiguous_range<R> && std::ranges::sized_range<R> &&
                      std::same_as<std::remove_cv_t<std::ranges::range_value_t<R>>, double>;
template <class R>
concept WritableDoubleRange =
    DoubleRange<R> && !std::is_const_v<std::remove_reference_t<std::ranges::range_reference_t<R>>>;

class InputSlice {
public:
    InputSlice() noexcept = default;
    InputSlice(const unaligned_double* data, std::uint64_t size) noexcept : data_(data), size_(size) {}
    template <DoubleRange R>
    InputSlice(R&& r) noexcept : data_(std::ranges::data(r)), size_(std::ranges::size(r)) {}

    const unaligned_double* data() const noexcept { return data_; }
    std::uint64_t size() const noexcept { return size_; }
    std::uint64_t size_bytes() const noexcept { return size_ * sizeof(double); }
    bool empty() const noexcept { return size_ == 0; }
    double operator[](std::uint64_t i) const noexcept { return data_[i]; }

private:
    const unaligned_double* data_ = nullptr;
    std::uint64_t size_ = 0;
};

class OutputSlice {
public:
    OutputSlice() noexcept = default;
    OutputSlice(unaligned_double* data, std::uint64_t size) noexcept : data_(data), size_(size) {}
    template <WritableDoubleRange R>
    OutputSlice(R&& r) noexcept : data_(std::ranges::data(r)), size_(std::ranges::size(r)) {}

    unaligned_double* data() const noexcept { return data_; }
    std::uint64_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    unaligned_double& operator[](std::uint64_t i) const noexcept { return data_[i]; }
    OutputSlice first(std::uint64_t count) const noexcept { return {data_, count}; }
    operator InputSlice() const noexcept { return {data_, size_}; }

private:
    unaligned_double* data_ = nullptr;
    std::uint64_t size_ = 0;
};

// True when the two slices share at least one byte. Kernels that take shortcuts on earlier reads
// (a partial NaN fill, a remembered window) must fall back to their literal order of reads and
// writes when an output overlaps an input, so every partial or offset overlap counts.
inline bool overlaps(InputSlice a, InputSlice b) noexcept {
    if (a.empty() || b.empty()) return false;
    const auto a_begin = reinterpret_cast<std::uintptr_t>(a.data());
    const auto b_begin = reinterpret_cast<std::uintptr_t>(b.data());
    const auto a_end = a_begin + a.size_bytes();
    const auto b_end = b_begin + b.size_bytes();
    return a_begin < b_end && b_begin < a_end;
}

}  // namespace brindlex::core
