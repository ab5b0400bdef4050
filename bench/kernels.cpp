// Times each kernel per element against a floor loop with the same floating-point dependency chain.
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/atr.h"
#include "core/ema.h"
#include "core/macd.h"
#include "core/sma.h"

namespace {

using Clock = std::chrono::steady_clock;
using Job = std::function<void()>;

constexpr double kRatioTarget = 1.10;
constexpr double kAdversarialTarget = 3.0;
constexpr double kNanMarker = std::bit_cast<double>(0x7FF8000000000000ULL);
constexpr double kInf = std::numeric_limits<double>::infinity();

// Keeps the compiler from moving memory accesses across the clock reads, or from treating the
// outputs of one repetition as dead because the next repetition overwrites them.
inline void clobber_memory() { asm volatile("" ::: "memory"); }

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// ---------------------------------------------------------------------------------------------
// Floors. Each is the least a kernel can do: the same chain of dependent floating-point
// operations in the same order, the same reads and the same stores, and nothing else (no tests
// for non-finite values, no overlap handling). `noipa` stops the compiler from cloning them
// for the constant periods of the call sites, which it cannot do for the kernels either, as they
// live in another translation unit. They are built with the kernels' flags, so neither may be
// vectorised or reassociated more than the other.

__attribute__((noipa)) void floor_sma(std::uint64_t p, const double* x, double* out,
                                      std::uint64_t n) {
    if (p == 0 || p > n) return;
    for (std::uint64_t i = 0; i + 1 < p; ++i) out[i] = kNanMarker;
    double sum = -0.0;
    for (std::uint64_t k = 0; k < p; ++k) sum = sum + x[k];
    const double inv = 1.0 / static_cast<double>(p);
    out[p - 1] = inv * sum;
    for (std::uint64_t i = p; i < n; ++i) {
        sum = sum + (x[i] - x[i - p]);
        out[i] = inv * sum;
    }
}

__attribute__((noipa)) void floor_ema(std::uint64_t p, const double* x, double* out,
                                      std::uint64_t n) {
    if (p == 0 || p > n) return;
    for (std::uint64_t i = 0; i + 1 < p; ++i) out[i] = kNanMarker;
    double sum = -0.0;
    for (std::uint64_t k = 0; k < p; ++k) sum = sum + x[k];
    const double pf = static_cast<double>(p);
    double e = sum / pf;
    out[p - 1] = e;
    const double alpha = 2.0 / (pf + 1.0);
    const double beta = 1.0 - alpha;
    for (std::uint64_t i = p; i < n; ++i) {
        e = (e * beta) + (x[i] * alpha);
        out[i] = e;
    }
}

__attribute__((noipa)) void floor_macd(std::uint64_t f, std::uint64_t s, std::uint64_t g,
                                       const double* x, double* macd_out, double* signal_out,
                                       double* hist_out, std::uint64_t n) {
    if (f == 0 || g == 0 || f >= s || n < s) return;
    for (std::uint64_t i = 0; i + 1 < s; ++i) {
        macd_out[i] = kNanMarker;
        signal_out[i] = kNanMarker;
        hist_out[i] = kNanMarker;
    }
    const double ff = static_cast<double>(f), sf = static_cast<double>(s);
    const double fa = 2.0 / (ff + 1.0), fb = 1.0 - fa;
    const double sa = 2.0 / (sf + 1.0), sb = 1.0 - sa;
    const double ga = 2.0 / (static_cast<double>(g) + 1.0), gb = 1.0 - ga;
    double fast_sum = -0.0, slow_sum = -0.0;
    for (std::uint64_t k = 0; k < f; ++k) fast_sum = fast_sum + x[s - 1 - k];
    for (std::uint64_t k = 0; k < s; ++k) slow_sum = slow_sum + x[s - 1 - k];
    double fast = fast_sum / ff, slow = slow_sum / sf, signal = kNanMarker;
    const std::uint64_t signal_start = s + g - 2;

    // Until the signal line is seeded only the MACD value exists.
    std::uint64_t i = s - 1;
    for (;;) {
        const double m = fast - slow;
        macd_out[i] = m;
        if (i >= signal_start) {
            signal = m;
            signal_out[i] = signal;
            hist_out[i] = m - signal;
            ++i;
            break;
        }
        signal_out[i] = kNanMarker;
        hist_out[i] = kNanMarker;
        if (++i >= n) return;
        slow = (slow * sb) + (x[i] * sa);
        fast = (fast * fb) + (x[i] * fa);
    }
    for (; i < n; ++i) {
        const double xi = x[i];
        slow = (slow * sb) + (xi * sa);
        fast = (fast * fb) + (xi * fa);
        const double m = fast - slow;
        signal = (signal * gb) + (ga * m);
        macd_out[i] = m;
        signal_out[i] = signal;
        hist_out[i] = m - signal;
    }
}

// Ordinary (not NaN-ignoring) maxima: the true range is off the dependency chain, so its exact
// NaN rules only cost the kernel issue slots, which the floor should not hide. Written with maxsd
// itself, so that the compiler cannot turn the floor's maxima into jumps that bars of varying range
// would mispredict.
inline double cheap_true_range(double h, double l, double c) {
    const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    const __m128d r = _mm_set_sd(h - l);
    const __m128d u = _mm_and_pd(_mm_set_sd(h - c), abs_mask);
    const __m128d v = _mm_and_pd(_mm_set_sd(l - c), abs_mask);
    return _mm_cvtsd_f64(_mm_max_sd(v, _mm_max_sd(u, r)));
}

__attribute__((noipa)) void floor_atr(std::uint64_t p, const double* high, const double* low,
                                      const double* close, double* out, std::uint64_t n) {
    if (p == 0 || p >= n) return;
    for (std::uint64_t i = 0; i < p; ++i) out[i] = kNanMarker;
    double s = 0.0;
    for (std::uint64_t i = 1; i <= p; ++i) s = s + cheap_true_range(high[i], low[i], close[i - 1]);
    const double pf = static_cast<double>(p);
    const double inv = 1.0 / pf;
    double a = s / pf;
    out[p] = a;
    for (std::uint64_t j = p + 1; j < n; ++j) {
        double d = cheap_true_range(high[j], low[j], close[j - 1]) - a;
        d = d * inv;
        a = a + d;
        out[j] = a;
    }
}

// ---------------------------------------------------------------------------------------------
// Input data.

// Mean-reverting log price around 100, so that even 10^7 steps stay price-like (a plain random
// walk would wander off to zero or thousands). Each bar opens with a gap from the previous close
// and has a random range around its open and close, so the previous close falls inside the bar on
// some bars and outside it, above or below, on others: which of the true range's three terms is
// largest changes from bar to bar at random, as on real bars.
struct Market {
    std::vector<double> high, low, close;
};

Market make_market(std::uint64_t n, std::uint64_t seed) {
    Market m;
    m.high.resize(n);
    m.low.resize(n);
    m.close.resize(n);
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    std::exponential_distribution<double> range(1.0);
    const double centre = std::log(100.0);
    double log_price = centre;
    double previous = 100.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const double open = previous * std::exp(0.004 * z(rng));
        log_price += 0.002 * (centre - log_price) + 0.01 * z(rng);
        const double c = std::exp(log_price);
        const double scale = 0.004 * range(rng);  // calm and wild bars alike
        m.close[i] = c;
        m.high[i] = std::max(open, c) * (1.0 + scale * std::fabs(z(rng)));
        m.low[i] = std::min(open, c) * (1.0 - scale * std::fabs(z(rng)));
        previous = c;
    }
    return m;
}

