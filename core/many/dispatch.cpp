// The one dispatch point of the many-series kernels: the best target this processor runs, or the one forced.
#include <algorithm>
#include <atomic>
#include <iterator>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "core/many/kernels.h"
#include "core/many/targets.h"

namespace brindlex::core {
namespace {

#define BRINDLEX_TABLE_ENTRY(name, parameters, arguments) decltype(&scalar::name) name;
struct Kernels {
    BRINDLEX_MANY_KERNEL_LIST(BRINDLEX_TABLE_ENTRY)
    decltype(&scalar::series_per_group) series_per_group;
    decltype(&scalar::group_state_bytes) group_state_bytes;
};
#undef BRINDLEX_TABLE_ENTRY

#define BRINDLEX_TABLE_ENTRY(name, parameters, arguments) ns::name,
#define BRINDLEX_KERNELS_OF(target)                                                   \
    [] {                                                                              \
        namespace ns = target;                                                        \
        return Kernels{BRINDLEX_MANY_KERNEL_LIST(BRINDLEX_TABLE_ENTRY) ns::series_per_group, ns::group_state_bytes}; \
    }()

// Indexed by Target. The targets of another architecture are not built here: their places hold the
// scalar kernels, which are never reached through them, since no processor of this architecture
// lists them.
#if defined(__x86_64__)
const Kernels table[] = {BRINDLEX_KERNELS_OF(scalar), BRINDLEX_KERNELS_OF(sse2), BRINDLEX_KERNELS_OF(avx2),
                         BRINDLEX_KERNELS_OF(avx512), BRINDLEX_KERNELS_OF(scalar)};
#elif defined(__aarch64__)
const Kernels table[] = {BRINDLEX_KERNELS_OF(scalar), BRINDLEX_KERNELS_OF(scalar), BRINDLEX_KERNELS_OF(scalar),
                         BRINDLEX_KERNELS_OF(scalar), BRINDLEX_KERNELS_OF(neon)};
#endif
static_assert(std::size(table) == static_cast<std::size_t>(Target::neon) + 1);
#undef BRINDLEX_KERNELS_OF
#undef BRINDLEX_TABLE_ENTRY

struct Targets {
    Target list[4];
    std::size_t count;
};

#if defined(__x86_64__)
// SSE2 is part of x86-64; AVX2 and AVX-512 are asked of the processor once. The fastest comes
// last: eight lanes a register run no faster than four on the processors measured (the series'
// chains and memory streams bound them, not the width), so where both are there AVX-512 comes
// before AVX2, to be forced, and AVX2 stays the default.
Targets detect() noexcept {
    Targets t{{Target::scalar, Target::sse2}, 2};
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) t.list[t.count++] = Target::avx512;
    if (__builtin_cpu_supports("avx2")) t.list[t.count++] = Target::avx2;
    return t;
}
#elif defined(__aarch64__)
// NEON is part of ARM64, as SSE2 is of x86-64: nothing to ask of the processor.
Targets detect() noexcept { return {{Target::scalar, Target::neon}, 2}; }
#endif

const Targets& targets() noexcept {
    static const Targets t = detect();
    return t;
}

const Kernels& of(Target target) noexcept { return table[static_cast<int>(target)]; }

bool has(Target target) noexcept {
    const Targets& t = targets();
    return std::find(t.list, t.list + t.count, target) != t.list + t.count;
}

// The default: the fastest target's kernels, but for a kernel that another target the processor
// has runs faster. SMA's sweep on AVX-512: each lane's leaving element lies at its own place
// along the one series, read a register's width of positions at a time and transposed, and eight
// positions a read take 20-25 % fewer ns per element than four (AMD EPYC, 10^5 bars under 8 to 64
// periods; EMA's and ATR's sweeps run as fast on either, MACD's slower on AVX-512).
Kernels default_kernels() noexcept {
    const Targets& t = targets();
    Kernels k = of(t.list[t.count - 1]);
#if defined(__x86_64__)
    if (has(Target::avx512)) k.sma_sweep = of(Target::avx512).sma_sweep;
#endif
    return k;
}

const Kernels& defaults() noexcept {
    static const Kernels k = default_kernels();
    return k;
}

std::atomic<const Kernels*> chosen{&defaults()};

const Kernels& kernels() noexcept { return *chosen.load(std::memory_order_relaxed); }

}  // namespace

std::span<const Target> available_targets() noexcept { return {targets().list, targets().count}; }

void force_target(Target target) noexcept {
    if (has(target)) chosen.store(&of(target), std::memory_order_relaxed);
}

void use_default_targets() noexcept { chosen.store(&defaults(), std::memory_order_relaxed); }

namespace {
std::atomic<bool> streaming_forced{false};
}

void force_streamed_stores(bool on) noexcept { streaming_forced.store(on, std::memory_order_relaxed); }

bool streamed_stores_forced() noexcept { return streaming_forced.load(std::memory_order_relaxed); }

namespace {
thread_local bool outputs_fresh = false;
}

bool streamed_stores_allowed() noexcept { return !outputs_fresh; }

FreshOutputs::FreshOutputs(bool fresh) noexcept : before_(outputs_fresh) { outputs_fresh = fresh; }

FreshOutputs::~FreshOutputs() { outputs_fresh = before_; }

std::uint64_t series_per_group() noexcept { return kernels().series_per_group(); }

std::size_t group_state_bytes(std::uint64_t count) noexcept { return kernels().group_state_bytes(count); }

// The lanes write large outputs with streaming stores, which are weakly ordered: fenced before a
// kernel returns, so that whichever thread reads the outputs next sees them all.
static void fence_streamed_stores() noexcept {
#if defined(__x86_64__)
    _mm_sfence();
#endif
}

#define BRINDLEX_FORWARD(name, parameters, arguments)                        \
    void name(BRINDLEX_UNPAREN parameters, Workspace& work) noexcept {        \
        kernels().name(BRINDLEX_UNPAREN arguments, work);                    \
        fence_streamed_stores();                                             \
    }
BRINDLEX_MANY_KERNEL_LIST(BRINDLEX_FORWARD)
#undef BRINDLEX_FORWARD

}  // namespace brindlex::core
