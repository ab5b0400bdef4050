// Times the many-series kernels per element against looping the one-series kernel into outputs allocated once, and against the memory floor.
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/atr.h"
#include "core/ema.h"
#include "core/macd.h"
#include "core/many/kernels.h"
#include "core/sma.h"

namespace {

using namespace brindlex::core;
using Job = std::function<void()>;

inline void clobber_memory() { asm volatile("" ::: "memory"); }

// The thread's own processor time: on a machine shared with other busy tenants the thread is
// often descheduled, and wall time would count their turns as ours.
double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double seconds_of(const Job& job, int batch) {
    clobber_memory();
    const double t0 = thread_seconds();
    for (int b = 0; b < batch; ++b) {
        job();
        clobber_memory();
    }
    return (thread_seconds() - t0) / batch;
}

// Minimum per call over samples that take turns across the contenders, so a burst of load from
// other tenants of the machine hits them alike; noise only ever adds time.
std::vector<double> best_of(const std::vector<Job>& jobs, double seconds) {
    std::vector<double> best(jobs.size(), 1e30);
    int batch = 1;
    for (std::size_t j = 0; j < jobs.size(); ++j) best[j] = seconds_of(jobs[j], 1);  // warm-up, faults pages in
    const double slowest = *std::max_element(best.begin(), best.end());
    batch = std::max(1, static_cast<int>(0.02 / std::max(slowest, 1e-9)));
    const int rounds = std::clamp(static_cast<int>(seconds / (slowest * batch * jobs.size())), 3, 200);
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t j = 0; j < jobs.size(); ++j) best[j] = std::min(best[j], seconds_of(jobs[j], batch));
    }
    return best;
}

// Random-range bars: a random walk of closes, highs and lows around them.
struct Bars {
    std::vector<double> high, low, close;
};

Bars make_bars(std::uint64_t count, std::uint64_t length, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step(0.0, 1.0);
    std::exponential_distribution<double> range(1.0);
    Bars b;
    const std::uint64_t n = count * length;
    b.high.resize(n), b.low.resize(n), b.close.resize(n);
    for (std::uint64_t k = 0; k < count; ++k) {
        double level = 100.0;
        for (std::uint64_t t = 0; t < length; ++t) {
            level += step(rng);
            const std::uint64_t i = k * length + t;
            b.close[i] = level;
            b.high[i] = level + range(rng);
            b.low[i] = level - range(rng);
        }
    }
    return b;
}

// The same values laid out one series per column.
std::vector<double> columns_of(const std::vector<double>& rows, std::uint64_t count, std::uint64_t length) {
    std::vector<double> c(rows.size());
    for (std::uint64_t k = 0; k < count; ++k) {
        for (std::uint64_t t = 0; t < length; ++t) c[t * count + k] = rows[k * length + t];
    }
    return c;
}

BlockIn rows_in(const std::vector<double>& v, std::uint64_t count, std::uint64_t length) {
    return {v.data(), 1, static_cast<std::ptrdiff_t>(length), length, count};
}
BlockOut rows_out(std::vector<double>& v, std::uint64_t count, std::uint64_t length) {
    return {v.data(), 1, static_cast<std::ptrdiff_t>(length), length, count};
}
BlockIn cols_in(const std::vector<double>& v, std::uint64_t count, std::uint64_t length) {
    return {v.data(), static_cast<std::ptrdiff_t>(count), 1, length, count};
}
BlockOut cols_out(std::vector<double>& v, std::uint64_t count, std::uint64_t length) {
    return {v.data(), static_cast<std::ptrdiff_t>(count), 1, length, count};
}

// The memory floor: plain copies (as np.copyto) of as many bytes as the indicator must read and
// write, 16 per element for each array copied: SMA and EMA read 8 and write 8 (one copy), MACD
// reads 8 and writes 24 and ATR reads 24 and writes 8 (two copies each).
void memory_floor(const std::vector<const std::vector<double>*>& in, const std::vector<std::vector<double>*>& out) {
    for (std::size_t k = 0; k < in.size(); ++k) {
        std::memcpy(out[k]->data(), in[k]->data(), in[k]->size() * sizeof(double));
    }
}

const char* only = nullptr;  // --only NAME: one indicator

struct Shape {
    std::uint64_t count, length;
};

const char* target_name(Target t) {
    switch (t) {
        case Target::scalar: return "scalar";
        case Target::sse2: return "sse2";
        case Target::avx2: return "avx2";
        case Target::avx512: return "avx512";
        case Target::neon: return "neon";
    }
    return "?";
}

// How the series of a call lie: one per row, one per column, or runs of one long column.
enum class Layout { rows, cols, runs };
constexpr Layout layouts[] = {Layout::rows, Layout::cols, Layout::runs};
const char* layout_name(Layout l) { return l == Layout::rows ? "rows" : l == Layout::cols ? "cols" : "runs"; }