// Calls on series they have not seen: a branch predictor that met the same short series on every
// repetition would learn its outcomes and hide the mispredictions a user pays on new data. The
// series are consecutive stretches of one long market, walked in turn by each contender with a
// cursor of its own; the market holds at least kPoolBars bars, so a stretch comes round again
// only after a million bars, far more than any predictor remembers. Past that length a single
// series is itself too long to learn.
constexpr std::uint64_t kPoolBars = std::uint64_t{1} << 20;

class SeriesPool {
public:
    SeriesPool(std::uint64_t n, std::uint64_t seed)
        : n_(n), count_(std::max<std::uint64_t>(1, kPoolBars / std::max<std::uint64_t>(n, 1))),
          market_(make_market(n * count_, seed)) {}

    std::uint64_t length() const { return n_; }
    // Start of the next series for one contender's cursor.
    std::uint64_t next(std::uint64_t& cursor) const {
        const std::uint64_t start = (cursor % count_) * n_;
        ++cursor;
        return start;
    }
    const double* close(std::uint64_t at) const { return market_.close.data() + at; }
    const double* high(std::uint64_t at) const { return market_.high.data() + at; }
    const double* low(std::uint64_t at) const { return market_.low.data() + at; }

private:
    std::uint64_t n_, count_;
    Market market_;
};

