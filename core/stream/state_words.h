// A stream's state as 64-bit words, exact to the bit, for saving and restoring it.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

namespace brindlex::core::stream {

// Doubles go in as their bit patterns, so that a restored stream carries on with the very same
// NaN payloads and signed zeros.
class WordWriter {
public:
    void word(std::uint64_t w) { words_.push_back(w); }
    void real(double x) { word(std::bit_cast<std::uint64_t>(x)); }
    void reals(const std::vector<double>& xs) {
        word(xs.size());
        for (double x : xs) real(x);
    }
    std::vector<std::uint64_t> take() { return std::move(words_); }

private:
    std::vector<std::uint64_t> words_;
};

// Reads what WordWriter wrote; any shortfall or leftover makes the whole state invalid.
class WordReader {
public:
    WordReader(const std::uint64_t* words, std::uint64_t count) noexcept : p_(words), left_(count) {}

    std::optional<std::uint64_t> word() noexcept {
        if (left_ == 0) return std::nullopt;
        --left_;
        return *p_++;
    }
    std::optional<double> real() noexcept {
        const auto w = word();
        if (!w) return std::nullopt;
        return std::bit_cast<double>(*w);
    }
    // At most `limit` values, so that a forged length cannot claim more than the period allows.
    std::optional<std::vector<double>> reals(std::uint64_t limit) {
        const auto n = word();
        if (!n || *n > limit || *n > left_) return std::nullopt;
        std::vector<double> xs(*n);
        for (auto& x : xs) x = *real();
        return xs;
    }
    bool done() const noexcept { return left_ == 0; }

private:
    const std::uint64_t* p_;
    std::uint64_t left_;
};

}  // namespace brindlex::core::stream
