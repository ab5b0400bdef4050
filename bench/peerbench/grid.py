"""Benchmarks over many series at once: every contender on every case (a shape of bars and how
they are laid out), ns per element, and how far each contender agrees with a reference one."""

from __future__ import annotations

import argparse
import dataclasses
import gc
import json
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterable

import numpy as np

from . import machine, timing
from .agreement import Comparison, compare
from .contenders import INDICATORS, OUTPUTS, Contender, load_peers
from .report import fmt, table, wrap
from .series import LONG, Bars, Pool, pool_size, random_bars


@dataclass(frozen=True)
class Case:
    """`series` series of `length` bars, laid out long or wide; `order` says how a long frame's
    rows are ordered (by series, or shuffled)."""
    series: int
    length: int
    layout: str = LONG
    order: str = "sorted"

    @property
    def elements(self) -> int:
        return self.series * self.length

    @property
    def shape(self) -> str:
        return f"{self.series:,} × {self.length:,}"

    @property
    def label(self) -> str:
        shuffled = f", {self.order}" if self.order != "sorted" else ""
        return f"{self.shape}, {self.layout}{shuffled}"


def draws(case: Case, rng: np.random.Generator, count: int | None = None) -> Pool:
    """Distinct draws of the case's bars, at least two, about 2^20 elements in all."""
    count = count or pool_size(case.elements)
    return Pool([random_bars(case.length, rng, case.series, case.layout) for _ in range(count)])


RESULTS = Path(__file__).resolve().parents[1] / "results"
SAMPLE_NS = 2e6  # each timed batch lasts at least this long
# Results are written only when the 1-minute load was at or below this before the run, and the
# rest of the machine kept no more cores than this busy during it.
QUIET_LOAD = 0.5
# Seconds to wait before a run for the 1-minute load to settle (BRINDLEX_BENCH_IDLE_TIMEOUT).
SETTLE = float(os.environ.get("BRINDLEX_BENCH_IDLE_TIMEOUT", 180))
# Each case is timed in two separate runs; medians further apart than this are reported both.
RUNS, MARGIN = 2, 0.10

Make = Callable[[Case], list[Contender]]
Results = dict[tuple[str, str, str], timing.Outcome]  # (case label, indicator, row) -> ns per call


def measure(cases: Iterable[Case], make: Make, rounds_for: Callable[[Case], int],
            sample_ns: float, rng: np.random.Generator,
            log: Callable[[str], None] = lambda s: print(s, file=sys.stderr, flush=True),
            ) -> Results:
    """Every contender made for each case, interleaved on the shared timing core."""
    results: Results = {}
    for case in cases:
        started = time.perf_counter()
        pool = draws(case, rng)
        subjects = []
        for c in make(case):
            try:
                args = c.prepare(pool)
            except Exception as error:  # a peer refusing an input is a result, not a crash
                results[(case.label, c.indicator, c.label)] = f"raises {type(error).__name__}"
                continue
            subjects.append(timing.pooled((case.label, c.indicator, c.label), c.run, args))
        results.update(timing.run(subjects, rounds_for(case), sample_ns, RUNS))
        del subjects, pool
        gc.collect()
        log(f"  {case.label}: {rounds_for(case)} rounds in {time.perf_counter() - started:.1f} s")
    return results


def per_element(results: Results, case: Case, indicator: str, row: str) -> float | None:
    t = results.get((case.label, indicator, row))
    return t.median / case.elements if isinstance(t, timing.Timing) else None


def cell(t: timing.Outcome | None, elements: int, floor: float | None = None) -> str | None:
    """ns per element with its spread (interquartile range over the median), the ratio to the
    memory floor in brackets, and both runs' figures when they disagree."""
    if not isinstance(t, timing.Timing):
        return t
    text = f"{fmt(t.median / elements)} ±{100 * t.spread:.0f}%"
    if floor:
        text += f" [{t.median / elements / floor:.2f}×]"
    if t.disagrees(MARGIN):
        text += " runs differ: " + " / ".join(fmt(r / elements) for r in t.runs)
    return text