// One table row: the loop of one-series calls over rows, then each target on every layout
// (`few`: on rows alone), then the floor; ns per element, and the ratios that the targets are
// stated in, for the best target.
void row(const char* name, Shape s, const Job& loop, const std::function<void(Layout)>& many, const Job& floor,
         double seconds, bool few = false) {
    if (only && std::strcmp(only, name) != 0) return;
    std::vector<Job> jobs{loop};
    std::vector<std::string> labels{"loop"};
    const auto targets = available_targets();
    const std::size_t shown = few ? 1 : std::size(layouts);
    for (const Target t : targets) {
        if (t == Target::scalar) continue;
        for (std::size_t l = 0; l < shown; ++l) {
            jobs.push_back([&many, t, l] {
                force_target(t);
                many(layouts[l]);
            });
            labels.push_back(std::string(target_name(t)) + "/" + layout_name(layouts[l]));
        }
    }
    jobs.push_back(floor);
    labels.push_back("floor");
    const std::vector<double> best = best_of(jobs, seconds);
    use_default_targets();
    const double per = 1e9 / static_cast<double>(s.count * s.length);
    std::printf("%-5s %5" PRIu64 " x %-8" PRIu64, name, s.count, s.length);
    for (std::size_t j = 0; j < jobs.size(); ++j) std::printf("  %s %.3f", labels[j].c_str(), best[j] * per);
    std::printf("  |");
    for (std::size_t l = 0; l < shown; ++l) {
        const double t = best[best.size() - 1 - shown + l];
        std::printf("  %s: loop/it %.2fx it/floor %.2fx", layout_name(layouts[l]), best[0] / t, t / best.back());
    }
    std::printf("\n");
    std::fflush(stdout);
}

void run_shape(Shape s, double seconds, bool few = false) {
    const std::uint64_t c = s.count, n = s.length;
    const Bars rows = make_bars(c, n, 42 + c);
    const Bars cols{columns_of(rows.high, c, n), columns_of(rows.low, c, n), columns_of(rows.close, c, n)};
    std::vector<double> o1(c * n), o2(c * n), o3(c * n);
    const auto each = [&](const std::function<void(std::uint64_t at)>& f) {
        for (std::uint64_t k = 0; k < c; ++k) f(k * n);
    };
    const auto in = [&](const std::vector<double>& v, std::uint64_t at) { return InputSlice(v.data() + at, n); };
    const auto out = [&](std::vector<double>& v, std::uint64_t at) { return OutputSlice(v.data() + at, n); };
    const auto& x = rows.close;
    const auto& xc = cols.close;
    // Runs: the rows' memory seen as one long column of equal runs.
    const std::vector<std::uint64_t> lengths(c, n);
    const Job floor1 = [&] { memory_floor({&x}, {&o1}); };
    const Job floor2 = [&] { memory_floor({&x, &rows.high}, {&o1, &o2}); };

    row("sma", s, [&] { each([&](std::uint64_t at) { sma(20, in(x, at), out(o1, at)); }); },
        [&](Layout l) {
            if (l == Layout::cols) sma_many(20, cols_in(xc, c, n), cols_out(o1, c, n));
            else if (l == Layout::rows) sma_many(20, rows_in(x, c, n), rows_out(o1, c, n));
            else sma_runs(20, x, lengths, o1);
        },
        floor1, seconds, few);
    row("ema", s, [&] { each([&](std::uint64_t at) { ema(20, in(x, at), out(o1, at)); }); },
        [&](Layout l) {
            if (l == Layout::cols) ema_many(20, cols_in(xc, c, n), cols_out(o1, c, n));
            else if (l == Layout::rows) ema_many(20, rows_in(x, c, n), rows_out(o1, c, n));
            else ema_runs(20, x, lengths, o1);
        },
        floor1, seconds, few);
    row("macd", s,
        [&] { each([&](std::uint64_t at) { macd(12, 26, 9, in(x, at), out(o1, at), out(o2, at), out(o3, at)); }); },
        [&](Layout l) {
            if (l == Layout::cols) {
                macd_many(12, 26, 9, cols_in(xc, c, n), cols_out(o1, c, n), cols_out(o2, c, n), cols_out(o3, c, n));
            } else if (l == Layout::rows) {
                macd_many(12, 26, 9, rows_in(x, c, n), rows_out(o1, c, n), rows_out(o2, c, n), rows_out(o3, c, n));
            } else {
                macd_runs(12, 26, 9, x, lengths, o1, o2, o3);
            }
        },
        floor2, seconds, few);
    row("atr", s,
        [&] { each([&](std::uint64_t at) { atr(14, in(rows.high, at), in(rows.low, at), in(rows.close, at), out(o1, at)); }); },
        [&](Layout l) {
            if (l == Layout::cols) {
                atr_many(14, cols_in(cols.high, c, n), cols_in(cols.low, c, n), cols_in(cols.close, c, n), cols_out(o1, c, n));
            } else if (l == Layout::rows) {
                atr_many(14, rows_in(rows.high, c, n), rows_in(rows.low, c, n), rows_in(rows.close, c, n), rows_out(o1, c, n));
            } else {
                atr_runs(14, rows.high, rows.low, rows.close, lengths, o1);
            }
        },
        floor2, seconds, few);
}

