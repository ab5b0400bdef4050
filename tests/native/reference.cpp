// The oracle: each kernel written out step by step, with no shortcut, in its exact order of reads and writes.
#include "reference.h"

#include <bit>
#include <cmath>

namespace brindlex::reference {
namespace {

constexpr std::uint64_t marker_bits = 0x7FF8000000000000ULL;
constexpr double marker = std::bit_cast<double>(marker_bits);

// Bit tests, so that nothing here depends on how the compiler treats comparisons with NaN.
bool is_nan(double x) {
    return (std::bit_cast<std::uint64_t>(x) & ~(1ULL << 63)) > 0x7FF0000000000000ULL;
}

bool is_finite(double x) {
    return (std::bit_cast<std::uint64_t>(x) & ~(1ULL << 63)) < 0x7FF0000000000000ULL;
}

// Every store of the oracle goes through here, so the log sees each one in program order.
class Sink {
public:
    Sink(OutputSlice out, WriteLog* log) : out_(out), log_(log) {}

    void put_marker(std::size_t i) { put(i, marker, WriteLog::Store::marker); }
    void put_value(std::size_t i, double v) { put(i, v, WriteLog::Store::computed); }

    void put(std::size_t i, double v, WriteLog::Store store) {
        out_[i] = v;
        if (log_ != nullptr) log_->record(&out_[i], store);
    }

    void fill_marker() {
        for (std::size_t i = 0; i < out_.size(); ++i) put_marker(i);
    }

private:
    OutputSlice out_;
    WriteLog* log_;
};

// The maximum that ignores a NaN operand; on a tie the first operand wins.
double max_ignoring_nan(double a, double b) {
    if (is_nan(a)) return b;
    if (is_nan(b)) return a;
    return b > a ? b : a;
}

// Bar i >= 1; reads high[i], low[i], close[i - 1].
double true_range(InputSlice high, InputSlice low, InputSlice close, std::size_t i) {
    const double h = high[i];
    const double l = low[i];
    const double c = close[i - 1];
    return max_ignoring_nan(max_ignoring_nan(h - l, std::fabs(h - c)), std::fabs(l - c));
}

}  // namespace

void sma(std::uint64_t period, InputSlice data, OutputSlice output, WriteLog* log) noexcept {
    const std::uint64_t n = data.size();
    const std::uint64_t p = period;
    Sink out(output, log);

    if (p - 1 >= n) {
        out.fill_marker();
        return;
    }
    out.fill_marker();

    double sum = -0.0;
    for (std::uint64_t k = 0; k < p; ++k) sum = sum + data[k];
    const double inv = 1.0 / static_cast<double>(p);
    out.put_value(p - 1, inv * sum);

    for (std::uint64_t i = p; i < n; ++i) {
        const double d = data[i] - data[i - p];
        sum = sum + d;
        out.put_value(i, inv * sum);
    }
}

void ema(std::uint64_t period, InputSlice data, OutputSlice output, WriteLog* log) noexcept {
    const std::uint64_t n = data.size();
    const std::uint64_t p = period;
    Sink out(output, log);

    if (p - 1 >= n) {
        out.fill_marker();
        return;
    }
    out.fill_marker();

    bool found = false;
    std::uint64_t j = 0;
    for (std::uint64_t start = 0; start + p <= n; ++start) {
        bool all_finite = true;
        for (std::uint64_t k = 0; k < p; ++k) {
            if (!is_finite(data[start + k])) {
                all_finite = false;
                break;
            }
        }
        if (all_finite) {
            found = true;
            j = start;
            break;
        }
    }
    if (!found) return;

    double s = -0.0;
    for (std::uint64_t k = 0; k < p; ++k) s = s + data[j + k];
    double ema_value = s / static_cast<double>(p);
    out.put_value(j + p - 1, ema_value);

    const double alpha = 2.0 / (static_cast<double>(p) + 1.0);
    const double beta = 1.0 - alpha;

    for (std::uint64_t i = j + p; i < n; ++i) {
        const double x = data[i];
        if (!is_finite(x)) continue;
        ema_value = (ema_value * beta) + (x * alpha);
        out.put_value(i, ema_value);
    }
}

void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputSlice data, OutputSlice macd_output, OutputSlice signal_output,
          OutputSlice hist_output, WriteLog* log) noexcept {
    const std::uint64_t n = data.size();
    const std::uint64_t f = fast_period;
    const std::uint64_t s = slow_period;
    const std::uint64_t g = signal_period;
    Sink macd_out(macd_output, log);
    Sink signal_out(signal_output, log);
    Sink hist_out(hist_output, log);

    const double fast_alpha = 2.0 / (static_cast<double>(f) + 1.0);
    const double slow_alpha = 2.0 / (static_cast<double>(s) + 1.0);
    const double signal_alpha = 2.0 / (static_cast<double>(g) + 1.0);
    const double fast_beta = 1.0 - fast_alpha;
    const double slow_beta = 1.0 - slow_alpha;
    const double signal_beta = 1.0 - signal_alpha;

    double fast_ema = marker;
    double slow_ema = marker;
    double signal_ema = marker;
    // Until the first assignment, signal_ema is the marker itself rather than a computed NaN.
    WriteLog::Store signal_store = WriteLog::Store::marker;

    for (std::uint64_t i = 0; i < n; ++i) {
        const double x = data[i];

        if (is_nan(x)) {
            macd_out.put_marker(i);
            signal_out.put_marker(i);
            hist_out.put_marker(i);
            continue;
        }
        if (i < s - 1) {
            macd_out.put_marker(i);
            signal_out.put_marker(i);
            hist_out.put_marker(i);
            continue;
        }

        if (is_nan(fast_ema)) {
            double fast_sum = -0.0;
            for (std::uint64_t k = 0; k < f; ++k) fast_sum = fast_sum + data[i - k];
            fast_ema = fast_sum / static_cast<double>(f);
            double slow_sum = -0.0;
            for (std::uint64_t k = 0; k < s; ++k) slow_sum = slow_sum + data[i - k];
            slow_ema = slow_sum / static_cast<double>(s);
        } else {
            slow_ema = (slow_ema * slow_beta) + (x * slow_alpha);
            fast_ema = (fast_ema * fast_beta) + (x * fast_alpha);
        }

        const double m = fast_ema - slow_ema;

        if (!is_nan(signal_ema)) {
            signal_ema = (signal_ema * signal_beta) + (signal_alpha * m);
            signal_store = WriteLog::Store::computed;
        } else if (i >= s + g - 2) {
            signal_ema = m;
            signal_store = WriteLog::Store::computed;
        }

        macd_out.put_value(i, m);
        signal_out.put(i, signal_ema, signal_store);
        if (is_nan(signal_ema)) {
            hist_out.put_marker(i);
        } else {
            hist_out.put_value(i, m - signal_ema);
        }
    }
}