// ---------------------------------------------------------------------------------------------
// Timing.

struct Budget {
    double side_seconds;        // wanted time per side and case, all repetitions together
    int min_reps;
    int max_reps;
    double min_sample_seconds;  // short calls are batched up to this, far above clock overhead
    double max_case_seconds;    // bounds the repetitions of a slow (adversarial) case
};

struct PairTiming {
    double best[2];    // seconds per call, minimum over samples
    double median[2];  // seconds per call, median over samples
    int reps;
    int batch;
};

double time_batch(const Job& job, int batch) {
    clobber_memory();
    const auto t0 = Clock::now();
    for (int b = 0; b < batch; ++b) {
        job();
        clobber_memory();
    }
    const double t = seconds_since(t0);
    clobber_memory();
    return t / batch;
}

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t k = v.size() / 2;
    return v.size() % 2 ? v[k] : 0.5 * (v[k - 1] + v[k]);
}

// Alternates the two jobs sample by sample, swapping which goes first, so that a burst of load
// from other tenants of the machine hits both sides alike. The minimum is the estimate: noise on a
// shared machine only ever adds time. `after_first` sees the time of the first call of `a`, which
// also serves as the warm-up that faults in the output pages.
PairTiming measure_pair(const Job& a, const Job& b, const Budget& budget,
                        const std::function<void(double)>& after_first = {}) {
    double ta = time_batch(a, 1);
    if (after_first) after_first(ta);
    double tb = time_batch(b, 1);
    ta = std::min(ta, time_batch(a, 1));
    tb = std::min(tb, time_batch(b, 1));

    const double slower = std::max({ta, tb, 1e-9});
    const int batch = std::max(1, static_cast<int>(std::ceil(budget.min_sample_seconds / slower)));
    int reps = static_cast<int>(std::ceil(budget.side_seconds / (slower * batch)));
    reps = std::clamp(reps, budget.min_reps, budget.max_reps);
    const double per_rep = (ta + tb) * batch;
    if (reps * per_rep > budget.max_case_seconds) {
        reps = std::max(1, static_cast<int>(budget.max_case_seconds / per_rep));
    }

    std::vector<double> samples[2];
    for (int r = 0; r < reps; ++r) {
        if (r % 2 == 0) {
            samples[0].push_back(time_batch(a, batch));
            samples[1].push_back(time_batch(b, batch));
        } else {
            samples[1].push_back(time_batch(b, batch));
            samples[0].push_back(time_batch(a, batch));
        }
    }
    PairTiming t{};
    for (int s = 0; s < 2; ++s) {
        t.best[s] = *std::min_element(samples[s].begin(), samples[s].end());
        t.median[s] = median_of(samples[s]);
    }
    t.reps = reps;
    t.batch = batch;
    return t;
}

