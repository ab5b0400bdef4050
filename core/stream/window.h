// The last `period` values of a stream, kept in a ring that grows only as bars arrive.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace brindlex::core::stream {

// A period may be anything up to 2^64 - 1, so the ring is never sized by the period up front: it
// grows with the bars seen (capped at the period) and only then starts overwriting its oldest.
class Window {
public:
    explicit Window(std::uint64_t period) noexcept : period_(period) {}

    std::uint64_t size() const noexcept { return values_.size(); }
    bool full() const noexcept { return values_.size() == period_; }

    // The value that entered k pushes ago (0: the newest). Requires k < size().
    double back(std::uint64_t k) const noexcept {
        const std::uint64_t n = values_.size();
        const std::uint64_t newest = head_ == 0 ? n - 1 : head_ - 1;
        return values_[newest >= k ? newest - k : newest + n - k];
    }

    // The value the next push would overwrite, once the ring is full.
    double oldest() const noexcept { return values_[head_]; }

    // Amortised O(1); may throw std::bad_alloc only while the ring is still growing, and then
    // leaves it unchanged. The full ring, every push after the first `period`, is the inline case.
    void push(double x) {
        if (full() && period_ != 0) [[likely]] {
            values_[head_] = x;
            head_ = head_ + 1 == period_ ? 0 : head_ + 1;
            return;
        }
        push_while_growing(x);
    }

    // Makes room for `count` more pushes, so that they cannot fail. Called before a stretch is
    // committed, so that a failed allocation changes nothing.
    void reserve_for(std::uint64_t count) {
        if (full() || period_ == 0) return;
        const std::uint64_t want = std::min<std::uint64_t>(period_, values_.size() + std::min(count, period_));
        if (want > values_.capacity()) values_.reserve(want);
    }

    // Oldest first.
    std::vector<double> in_order() const {
        std::vector<double> out;
        out.reserve(values_.size());
        for (std::uint64_t k = values_.size(); k-- > 0;) out.push_back(back(k));
        return out;
    }

    std::uint64_t period() const noexcept { return period_; }

    // The ring holding `values`, oldest first; at most `period` of them.
    static Window restored(std::uint64_t period, std::vector<double> values) {
        Window w(period);
        w.values_ = std::move(values);
        return w;
    }

private:
    [[gnu::noinline]] void push_while_growing(double x) {
        if (period_ == 0) return;
        grow_for_one_more();
        values_.push_back(x);
    }

    // Geometric growth, but never past the period: a huge period costs only the bars seen.
    void grow_for_one_more() {
        if (values_.size() < values_.capacity()) return;
        const std::uint64_t doubled = std::max<std::uint64_t>(16, 2 * values_.capacity());
        values_.reserve(std::min<std::uint64_t>(period_, doubled));
    }

    std::uint64_t period_;
    std::vector<double> values_;
    std::uint64_t head_ = 0;  // next slot to overwrite once full
};

}  // namespace brindlex::core::stream
