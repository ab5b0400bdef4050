"""Per-call cost of the four functions on 1-element arrays, against a no-op fast-call function;
and of brindlex_batch's on 10 values, against brindlex's own call.

Usage: python bench/calls.py [--quick] [--noop-dir DIR]

The baseline is `_brindlex_noop.noop`, built beside the module with the same calling convention,
so the ratio shows what binding, conversion, the checks, the borrow registry and (for SMA, EMA and
MACD) handing the interpreter lock away and back cost on top of the bare call. Samples of every
function are interleaved round by round, and the minimum per call is kept: noise only adds time.
Target: every function within 7x of the no-op call.

brindlex_batch's four functions on one series of 10 values, with and without out=, are timed in
the same rounds against brindlex's function writing into an output allocated once: what the
companion's argument handling costs on top. Target: at most 0.5 µs above brindlex's call.
--quick also checks that the companion's results equal brindlex's bit for bit.
"""

import argparse
import sys
import tracemalloc

import numpy as np

from peerbench import timing

TARGET = 7.0
COMPANION_TARGET_US = 0.5
SHORT = 10  # values per call in the companion's rows
PERIODS = {"sma": (20,), "ema": (20,), "macd": (12, 26, 9), "atr": (14,)}


def calls(noop):
    import brindlex

    # Every callable is a local of its lambda's closure, so no row pays for an attribute lookup.
    sma, ema, macd, atr = (brindlex.indicator_sma, brindlex.indicator_ema,
                           brindlex.indicator_macd, brindlex.indicator_atr)
    d, o = np.ones(1), np.zeros(1)
    m, s, h = np.zeros(1), np.zeros(1), np.zeros(1)
    return {
        "noop": lambda: noop(3, d, o),
        "indicator_sma": lambda: sma(3, d, o),
        "indicator_ema": lambda: ema(3, d, o),
        "indicator_macd": lambda: macd(12, 26, 9, d, m, s, h),
        "indicator_atr": lambda: atr(14, d, d, d, o),
    }


def companion_calls():
    """name -> (brindlex into outputs allocated once, brindlex_batch allocating, brindlex_batch
    with out=, brindlex's outputs) on one series of SHORT values."""
    import brindlex
    import brindlex_batch

    x = np.random.default_rng(5).normal(100.0, 1.0, SHORT)
    high, low = x + 1.0, x - 1.0
    found = {}
    for name, p in PERIODS.items():
        args = (high, low, x) if name == "atr" else (x,)
        outs = tuple(np.empty(SHORT) for _ in range(3 if name == "macd" else 1))
        out = outs if name == "macd" else outs[0]
        own, batch = getattr(brindlex, f"indicator_{name}"), getattr(brindlex_batch, name)
        found[name] = (lambda own=own, p=p, args=args, outs=outs: own(*p, *args, *outs),
                       lambda batch=batch, p=p, args=args: batch(*args, *p),
                       lambda batch=batch, p=p, args=args, out=out: batch(*args, *p, out=out),
                       outs)
    return found


def companion_agrees(found) -> bool:
    """brindlex_batch's results equal brindlex's, bit for bit."""
    ok = True
    for name, (own, batch, batch_out, outs) in found.items():
        own()
        expected = [o.copy() for o in outs]
        for result in (batch(), batch_out()):
            got = list(result) if name == "macd" else [result]
            ok &= all(np.array_equal(np.asarray(g).view(np.uint64), e.view(np.uint64))
                      for g, e in zip(got, expected))
    return ok


def _repeat(fn, k):
    for _ in range(k):
        fn()


def subject(name, fn):
    # The loop and the lambda cost the same for every row; main() measures them with an empty
    # lambda and subtracts them.
    return timing.Subject(name, lambda k: lambda: _repeat(fn, k))


def allocations_in_steady_state(fns, loops=2000):
    for fn in fns.values():
        fn()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for fn in fns.values():
        for _ in range(loops):
            fn()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(stat.size_diff for stat in after.compare_to(before, "filename") if stat.size_diff > 0)
    return grown


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few rounds: checks that it runs")
    parser.add_argument("--noop-dir", help="folder holding the built _brindlex_noop extension")
    args = parser.parse_args()
    if args.noop_dir:
        sys.path.insert(0, args.noop_dir)
    from _brindlex_noop import noop

    fns = calls(noop)
    companion = companion_calls()
    if not companion_agrees(companion):
        print("brindlex_batch differs from brindlex on 10 values", file=sys.stderr)
        return 1
    kinds = ("brindlex", "brindlex_batch", "brindlex_batch out=")
    short = {f"{name} {kind}": fn for name, calls_of in companion.items()
             for kind, fn in zip(kinds, calls_of)}
    empty = lambda: None  # noqa: E731
    # Many short rounds: the minimum then catches the quiet moments of a busy machine.
    rounds, sample_ns = (3, 2e5) if args.quick else (300, 5e5)
    timed = timing.run([subject(name, fn) for name, fn in
                        [*fns.items(), *short.items(), ("loop", empty)]], rounds, sample_ns)
    best = {name: t.best for name, t in timed.items()}
    loops = timed["noop"].batch
    base = best["noop"] - best["loop"]
    print(f"per call on 1-element arrays, minimum of {rounds} rounds x {loops} calls "
          f"(target: within {TARGET:.0f}x of the no-op call)")
    print(f"{'function':<16}{'ns/call':>10}{'ratio':>8}  target")
    for name in fns:
        net = best[name] - best["loop"]
        ratio = net / base
        verdict = "-" if name == "noop" else ("ok" if ratio <= TARGET else "MISS")
        print(f"{name:<16}{net:>10.1f}{ratio:>8.2f}  {verdict}")
    print(f"(Python loop overhead of {best['loop']:.1f} ns/call subtracted from every row)")
    print(f"\nper call on {SHORT} values, µs, minimum of {rounds} rounds (target: brindlex_batch "
          f"at most {COMPANION_TARGET_US} µs above brindlex into an output allocated once)")
    print(f"{'function':<8}{'brindlex':>10}{'batch':>10}{'above':>8}{'out=':>10}{'above':>8}  target")
    for name in companion:
        own, batch, out = ((best[f"{name} {kind}"] - best["loop"]) / 1e3 for kind in kinds)
        verdict = "ok" if max(batch, out) - own <= COMPANION_TARGET_US else "MISS"
        print(f"{name:<8}{own:>10.3f}{batch:>10.3f}{batch - own:>+8.3f}{out:>10.3f}"
              f"{out - own:>+8.3f}  {verdict}")
    repeats = 200 if args.quick else 2000
    grown = allocations_in_steady_state(fns, repeats)
    total = repeats * len(fns)
    # A leak would grow by at least a few bytes per call; the snapshots themselves cost a few
    # hundred bytes once.
    print(f"Python-heap growth over {total} calls: {grown} bytes ({grown / total:.2f} per call)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