// ---------------------------------------------------------------------------------------------
// Formatting.

std::string size_label(std::uint64_t n) {
    int e = 0;
    std::uint64_t m = n;
    while (m >= 10 && m % 10 == 0) {
        m /= 10;
        ++e;
    }
    if (m == 1 && e > 0) return "1e" + std::to_string(e);
    return std::to_string(n);
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string macd_label(std::uint64_t f, std::uint64_t s, std::uint64_t g) {
    return format("%llu/%llu/%llu", static_cast<unsigned long long>(f),
                  static_cast<unsigned long long>(s), static_cast<unsigned long long>(g));
}

std::string period_label(std::uint64_t p) {
    return format("p=%llu", static_cast<unsigned long long>(p));
}

// ---------------------------------------------------------------------------------------------
// Kernel against floor on clean data.

struct Buffers {
    std::vector<double> out0, out1, out2;
    explicit Buffers(std::uint64_t n) : out0(n), out1(n), out2(n) {}  // zero-filled: pages touched
};

struct CleanCase {
    const char* kernel;
    std::string params;
    Job run_kernel;
    Job run_floor;
};

// Each job takes the next series from the pool for its own cursor; kernel and floor see the same
// series in the same order, each for the first time.
std::vector<CleanCase> clean_cases(const SeriesPool& pool, Buffers& b) {
    using namespace brindlex::core;
    const std::uint64_t n = pool.length();
    const OutputSlice o0(b.out0), o1(b.out1), o2(b.out2);
    double* q0 = b.out0.data();
    double* q1 = b.out1.data();
    double* q2 = b.out2.data();
    const SeriesPool* ps = &pool;
    const auto x = [ps, n](std::uint64_t at) { return InputSlice(ps->close(at), n); };
    const auto hi = [ps, n](std::uint64_t at) { return InputSlice(ps->high(at), n); };
    const auto lo = [ps, n](std::uint64_t at) { return InputSlice(ps->low(at), n); };
    constexpr std::uint64_t p_sma = 20, p_ema = 20, f = 12, s = 26, g = 9, p_atr = 14;
    return {
        {"sma", period_label(p_sma), [=, c = std::uint64_t{0}]() mutable { sma(p_sma, x(ps->next(c)), o0); },
         [=, c = std::uint64_t{0}]() mutable { floor_sma(p_sma, ps->close(ps->next(c)), q0, n); }},
        {"ema", period_label(p_ema), [=, c = std::uint64_t{0}]() mutable { ema(p_ema, x(ps->next(c)), o0); },
         [=, c = std::uint64_t{0}]() mutable { floor_ema(p_ema, ps->close(ps->next(c)), q0, n); }},
        {"macd", macd_label(f, s, g),
         [=, c = std::uint64_t{0}]() mutable { macd(f, s, g, x(ps->next(c)), o0, o1, o2); },
         [=, c = std::uint64_t{0}]() mutable { floor_macd(f, s, g, ps->close(ps->next(c)), q0, q1, q2, n); }},
        {"atr", period_label(p_atr),
         [=, c = std::uint64_t{0}]() mutable {
             const std::uint64_t at = ps->next(c);
             atr(p_atr, hi(at), lo(at), x(at), o0);
         },
         [=, c = std::uint64_t{0}]() mutable {
             const std::uint64_t at = ps->next(c);
             floor_atr(p_atr, ps->high(at), ps->low(at), ps->close(at), q0, n);
         }},
    };
}

struct Tally {
    int met = 0;
    int counted = 0;
};

bool is_judged(std::uint64_t n) { return n == 1000 || n == 100000 || n == 10000000; }

// Time per element should not depend on n: a kernel that grows from 1e4 to the largest size by
// more than kGrowthLimit is flagged (a branch that only long, unlearnable series mispredict
// shows up this way too).
constexpr double kGrowthLimit = 1.20;

void report_growth(const std::vector<std::uint64_t>& sizes,
                   const std::vector<std::vector<double>>& ns_per_elem,
                   const std::vector<const char*>& kernels) {
    const auto small = std::find(sizes.begin(), sizes.end(), std::uint64_t{10000});
    if (small == sizes.end() || sizes.back() <= 10000) return;
    const std::size_t i0 = static_cast<std::size_t>(small - sizes.begin());
    const std::size_t i1 = sizes.size() - 1;
    std::printf("\ngrowth of ns/elem from n=1e4 to n=%s (flagged above %.2f):", size_label(sizes[i1]).c_str(),
                kGrowthLimit);
    for (std::size_t k = 0; k < kernels.size(); ++k) {
        const double growth = ns_per_elem[k][i1] / ns_per_elem[k][i0];
        std::printf("  %s %.2f%s", kernels[k], growth, growth > kGrowthLimit ? " GROWS" : "");
    }
    std::printf("\n");
}

void run_clean_table(const std::vector<std::uint64_t>& sizes, const Budget& budget,
                     Tally& tally) {
    std::printf("%-6s %-10s %5s %9s %14s %7s %6s %7s  %s\n", "kernel", "params", "n", "ns/elem",
                "floor ns/elem", "ratio", "calls", "spread", "target");
    std::vector<const char*> kernels;
    std::vector<std::vector<double>> ns_per_elem;
    for (std::size_t si = 0; si < sizes.size(); ++si) {
        const std::uint64_t n = sizes[si];
        const SeriesPool pool(n, 0x5eed0000 + n);
        Buffers buffers(n);
        const std::vector<CleanCase> cases = clean_cases(pool, buffers);
        for (std::size_t k = 0; k < cases.size(); ++k) {
            const CleanCase& c = cases[k];
            const PairTiming t = measure_pair(c.run_kernel, c.run_floor, budget);
            const double kernel_ns = t.best[0] * 1e9 / static_cast<double>(n);
            const double floor_ns = t.best[1] * 1e9 / static_cast<double>(n);
            const double ratio = t.best[0] / t.best[1];
            const double spread = t.median[0] / t.best[0] - 1.0;
            if (si == 0) {
                kernels.push_back(c.kernel);
                ns_per_elem.emplace_back();
            }
            ns_per_elem[k].push_back(kernel_ns);
            std::string verdict = "-";
            if (is_judged(n)) {
                ++tally.counted;
                const bool ok = ratio <= kRatioTarget;
                tally.met += ok;
                verdict = ok ? "ok" : "MISS";
            }
            std::printf("%-6s %-10s %5s %9.3f %14.3f %7.3f %6d %6.1f%%  %s\n", c.kernel,
                        c.params.c_str(), size_label(n).c_str(), kernel_ns, floor_ns, ratio,
                        t.reps * t.batch, spread * 100.0, verdict.c_str());
            std::fflush(stdout);
        }
    }
    report_growth(sizes, ns_per_elem, kernels);
}

// ---------------------------------------------------------------------------------------------
// Adversarial inputs against clean ones, same kernel and periods.

struct Periods {
    std::uint64_t p = 0, f = 0, s = 0, g = 0;
};

struct AdversarialCase {
    const char* kernel;  // "ema" or "macd"
    const char* pattern;
    std::function<Periods(std::uint64_t n)> periods;
    std::function<void(std::vector<double>& x, const Periods& q)> corrupt;
};

// Long periods shrink with n so that the quick run still has whole windows.
std::uint64_t capped(std::uint64_t wanted, std::uint64_t n) { return std::min(wanted, n / 10); }

void nan_every(std::vector<double>& x, std::uint64_t k, std::uint64_t end) {
    for (std::uint64_t i = k - 1; i < end; i += k) x[i] = kNanMarker;
}

std::vector<AdversarialCase> adversarial_cases() {
    const auto ema_p = [](std::uint64_t p) {
        return [p](std::uint64_t n) { return Periods{capped(p, n), 0, 0, 0}; };
    };
    const auto macd_p = [](std::uint64_t f, std::uint64_t s, std::uint64_t g) {
        return [=](std::uint64_t n) { return Periods{0, f, capped(s, n), g}; };
    };
    // A NaN every p - 1 positions leaves p - 2 finite values between two NaNs: no window is ever
    // complete, and a window search restarted at every start scans almost p values each time.
    const auto nan_every_p_minus_1 = [](std::vector<double>& x, const Periods& q) {
        nan_every(x, q.p - 1, x.size());
    };
    return {
        {"ema", "NaN every 10", ema_p(1000),
         [](std::vector<double>& x, const Periods&) { nan_every(x, 10, x.size()); }},
        {"ema", "NaN every p-1", ema_p(1000), nan_every_p_minus_1},
        {"ema", "NaN every p-1", ema_p(100000), nan_every_p_minus_1},
        {"ema", "NaN every p-1, 1st half", ema_p(100000),
         [](std::vector<double>& x, const Periods& q) { nan_every(x, q.p - 1, x.size() / 2); }},
        // Unpredictable skips after a clean first window: the branch predictor's worst case.
        {"ema", "random 50% NaN/inf", ema_p(20),
         [](std::vector<double>& x, const Periods& q) {
             std::mt19937_64 rng(7);
             const double bad[4] = {kNanMarker, kInf, -kInf, kNanMarker};
             for (std::uint64_t i = q.p; i < x.size(); ++i) {
                 const std::uint64_t r = rng();
                 if (r & 1) x[i] = bad[(r >> 1) & 3];
             }
         }},
        // Every seed sum meets both infinities and comes out NaN, so the averages never start.
        {"macd", "+inf/-inf alternating", macd_p(12, 1000, 9),
         [](std::vector<double>& x, const Periods&) {
             for (std::uint64_t i = 0; i < x.size(); ++i) x[i] = (i % 2 == 0) ? kInf : -kInf;
         }},
        // With fast weight 1 the old average is multiplied by 0: inf * 0 is NaN two positions
        // after every infinity, and the averages are seeded again each time.
        {"macd", "+inf every 5", macd_p(1, 10000, 9),
         [](std::vector<double>& x, const Periods&) {
             for (std::uint64_t i = 4; i < x.size(); i += 5) x[i] = kInf;
         }},
        // Every fast window holds a NaN, so a seed is due at every non-NaN position.
        {"macd", "NaN every 7", macd_p(12, 10000, 9),
         [](std::vector<double>& x, const Periods&) { nan_every(x, 7, x.size()); }},
        {"macd", "random 50% NaN", macd_p(12, 26, 9),
         [](std::vector<double>& x, const Periods& q) {
             std::mt19937_64 rng(11);
             for (std::uint64_t i = q.s; i < x.size(); ++i) {
                 if (rng() & 1) x[i] = kNanMarker;
             }
         }},
    };
}

std::string periods_label(const AdversarialCase& c, const Periods& q) {
    return std::strcmp(c.kernel, "ema") == 0 ? period_label(q.p) : macd_label(q.f, q.s, q.g);
}

// Messages from the child that runs one adversarial case.
struct Message {
    enum Kind : std::int32_t { kReady = 1, kFirstCall = 2, kDone = 3 };
    std::int32_t kind;
    std::int32_t reps;
    double a;
    double b;
};

void send(int fd, const Message& m) {
    const char* p = reinterpret_cast<const char*>(&m);
    std::size_t left = sizeof m;
    while (left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ::_exit(3);
        p += w;
        left -= static_cast<std::size_t>(w);
    }
}

// Builds its own data so that nothing is shared copy-on-write with the parent, which would
// fault pages inside the timed region.
[[noreturn]] void run_adversarial_child(int fd, const AdversarialCase& c, std::uint64_t n,
                                        const Budget& budget) {
    using namespace brindlex::core;
    const Periods q = c.periods(n);
    const std::vector<double> clean = make_market(n, 0xad000000 + n).close;
    std::vector<double> bad = clean;
    c.corrupt(bad, q);
    Buffers b(n);
    const InputSlice xc(clean), xb(bad);
    const OutputSlice o0(b.out0), o1(b.out1), o2(b.out2);
    Job run_clean, run_bad;
    if (std::strcmp(c.kernel, "ema") == 0) {
        run_clean = [=] { ema(q.p, xc, o0); };
        run_bad = [=] { ema(q.p, xb, o0); };
    } else {
        run_clean = [=] { macd(q.f, q.s, q.g, xc, o0, o1, o2); };
        run_bad = [=] { macd(q.f, q.s, q.g, xb, o0, o1, o2); };
    }
    run_clean();  // faults in the output pages before anything is timed
    send(fd, {Message::kReady, 0, 0.0, 0.0});
    const PairTiming t = measure_pair(run_bad, run_clean, budget, [fd](double first) {
        send(fd, {Message::kFirstCall, 0, first, 0.0});
    });
    send(fd, {Message::kDone, t.reps * t.batch, t.best[0], t.best[1]});
    ::_exit(0);
}

struct AdversarialResult {
    bool done = false;
    bool stopped = false;  // a single call outlived the cap and the child was killed
    double first_call = 0.0;
    double bad_seconds = 0.0, clean_seconds = 0.0;
    int reps = 0;
    std::string failure;
};

// Waits for one message until the deadline; false on timeout, end of stream or error.
bool receive(int fd, Message& m, Clock::time_point deadline) {
    char* p = reinterpret_cast<char*>(&m);
    std::size_t got = 0;
    while (got < sizeof m) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                Clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t k = ::read(fd, p + got, sizeof m - got);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        got += static_cast<std::size_t>(k);
    }
    return true;
}