def ns_table(results: Results, case: Case, rows: list[str], missing: dict[str, str],
             floor_row: str = "") -> str:
    """ns per element: one line per row, one column per indicator."""
    lines = []
    for row in rows:
        cells = []
        for indicator in INDICATORS:
            floor = per_element(results, case, indicator, floor_row) if floor_row else None
            t = results.get((case.label, indicator, row))
            cells.append(cell(t, case.elements, floor) or missing.get(row, "—"))
        if any(c != "—" for c in cells):
            lines.append([row, *cells])
    return table(["", *INDICATORS.values()], lines)


def disagreements(results: Results, cases: list[Case]) -> list[str]:
    """Every figure whose two runs disagree by more than the margin, in ns per element."""
    elements = {c.label: c.elements for c in cases}
    return [f"{label}, {INDICATORS[indicator]}, {row}: "
            + " / ".join(fmt(r / elements[label]) for r in t.runs) + " ns per element"
            for (label, indicator, row), t in results.items()
            if isinstance(t, timing.Timing) and t.disagrees(MARGIN) and label in elements]


class Quiet:
    """The publishing check around one run: the 1-minute load before it (waited for to settle,
    unless forced), and what the rest of the machine kept busy during it."""

    def __init__(self, force: bool):
        self.force = force
        self.before = machine.settled_load(QUIET_LOAD, 0 if force else SETTLE,
                                           lambda s: print(s, file=sys.stderr, flush=True))
        self.load_at_start = machine.load()
        self.others = machine.Others()

    def verdict(self) -> tuple[bool, str]:
        """Whether the results may be written, and the note saying so. Above QUIET_LOAD something
        else ran beside the benchmark: the figures are printed, marked, and written only with
        --force (for development), marked in the files as well. The 1-minute load after the run
        is shown but not judged: it holds the run's own work."""
        others, after = self.others.cores(), machine.one_minute_load()
        facts = (f"1-minute load {self.before:.2f} before; the rest of the machine kept "
                 f"{others:.2f} cores busy during the run (1-minute load after, the run's own "
                 f"work included: {after:.2f})")
        if max(self.before, others) <= QUIET_LOAD:
            return True, f"publishable: {facts}; both at most {QUIET_LOAD}"
        note = f"UNPUBLISHABLE: {facts}; above {QUIET_LOAD}, something else was running"
        return self.force, note + (" (written with --force, for development only)"
                                   if self.force else "; nothing written")


def ratio(results: Results, case: Case, indicator: str, slower: str, faster: str) -> float | None:
    a, b = (per_element(results, case, indicator, r) for r in (slower, faster))
    return a / b if a and b else None


# ----------------------------------------------------------------------------------------------
# Agreement


@dataclass
class Agreement:
    """Each contender's outputs against the reference row's, series by series."""
    rows: list[Comparison] = field(default_factory=list)

    @property
    def failures(self) -> list[str]:
        return [f"{INDICATORS[c.indicator]} {c.label} {c.output}: {c.failure}"
                for c in self.rows if c.failure]


def agree(case: Case, make: Make, reference: str, exact: Callable[[Contender], bool],
          rng: np.random.Generator, sprinkle: Callable[[Bars, np.random.Generator], Bars] | None
          = None) -> Agreement:
    """Runs every contender once on one draw of the case and compares its outputs, as
    (series, length) arrays, with the reference row's: bit for bit where `exact` says so, else
    by the contender's own checks."""
    bars = draws(case, rng, count=1).bars[0]
    if sprinkle:
        bars = sprinkle(bars, rng)
    pool = Pool([bars])
    found = Agreement()
    contenders = make(case)
    for indicator in INDICATORS:
        group = [c for c in contenders if c.indicator == indicator]
        ref_row = next((c for c in group if c.label == reference), None)
        if ref_row is None:
            continue
        ref = _outputs(ref_row, pool)
        scale = float(np.nanmax(np.abs(bars.close)))
        for c in group:
            if c is ref_row or c.values is None:
                continue
            try:
                got = _outputs(c, pool)
            except Exception as error:
                found.rows.append(Comparison(indicator, c.label, "-", set(), set(),
                                             failure=f"raises {type(error).__name__}: {error}"))
                continue
            for output in OUTPUTS[indicator]:
                row = Comparison(indicator, c.label, output, set(), set(),
                                 definition=c.definition)
                for r, g in zip(ref[output], got[output]):
                    compare(r, g, row, scale, c.checks.get(output))
                if exact(c) and not row.bit_identical and not row.failure:
                    row.failure = f"not bit-identical to {reference}"
                found.rows.append(row)
    return found