void atr(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
         OutputSlice output, WriteLog* log) noexcept {
    const std::uint64_t n = high.size();
    const std::uint64_t p = period;
    Sink out(output, log);

    if (!(1 <= p && p < n)) {
        out.fill_marker();
        return;
    }
    out.fill_marker();

    const double inv = 1.0 / static_cast<double>(p);

    double s = +0.0;
    for (std::uint64_t i = 1; i <= p; ++i) s = s + true_range(high, low, close, i);
    double atr_value = s / static_cast<double>(p);
    out.put_value(p, atr_value);

    for (std::uint64_t j = p + 1; j < n; ++j) {
        double d = true_range(high, low, close, j) - atr_value;
        d = d * inv;
        atr_value = atr_value + d;
        out.put_value(j, atr_value);
    }
}

void sma(std::uint64_t period, InputSlice data, OutputSlice output) noexcept {
    sma(period, data, output, nullptr);
}

void ema(std::uint64_t period, InputSlice data, OutputSlice output) noexcept {
    ema(period, data, output, nullptr);
}

void macd(std::uint64_t fast_period, std::uint64_t slow_period, std::uint64_t signal_period,
          InputSlice data, OutputSlice macd_output, OutputSlice signal_output,
          OutputSlice hist_output) noexcept {
    macd(fast_period, slow_period, signal_period, data, macd_output, signal_output, hist_output,
         nullptr);
}

void atr(std::uint64_t period, InputSlice high, InputSlice low, InputSlice close,
         OutputSlice output) noexcept {
    atr(period, high, low, close, output, nullptr);
}

}  // namespace brindlex::reference