// A long frame: 500 runs of random lengths from 100 to 5,000 one after another, against one call
// per run and against 500 equal runs of the same total (the ragged lengths trimmed to a multiple
// of 500).
void run_ragged(double seconds) {
    std::mt19937_64 rng(7);
    std::vector<std::uint64_t> lengths(500);
    for (auto& n : lengths) n = 100 + rng() % 4901;
    std::uint64_t total = 0;
    for (const auto n : lengths) total += n;
    *std::max_element(lengths.begin(), lengths.end()) -= total % lengths.size();
    total -= total % lengths.size();
    const std::vector<std::uint64_t> equal(lengths.size(), total / lengths.size());
    const Bars bars = make_bars(1, total, 8);
    std::vector<double> o1(total), o2(total), o3(total);
    const auto each = [&](const std::function<void(std::uint64_t at, std::uint64_t n)>& f) {
        std::uint64_t at = 0;
        for (const auto n : lengths) f(at, n), at += n;
    };
    const auto& x = bars.close;
    const auto in = [](const std::vector<double>& v, std::uint64_t at, std::uint64_t n) { return InputSlice(v.data() + at, n); };
    const auto out = [](std::vector<double>& v, std::uint64_t at, std::uint64_t n) { return OutputSlice(v.data() + at, n); };
    using Runs = std::function<void(std::span<const std::uint64_t>)>;
    struct Case {
        const char* name;
        Job loop;
        Runs runs;
    };
    const Case cases[] = {
        {"sma", [&] { each([&](auto at, auto n) { sma(20, in(x, at, n), out(o1, at, n)); }); },
         [&](auto ls) { sma_runs(20, x, ls, o1); }},
        {"ema", [&] { each([&](auto at, auto n) { ema(20, in(x, at, n), out(o1, at, n)); }); },
         [&](auto ls) { ema_runs(20, x, ls, o1); }},
        {"macd", [&] { each([&](auto at, auto n) { macd(12, 26, 9, in(x, at, n), out(o1, at, n), out(o2, at, n), out(o3, at, n)); }); },
         [&](auto ls) { macd_runs(12, 26, 9, x, ls, o1, o2, o3); }},
        {"atr",
         [&] { each([&](auto at, auto n) { atr(14, in(bars.high, at, n), in(bars.low, at, n), in(bars.close, at, n), out(o1, at, n)); }); },
         [&](auto ls) { atr_runs(14, bars.high, bars.low, bars.close, ls, o1); }},
    };
    for (const Case& c : cases) {
        if (only && std::strcmp(only, c.name) != 0) continue;
        const std::vector<double> best =
            best_of({c.loop, [&] { c.runs(lengths); }, [&] { c.runs(equal); }}, seconds);
        const double per = 1e9 / static_cast<double>(total);
        std::printf("%-5s 500 runs of 100-5,000  loop %.3f  %s/ragged %.3f  %s/equal %.3f  | loop/ragged %.2fx  "
                    "ragged/equal %.2fx\n",
                    c.name, best[0] * per, target_name(available_targets().back()), best[1] * per,
                    target_name(available_targets().back()), best[2] * per, best[0] / best[1], best[1] / best[2]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::vector<Shape> chosen;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
        else if (std::strcmp(argv[i], "--shape") == 0 && i + 1 < argc) {
            Shape s{};
            std::sscanf(argv[++i], "%" SCNu64 "x%" SCNu64, &s.count, &s.length);
            chosen.push_back(s);
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--only sma|ema|macd|atr] [--shape COUNTxLENGTH]...\n", argv[0]);
            return 2;
        }
    }
    std::printf("many-series kernels, ns per element, one thread (thread processor time, minimum over interleaved samples)\n"
                "loop = the one-series kernel called per series of a row-major block, into outputs allocated once;\n"
                "<target>/rows, /cols and /runs = the many-series kernel on one series per row, per column, and on\n"
                "equal runs of one long column; floor = memcpy of the bytes the indicator must read and write\n"
                "(SMA, EMA 16 per element; MACD, ATR 32)%s\n\n",
                quick ? "  [--quick: smoke run]" : "");
    const std::vector<Shape> shapes = !chosen.empty() ? chosen
                                      : quick ? std::vector<Shape>{{50, 252}, {40, 1000}}
                                              : std::vector<Shape>{{50, 252}, {500, 2520}, {4000, 2520}, {16, 1000000}};
    const double seconds = quick ? 0.05 : 1.0;
    for (const Shape s : shapes) run_shape(s, seconds);
    if (chosen.empty()) {
        std::printf("\nfew series of 2,520 bars, rows\n");
        for (const std::uint64_t count : quick ? std::vector<std::uint64_t>{1, 3} : std::vector<std::uint64_t>{1, 2, 3, 4, 8, 16}) {
            run_shape({count, 2520}, seconds, true);
        }
        std::printf("\n");
        run_ragged(seconds);
    }
    return 0;
}