def _outputs(c: Contender, pool: Pool) -> dict[str, np.ndarray]:
    args = c.prepare(pool)[0]
    return c.values(args, c.run(*args))


def agreement_table(found: Agreement) -> str:
    rows = []
    for c in found.rows:
        verdict = ("FAIL: " + c.failure if c.failure else
                   "bit-identical" if c.bit_identical else f"max abs diff {c.max_abs:.2g}")
        rows.append([INDICATORS[c.indicator], c.label, c.output, verdict])
    return table(["", "row", "output", "against the reference"], rows, right_from=99)


# ----------------------------------------------------------------------------------------------
# Files


def save(res: Results, path: Path, facts: dict) -> None:
    """The raw results as JSON, beside the tables."""
    rows = [{"case": k[0], "indicator": k[1], "row": k[2],
             **({"reason": v} if isinstance(v, str) else dataclasses.asdict(v))}
            for k, v in res.items()]
    path.write_text(json.dumps({"facts": facts, "results": rows}, indent=1,
                               ensure_ascii=False) + "\n")


def plot(res: Results, groups: list[tuple[str, list[Case]]], rows: list[str], path: Path,
         title: str, facts: dict, dotted: str = "") -> None:
    """ns per element against the case, one panel per indicator and group of cases, each row in
    one colour throughout; brindlex_batch's rows drawn thick."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(groups), len(INDICATORS), figsize=(16, 4 * len(groups)),
                             sharey=True, squeeze=False)
    for (name, group), line in zip(groups, axes):
        for ax, indicator in zip(line, INDICATORS):
            for row in rows:
                points = [(i, per_element(res, c, indicator, row)) for i, c in enumerate(group)]
                points = [(i, y) for i, y in points if y]
                if points:
                    x, y = zip(*points)
                    ax.plot(x, y, marker="o", ms=4, color=f"C{rows.index(row) % 10}",
                            lw=2.4 if row.startswith("brindlex_batch") else 1.2,
                            ls=":" if row == dotted else "-", label=row)
            ax.set_yscale("log")
            # A group of one shape in several layouts is told apart by the layout.
            shapes = [c.shape for c in group]
            ticks = shapes if len(set(shapes)) == len(shapes) else [c.layout for c in group]
            ax.set_xticks(range(len(group)), ticks, fontsize=7)
            ax.set_title(f"{INDICATORS[indicator]}, {name}")
            ax.grid(True, which="both", alpha=0.3)
        line[0].set_ylabel("ns per element")
    axes[0][0].legend(fontsize=7)
    fig.suptitle(f"{title}, median ns per element\n{facts['cpu']}, {facts['python']}, load "
                 f"{facts['load at start']} → {facts['load at end']}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ----------------------------------------------------------------------------------------------
# The command line shared by the benchmarks of many series


def arguments(doc: str, max_elements: int | None = None) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="agreement only on small cases: no timing, nothing written")
    parser.add_argument("--out", type=Path, default=RESULTS, help="default bench/results")
    parser.add_argument("--missing", action="append", default=[], metavar="DIST=REASON",
                        help="a peer that could not be installed, and why")
    parser.add_argument("--force", action="store_true",
                        help="write the results even on a busy machine, marked as unpublishable "
                             "(development only)")
    if max_elements:
        parser.add_argument("--max-elements", type=int, default=max_elements,
                            help="leave out cases with more elements than this")
    return parser


def describe(libraries: dict[str, str], absent: dict[str, str], load_at_start: str,
             modules: dict, note: str = "") -> dict[str, str]:
    """Machine, versions and load; the companion modules come with brindlex's wheel."""
    dists = [d for d in libraries if not d.startswith(("brindlex_", "brindlex."))]
    polars = modules.get("polars")
    facts = machine.describe(dists, absent, polars.thread_pool_size() if polars else None)
    for d in libraries:
        if d.startswith("brindlex_") and "." not in d:
            # Where it came from: before a merge it may be another branch's build.
            found = modules.get(d)
            facts[d] = absent[d] if d in absent else f"imported from {Path(found.__file__).parent}"
    facts.update({"load at start": load_at_start, "load at end": machine.load()})
    if note:
        facts["publication"] = note
    return facts


