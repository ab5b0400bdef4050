"""brindlex against the libraries its users would otherwise pick, in one run: ns per element,
µs per call, two threads against one, and agreement on the bundled real bars.

Usage: python bench/peers.py [--quick] [--out DIR] [--update-docs] [--max-n N]
                             [--missing DIST=REASON ...] [--idle-note TEXT] [--kernels FILE]
       python bench/peers.py --render bench/results/peers.json [--out DIR] [--update-docs]

The peers are TA-Lib's Python wrapper (`ta-lib`), tulipy, bottleneck, pandas, polars and plain
NumPy, run as black boxes; any of them may be missing, and the tables then say so (with the
reason given by --missing, or the import error). `scripts/bench` installs them and runs this.

--quick checks agreement only: nothing is timed and nothing written. It exits with status 1
when brindlex differs from the plain-Python loops by a single bit, when those loops fail their
worked examples, or when a peer that computes the same thing differs by more than rounding.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

from peerbench import agreement, machine, report, rules, store, timing
from peerbench.contenders import PEERS, all_contenders, load_peers
from peerbench.series import real_bars

ROOT = Path(__file__).resolve().parent.parent
SEED = 20_240_601
SAMPLE_NS = 2e6          # each timed batch lasts at least this long
SCALING_N = 10**5
SCALING_TRIALS = 9
SCALING_TRIAL_NS = 4e7


def rounds_for(n: int) -> int:
    """Many rounds where they are cheap; fewer where one call takes tens of milliseconds."""
    return 41 if n <= 10**4 else 31 if n <= 10**5 else 15 if n <= 10**6 else 9


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="agreement only: no timing, nothing written")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results",
                        help="folder for peers.md and peers.png (default bench/results)")
    parser.add_argument("--update-docs", action="store_true",
                        help="also refresh the marked blocks of README.md and docs/performance.md")
    parser.add_argument("--max-n", type=int, default=10**7,
                        help="largest series length timed (a power of ten, default 10^7)")
    parser.add_argument("--missing", action="append", default=[], metavar="DIST=REASON",
                        help="a peer that could not be installed, and why")
    parser.add_argument("--idle-note", default="", help="what waiting for an idle machine gave")
    parser.add_argument("--kernels", type=Path,
                        help="output of bench_kernels from the same run, for the chain floors")
    parser.add_argument("--render", type=Path, metavar="JSON",
                        help="measure nothing: render the tables and files again from the "
                             "peers.json of an earlier run")
    return parser.parse_args()


def check_agreement(contenders, absent) -> tuple[list, list, list[str]]:
    """The agreement tables, printed; returns them with every failure found."""
    failures = [f"plain-Python loop: {f}" for f in rules.check_examples()]
    series = real_bars()
    first = next(iter(series))
    rules_only = {f"{first}, NaN in {field}": agreement.spoiled(series[first], field)
                  for field in ("close", "high", "low")}
    comparisons = agreement.compare_all(contenders, series, rules_only)
    injections = agreement.inject_nan(contenders, series[first])
    tmp = report.Results(contenders, {}, [], {}, 0, comparisons, injections, {}, "")
    failures += report.agreement_failures(tmp)
    for dist, reason in absent.items():
        print(f"missing peer {dist}: {reason}")
    print(f"\nAgreement on {len(series)} tickers of real daily bars "
          f"({sum(len(b) for b in series.values())} bars)\n")
    print(report.agreement_table(tmp))
    print(f"\nOne NaN at position k = {agreement.INJECT_AT} of {first}'s bars\n")
    print(report.injection_table(tmp))
    print("\n" + report.definitions(tmp))
    return comparisons, injections, failures


def main() -> int:
    args = parse_args()
    if args.render:
        return publish(store.load(args.render), args, [])
    missing = dict(item.split("=", 1) for item in args.missing)
    modules, absent = load_peers(missing)
    if "brindlex" not in modules:
        print(f"brindlex cannot be imported: {absent.get('brindlex')}", file=sys.stderr)
        return 2
    contenders = all_contenders(modules)
    load_at_start = machine.load()

    comparisons, injections, failures = check_agreement(contenders, absent)
    if failures:
        print("\nAGREEMENT FAILURES:\n  " + "\n  ".join(failures))
    if args.quick:
        print(f"\nagreement: {'FAILED' if failures else 'ok'}")
        return 1 if failures else 0

    sizes = [1, 10] + [10**e for e in range(2, len(str(args.max_n)))]
    rng = np.random.default_rng(SEED)
    print(f"\ntiming {len(contenders)} contenders at n = {', '.join(map(str, sizes))}",
          file=sys.stderr)
    timings = timing.measure(contenders, sizes, rounds_for, SAMPLE_NS, rng)
    print(f"two threads against one at n = {SCALING_N}", file=sys.stderr)
    scaling = timing.thread_scaling(contenders, SCALING_N, SCALING_TRIALS, SCALING_TRIAL_NS, rng)

    polars = modules.get("polars")
    facts = machine.describe(list(PEERS), absent, polars.thread_pool_size() if polars else None)
    facts["load at start"] = load_at_start
    facts["load at end"] = machine.load()
    if args.idle_note:
        facts["idle"] = args.idle_note
    settings = report.wrap(
        "Series: random walks between 50 and 150; every bar opens with a gap from the previous "
        "close and has a range drawn afresh (0.1 % to 1.5 % beyond open and close). Each "
        "length has a pool of distinct series (about 2^20 elements in all; 2 to 4096 series) that "
        "every contender walks through in turn, so no call repeats the series before it. Rounds "
        "per n, after one warm-up round: "
        + ", ".join(f"{report.size_label(n)}: {rounds_for(n)}" for n in sizes)
        + f"; each timed batch lasts at least {SAMPLE_NS / 1e6:.0f} ms. Seed {SEED}.")
    results = report.Results(
        contenders, timings, sizes, scaling, SCALING_N, comparisons, injections, facts, settings,
        kernels=args.kernels.read_text() if args.kernels and args.kernels.exists() else "")

    return publish(results, args, failures)


def publish(results: report.Results, args: argparse.Namespace, failures: list[str]) -> int:
    """Prints the tables, writes the files, and keeps the raw results beside them."""
    sizes = results.sizes
    print("\n" + report.ns_tables(results))
    print("\nµs per call\n\n" + report.per_call_table(results))
    print(f"\nTwo threads against one, n = {results.scaling_n}\n\n" + report.scaling_table(results))
    print("\nRatios (peer / brindlex allocating)\n\n"
          + report.ratio_table(results, [n for n in sizes if n >= 100]))
    print("\nTargets\n" + "\n".join(report.targets(results)))
    written = report.write(results, args.out, ROOT, args.update_docs)
    if not args.render:
        store.save(results, args.out / "peers.json")
        written.append(str(args.out / "peers.json"))
    for path in written:
        print(f"wrote {path}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