// A kernel that is not linear in time can take hours on these inputs; the case runs in a child
// process so that it can be stopped after `cap_seconds` for one call without hanging the run.
AdversarialResult run_adversarial(const AdversarialCase& c, std::uint64_t n, const Budget& budget,
                                  double cap_seconds) {
    AdversarialResult res;
    int fds[2];
    if (::pipe(fds) != 0) {
        res.failure = "pipe failed";
        return res;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        res.failure = "fork failed";
        return res;
    }
    if (pid == 0) {
        ::close(fds[0]);
        run_adversarial_child(fds[1], c, n, budget);
    }
    ::close(fds[1]);
    const int fd = fds[0];

    Message m{};
    bool alive = true;
    if (!receive(fd, m, Clock::now() + std::chrono::seconds(120)) || m.kind != Message::kReady) {
        res.failure = "no data after 120 s";
    } else if (!receive(fd, m, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(cap_seconds))) ||
               m.kind != Message::kFirstCall) {
        res.stopped = true;
    } else {
        res.first_call = m.a;
        // The child bounds its own repetitions by budget.max_case_seconds.
        const double rest = 4.0 * budget.max_case_seconds + 30.0;
        if (!receive(fd, m, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(rest))) ||
            m.kind != Message::kDone) {
            res.failure = "no result in time";
        } else {
            res.done = true;
            res.reps = m.reps;
            res.bad_seconds = m.a;
            res.clean_seconds = m.b;
            alive = false;
        }
    }
    ::close(fd);
    if (alive) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (res.done && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        res.done = false;
        res.failure = "child ended abnormally";
    } else if (!res.done && !res.stopped && res.failure.empty()) {
        res.failure = "child failed";
    }
    if (!res.done && !res.stopped && WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL) {
        res.failure += format(" (signal %d)", WTERMSIG(status));
    }
    return res;
}