@dataclass
class Bench:
    """One benchmark of many series: its rows, cases, targets and notes."""
    name: str
    title: str
    doc: str
    libraries: dict[str, str]              # distribution: module
    rows: list[str]
    row_library: dict[str, str]
    make: Callable[[dict, np.random.Generator], Make]
    cases: list[Case]
    quick_cases: list[Case]
    rounds_for: Callable[[Case], int]
    targets: Callable[[Results, list[Case]], list[str]]
    note: str
    groups: Callable[[list[Case]], list[tuple[str, list[Case]]]]
    reference: str                         # the row every other one is checked against
    seed: int
    dotted: str = ""
    exact: Callable[[Contender], bool] = lambda c: c.peer == "brindlex_batch"
    floor_row: str = ""                    # the row each cell is also given as a ratio to

    def markdown(self, res: Results, cases: list[Case], facts: dict, absent: dict) -> str:
        missing = {row: f"{self.row_library[row]} {absent[self.row_library[row]]}"
                   for row in self.rows if self.row_library.get(row) in absent}
        parts = [
            f"# {self.title}\n",
            f"Produced by `bench/{self.name}.py` (run by `scripts/bench`); do not edit by hand.\n",
            table(["", ""], [[k, v] for k, v in facts.items()], right_from=99),
            "\n" + wrap(self.note),
            "\n## Targets\n", "\n".join(self.targets(res, cases)),
            f"\n![ns per element]({self.name}.png)\n",
        ]
        for case in cases:
            parts.append(f"\n## {case.label}\n\n"
                         + ns_table(res, case, self.rows, missing, self.floor_row))
        differ = disagreements(res, cases)
        parts.append(f"\n## Runs that disagree by more than {100 * MARGIN:.0f} %\n\n"
                     + ("\n".join(f"- {d}" for d in differ) if differ else "none"))
        return "\n".join(parts) + "\n"

    def main(self) -> int:
        largest = max(c.elements for c in self.cases)
        args = arguments(self.doc, largest).parse_args()
        modules, absent = load_peers(dict(m.split("=", 1) for m in args.missing),
                                     self.libraries)
        for dist, reason in absent.items():
            print(f"{dist}: {reason}", file=sys.stderr)
        if "brindlex" not in modules:
            return 2
        rng = np.random.default_rng(self.seed)
        make = self.make(modules, rng)
        if args.quick:
            failures = []
            for case in self.quick_cases:
                found = agree(case, make, self.reference, self.exact, rng)
                print(f"\n{case.label}\n\n{agreement_table(found)}")
                failures += [f"{case.label}: {f}" for f in found.failures]
            print("\nFAILURES:\n  " + "\n  ".join(failures) if failures else "\nagreement: ok")
            return 1 if failures else 0
        cases = [c for c in self.cases if c.elements <= args.max_elements]
        quiet = Quiet(args.force)
        res = measure(cases, make, self.rounds_for, SAMPLE_NS, rng)
        ok, note = quiet.verdict()
        facts = describe(self.libraries, absent, quiet.load_at_start, modules, note)
        text = self.markdown(res, cases, facts, absent)
        print(text)
        print(note)
        if not ok:
            return 0
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / f"{self.name}.md").write_text(text)
        save(res, args.out / f"{self.name}.json", facts)
        plot(res, self.groups(cases), self.rows, args.out / f"{self.name}.png", self.title,
             facts, self.dotted)
        print(f"wrote {args.out / self.name}.md, .json and .png")
        return 0
