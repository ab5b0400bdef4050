// Slices at every byte offset within a double: the same bits as aligned ones, and (under the sanitizer build) no misaligned access.
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "core/atr.h"
#include "core/ema.h"
#include "core/macd.h"
#include "core/sma.h"
#include "harness.h"

namespace brindlex::test {
namespace {

using core::InputSlice;
using core::OutputSlice;
using core::unaligned_double;

// Byte storage for several slices, each placed `offset` bytes past an 8-byte boundary.
class Bytes {
public:
    Bytes(std::size_t slices, std::size_t n, std::size_t offset)
        : n_(n), offset_(offset), bytes_(slices * (n + 1) * sizeof(double) + 16) {}

    unaligned_double* at(std::size_t slice) {
        auto* base = bytes_.data() + (8 - reinterpret_cast<std::uintptr_t>(bytes_.data()) % 8) % 8;
        return reinterpret_cast<unaligned_double*>(base + slice * (n_ + 1) * sizeof(double) + offset_);
    }
    InputSlice input(std::size_t slice, const std::vector<double>& values) {
        std::memcpy(at(slice), values.data(), n_ * sizeof(double));
        return {at(slice), n_};
    }
    OutputSlice output(std::size_t slice) { return {at(slice), n_}; }
    std::vector<double> read(std::size_t slice) {
        std::vector<double> v(n_);
        std::memcpy(v.data(), at(slice), n_ * sizeof(double));
        return v;
    }

private:
    std::size_t n_, offset_;
    std::vector<unsigned char> bytes_;
};

// NaN and infinities often enough that the mask-driven loops run too, which load and store
// through the vector registers.
const Mix sprinkled{Mix::Base::walk, 0.2, 0.05, 0.05, 0.02, 0.0, true};
const Mix clean{};

class Misaligned : public testing::TestWithParam<std::size_t> {};

TEST_P(Misaligned, EveryKernelMatchesItsAlignedRun) {
    const std::size_t offset = GetParam(), n = 300;
    SeriesMaker maker(0xB17E0000 + offset);
    for (const Mix* mix : {&clean, &sprinkled}) {
        const std::vector<double> x = maker.make(n, *mix), y = maker.make(n, *mix),
                                  z = maker.make(n, *mix);
        std::vector<double> a(n), b(n), c(n);
        Bytes m(6, n, offset);

        core::sma(5, x, a);
        core::sma(5, m.input(0, x), m.output(1));
        EXPECT_TRUE(same_bits(a, m.read(1))) << "sma";

        core::ema(5, x, a);
        core::ema(5, m.input(0, x), m.output(1));
        EXPECT_TRUE(same_bits(a, m.read(1))) << "ema";

        core::macd(3, 7, 4, x, a, b, c);
        core::macd(3, 7, 4, m.input(0, x), m.output(1), m.output(2), m.output(3));
        EXPECT_TRUE(same_bits(a, m.read(1)) && same_bits(b, m.read(2)) && same_bits(c, m.read(3)))
            << "macd";

        core::atr(4, x, y, z, a);
        core::atr(4, m.input(0, x), m.input(1, y), m.input(2, z), m.output(3));
        EXPECT_TRUE(same_bits(a, m.read(3))) << "atr";
    }
}

TEST_P(Misaligned, OutputOverDataTakesTheLiteralPath) {
    // The same misaligned memory as input and output sends the kernels down their literal order.
    const std::size_t offset = GetParam(), n = 200;
    SeriesMaker maker(0xB17E1000 + offset);
    const std::vector<double> x = maker.make(n, sprinkled);
    Bytes m(1, n, offset);

    std::vector<double> expected = x;
    core::macd(3, 7, 4, expected, expected, expected, expected);
    core::macd(3, 7, 4, m.input(0, x), m.output(0), m.output(0), m.output(0));
    EXPECT_TRUE(same_bits(expected, m.read(0)));

    // An average over its own output finds no finite input: every element ends as the marker.
    core::ema(5, m.input(0, x), m.output(0));
    EXPECT_TRUE(same_bits(std::vector<double>(n, marker), m.read(0)));
}

INSTANTIATE_TEST_SUITE_P(ByteOffsets, Misaligned, testing::Values(0u, 1u, 3u, 4u, 7u));

}  // namespace
}  // namespace brindlex::test