void run_adversarial_table(const std::vector<std::uint64_t>& sizes, const Budget& budget,
                           double cap_seconds, Tally& tally) {
    std::printf("%-6s %-11s %-24s %5s %15s %13s %9s %6s  %s\n", "kernel", "params", "pattern", "n",
                "clean ns/elem", "adv ns/elem", "adv/clean", "calls", "target");
    for (const AdversarialCase& c : adversarial_cases()) {
        for (const std::uint64_t n : sizes) {
            const Periods q = c.periods(n);
            const AdversarialResult r = run_adversarial(c, n, budget, cap_seconds);
            std::printf("%-6s %-11s %-24s %5s ", c.kernel, periods_label(c, q).c_str(), c.pattern,
                        size_label(n).c_str());
            ++tally.counted;
            if (r.done) {
                const double ratio = r.bad_seconds / r.clean_seconds;
                const bool ok = ratio <= kAdversarialTarget;
                tally.met += ok;
                std::printf("%15.3f %13.3f %9.2f %6d  %s\n",
                            r.clean_seconds * 1e9 / static_cast<double>(n),
                            r.bad_seconds * 1e9 / static_cast<double>(n), ratio, r.reps,
                            ok ? "ok" : "MISS");
            } else if (r.stopped) {
                std::printf("%15s %13s %9s %6s  MISS: pathological, one call took over %.0f s "
                            "and was stopped\n",
                            "-", "-", "-", "-", cap_seconds);
            } else {
                std::printf("%15s %13s %9s %6s  MISS: %s\n", "-", "-", "-", "-",
                            r.failure.c_str());
            }
            std::fflush(stdout);
        }
    }
}

void usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s [--quick]\n"
                 "  --quick  small sizes and few repetitions: checks that the program runs,\n"
                 "           its numbers mean little\n",
                 argv0);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(argv[0]);
            return 0;
        } else {
            usage(argv[0]);
            return 2;
        }
    }

    const std::vector<std::uint64_t> sizes =
        quick ? std::vector<std::uint64_t>{1000, 10000}
              : std::vector<std::uint64_t>{1000, 10000, 100000, 10000000};
    const std::vector<std::uint64_t> adversarial_sizes =
        quick ? std::vector<std::uint64_t>{10000} : std::vector<std::uint64_t>{100000, 10000000};
    const Budget budget = quick ? Budget{0.005, 3, 50, 0.0001, 1.0}
                                : Budget{0.5, 7, 2000, 0.0005, 3.0};
    const double cap_seconds = 3.0;

    const auto start = Clock::now();
    std::printf("brindlex kernels, ns per element (target: ratio ≤ %.2f at n=1e3, 1e5 and 1e7; "
                "adversarial ≤ %.1f× clean)%s\n",
                kRatioTarget, kAdversarialTarget, quick ? "  [--quick: smoke run]" : "");
    std::printf("minimum over interleaved repetitions, every call on a series it has not seen "
                "(random-range bars with gaps);\nfloor = same dependency chain of "
                "floating-point operations, no checks; spread = median/min - 1 of the kernel\n\n");
    Tally clean_tally, adversarial_tally;
    run_clean_table(sizes, budget, clean_tally);
    std::printf("\nadversarial inputs against random-walk input of the same length and periods "
                "(cap %.0f s per call)\n\n",
                cap_seconds);
    run_adversarial_table(adversarial_sizes, budget, cap_seconds, adversarial_tally);
    std::printf("\nkernel/floor ≤ %.2f: %d of %d rows at n = 1e3, 1e5, 1e7; adversarial ≤ %.1f× clean: %d of "
                "%d rows; %.1f s\n",
                kRatioTarget, clean_tally.met, clean_tally.counted, kAdversarialTarget,
                adversarial_tally.met, adversarial_tally.counted, seconds_since(start));
    return 0;
}
