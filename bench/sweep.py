"""Parameter sweeps: brindlex_batch computing one indicator under many periods over the same bars,
against the careful brindlex loop over periods, TA-Lib looped over periods, vectorbt's indicators
given lists of windows and a copy of the outputs' bytes, in ns per output element.

Usage: python bench/sweep.py [--quick] [--force] [--out DIR] [--max-elements N]
                             [--missing DIST=REASON ...]

Cases: 1 series of 10^5 bars under 64 periods, and 500 series of 2,520 bars (series × dates, C
order) under 16. SMA, EMA and ATR sweep their period from 5 up; MACD sweeps a grid of fast, slow
and signal periods with as many combinations. Every call runs on bars it did not run on just
before. vectorbt compiles its kernels with numba on first use: the calibration calls, untimed,
compile them before any round is timed.

The careful loop is what a user who cares about speed writes: the outputs allocated once at full
size, (periods, series, bars), each brindlex call writing the row of one period and one series.
brindlex_batch is given out= of that shape as well, so that both move the same bytes; its
allocating call is a row of its own, as are the peers, which allocate. The memory floor copies
the input into every row of the outputs: the outputs' bytes at copy speed.

Beside the timings, the allocating sweep's peak of traced memory (tracemalloc, which sees NumPy's
allocations and the extension's workspaces do not go through it: they are a group's state and at
most one series per thread) is given as a ratio to its outputs' bytes.

The results are written only when the machine was quiet (see bench/README.md); --quick runs every
contender once on small cases, checks that brindlex_batch and the loop equal brindlex bit for bit
(and the peers agree as in the peer benchmark), times nothing, writes nothing, and exits with
status 1 on a failure.
"""

from __future__ import annotations

import itertools
import sys
import tracemalloc
from dataclasses import dataclass

import numpy as np

from batch import _text, verdict
from peerbench import grid
from peerbench.contenders import INDICATORS, OUTPUTS, Contender, talib_contenders
from peerbench.grid import Case
from peerbench.series import ROWS, Pool

SEED = 20_261_210
LIBRARIES = {"brindlex": "brindlex", "brindlex_batch": "brindlex_batch", "ta-lib": "talib",
             "vectorbt": "vectorbt"}

OUT1, ALLOC1 = "brindlex_batch sweep, out=", "brindlex_batch sweep, allocating"
CAREFUL = "brindlex looped over periods, outputs allocated once"
TALIB, VBT = "TA-Lib looped over periods", "vectorbt, lists of windows"
FLOOR = "memory floor: np.copyto into every output row"
ROW_NAMES = [OUT1, ALLOC1, CAREFUL, TALIB, VBT, FLOOR]
ROW_LIBRARY = {OUT1: "brindlex_batch", ALLOC1: "brindlex_batch", CAREFUL: "brindlex",
               TALIB: "ta-lib", VBT: "vectorbt"}


@dataclass(frozen=True)
class SweepCase(Case):
    """`series` series of `length` bars (series × dates) under `periods` periods; elements are
    the outputs' (periods × series × length)."""
    periods: int = 1

    @property
    def elements(self) -> int:
        return self.periods * self.series * self.length

    @property
    def label(self) -> str:
        return f"{self.series:,} × {self.length:,} × {self.periods} periods"


def grid_of(indicator: str, count: int) -> tuple[list[int], ...]:
    """The swept values of each period argument: `count` periods from 5 up, or for MACD a grid of
    `count` combinations (fast below every slow)."""
    if indicator != "macd":
        step = 3 if count >= 64 else 12
        return (list(range(5, 5 + step * count, step)),)
    fast, slow = ([8, 10, 12, 14], [21, 26, 30, 35]) if count >= 64 else ([8, 12], [21, 26])
    signal = [5, 7, 9, 11][: count // (len(fast) * len(slow))]
    return fast, slow, signal


def combinations(indicator: str, count: int) -> list[tuple[int, ...]]:
    return list(itertools.product(*grid_of(indicator, count)))


CASES = [SweepCase(1, 10**5, ROWS, periods=64), SweepCase(500, 2520, ROWS, periods=16)]
QUICK_CASES = [SweepCase(1, 3000, ROWS, periods=64), SweepCase(7, 300, ROWS, periods=16)]


def rounds_for(case: Case) -> int:
    return 10


def inputs(indicator: str, b, case: SweepCase) -> tuple:
    """The bars as the sweep takes them: one series as a 1-D array, many as series × dates."""
    arrays = (b.high, b.low, b.close) if indicator == "atr" else (b.close,)
    return tuple(a if case.series == 1 else a.reshape(case.series, case.length) for a in arrays)


def outputs(pool: Pool, indicator: str, case: SweepCase) -> list[np.ndarray]:
    """The outputs of a whole sweep, (combinations, series, length), allocated once per pool and
    shared by every contender that writes into given outputs (the floor included)."""
    count = len(OUTPUTS[indicator])
    made = pool.memo("outputs", lambda: [np.empty((case.periods, case.series, case.length))
                                          for _ in range(3)])
    return made[:count]


def shaped(out: np.ndarray, indicator: str, case: SweepCase) -> np.ndarray:
    """A shared output as the sweep's result shape: the swept axes, then the input's."""
    axes = tuple(len(v) for v in grid_of(indicator, case.periods))
    tail = (case.length,) if case.series == 1 else (case.series, case.length)
    return out.reshape(axes + tail)


def rows_of(result, indicator: str, case: SweepCase) -> dict[str, np.ndarray]:
    """Every output as (combinations × series, length), combination after combination."""
    parts = result if indicator == "macd" else (result,)
    return {name: np.asarray(part, dtype=np.float64).reshape(-1, case.length)
            for name, part in zip(OUTPUTS[indicator], parts)}


def given_outputs(indicator: str, case: SweepCase):
    def prepare(pool: Pool) -> list[tuple]:
        outs = outputs(pool, indicator, case)
        return [(*inputs(indicator, b, case), outs) for b in pool.bars]
    return prepare


def each_input(indicator: str, case: SweepCase):
    return lambda pool: [inputs(indicator, b, case) for b in pool.bars]


# ----------------------------------------------------------------------------------------------
# Contenders


def batch_rows(bb, case: SweepCase) -> list[Contender]:
    rows = []
    for indicator in INDICATORS:
        f, swept = getattr(bb, indicator), grid_of(indicator, case.periods)
        one = indicator != "macd"
        rows.append(Contender(
            indicator, OUT1, "brindlex_batch", given_outputs(indicator, case),
            lambda *a, f=f, s=swept, one=one, i=indicator: f(
                *a[:-1], *s, out=shaped(a[-1][0], i, case) if one else
                tuple(shaped(o, i, case) for o in a[-1])),
            lambda args, result, i=indicator: rows_of(result, i, case)))
        rows.append(Contender(
            indicator, ALLOC1, "brindlex_batch", each_input(indicator, case),
            lambda *a, f=f, s=swept: f(*a, *s),
            lambda args, result, i=indicator: rows_of(result, i, case)))
    return rows


def looped_rows(bx, case: SweepCase) -> list[Contender]:
    """brindlex once per period (or combination) and series, writing its row of the outputs."""
    rows = []
    for indicator in INDICATORS:
        fn, combos = getattr(bx, f"indicator_{indicator}"), combinations(indicator, case.periods)

        def run(*a, fn=fn, combos=combos):
            *arrays, outs = a
            series = [x.reshape(case.series, case.length) for x in arrays]
            for c, combo in enumerate(combos):
                for s in range(case.series):
                    fn(*combo, *(x[s] for x in series), *(o[c, s] for o in outs))
            return tuple(outs) if len(outs) > 1 else outs[0]
        rows.append(Contender(indicator, CAREFUL, "brindlex", given_outputs(indicator, case), run,
                              lambda args, result, i=indicator: rows_of(result, i, case)))
    return rows


def talib_rows(talib, case: SweepCase) -> list[Contender]:
    checks = {c.indicator: c.checks for c in talib_contenders(talib)}
    rows = []
    for indicator in INDICATORS:
        fn, combos = getattr(talib, indicator.upper()), combinations(indicator, case.periods)

        def run(*arrays, fn=fn, combos=combos):
            series = [x.reshape(case.series, case.length) for x in arrays]
            return [fn(*(x[s] for x in series), *combo) for combo in combos
                    for s in range(case.series)]

        def values(args, result, indicator=indicator):
            each = [r if isinstance(r, tuple) else (r,) for r in result]
            return {name: np.stack([r[o] for r in each]) for o, name in enumerate(OUTPUTS[indicator])}
        rows.append(Contender(indicator, TALIB, "ta-lib", each_input(indicator, case), run, values,
                              checks=checks[indicator]))
    return rows


def vectorbt_rows(vbt, case: SweepCase) -> list[Contender]:
    """vectorbt's indicator classes on dates × series arrays (a transposed view, no copy), each
    given the lists of windows; MACD's as the product of its three lists."""
    view = (lambda a: a) if case.series == 1 else (lambda a: a.T)  # noqa: E731
    g = {i: grid_of(i, case.periods) for i in INDICATORS}
    runs = {
        "sma": lambda c: vbt.MA.run(c, window=g["sma"][0]).ma,
        "ema": lambda c: vbt.MA.run(c, window=g["ema"][0], ewm=True).ma,
        "macd": lambda c: (lambda r: (r.macd, r.signal, r.hist))(vbt.MACD.run(
            c, fast_window=g["macd"][0], slow_window=g["macd"][1], signal_window=g["macd"][2],
            param_product=True)),
        "atr": lambda h, l, c: vbt.ATR.run(h, l, c, window=g["atr"][0]).atr,
    }

    def values_of(indicator):
        def values(args, result):
            parts = result if indicator == "macd" else (result,)
            return {name: np.asarray(part.to_numpy()).T.reshape(-1, case.length)
                    for name, part in zip(OUTPUTS[indicator], parts)}
        return values
    return [Contender(indicator, VBT, "vectorbt",
                      lambda pool, i=indicator: [tuple(map(view, inputs(i, b, case))) for b in pool.bars],
                      run, values_of(indicator)) for indicator, run in runs.items()]


def floor_rows(case: SweepCase) -> list[Contender]:
    """The memory floor: the input copied into every row of the outputs the out= rows write."""
    rows = []
    for indicator in INDICATORS:
        def prepare(pool: Pool, i=indicator):
            outs = outputs(pool, i, case)
            return [(b.close.reshape(case.series, case.length), *outs) for b in pool.bars]

        def run(x, *outs):
            for o in outs:
                np.copyto(o, x)
        rows.append(Contender(indicator, FLOOR, "numpy", prepare, run, None))
    return rows


def make_all(modules: dict) -> grid.Make:
    makers = [("brindlex_batch", batch_rows), ("brindlex", looped_rows), ("ta-lib", talib_rows),
              ("vectorbt", vectorbt_rows)]

    def make(case: Case) -> list[Contender]:
        return [c for dist, maker in makers if dist in modules
                for c in maker(modules[dist], case)] + floor_rows(case)
    return make


# ----------------------------------------------------------------------------------------------
# Memory


def peak_ratio(bb, indicator: str, case: SweepCase, rng: np.random.Generator) -> float:
    """The allocating sweep's peak of traced memory over its outputs' bytes."""
    b = grid.draws(case, rng, count=1).bars[0]
    args = inputs(indicator, b, case)
    tracemalloc.start()
    tracemalloc.reset_peak()
    result = getattr(bb, indicator)(*args, *grid_of(indicator, case.periods))
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    parts = result if indicator == "macd" else (result,)
    return peak / sum(p.nbytes for p in parts)


MEMORY_TARGET = 1.1


def memory_lines(cases: list[Case], rng: np.random.Generator) -> list[str]:
    import brindlex_batch as bb
    lines = []
    for case in cases:
        xs = {i: peak_ratio(bb, i, case, rng) for i in INDICATORS}
        parts = [f"{INDICATORS[i]} {x:.3f}×" for i, x in xs.items()]
        lines.append(f"- peak memory of the allocating sweep over its outputs' bytes (≤ "
                     f"{MEMORY_TARGET}×), {case.label}: " + verdict(parts, all(x <= MEMORY_TARGET for x in xs.values())))
    return lines


# ----------------------------------------------------------------------------------------------
# Targets and report

LOOP_TARGETS = {"sma": 2.0, "ema": 3.0, "macd": 3.0, "atr": 3.0}
# SMA and EMA, 1 series × 10^5 × 64. Each peer in its fastest idiom (both allocate: neither takes
# outputs) against the sweep a careful user writes, into outputs allocated once, as the careful
# loop is timed; the allocating sweep's ratio is given beside it, since a fresh result costs the
# zeroing of its pages by the system (about 0.7 ns per element here) on top of the sweep.
PEER_TARGETS = {VBT: 40.0, TALIB: 4.0}


def targets(res: grid.Results, all_cases: list[Case]) -> list[str]:
    lines = []
    for case in all_cases:
        xs = {i: grid.ratio(res, case, i, CAREFUL, OUT1) for i in INDICATORS}
        parts = [f"{INDICATORS[i]} {_text(x)} (≥ {LOOP_TARGETS[i]}×)" for i, x in xs.items()]
        lines.append(f"- against the careful loop, both writing given outputs, {case.label}: "
                     + verdict(parts, all(x and x >= LOOP_TARGETS[i] for i, x in xs.items())))
        if case.series == 1:
            for peer, want in PEER_TARGETS.items():
                xs = {i: grid.ratio(res, case, i, peer, OUT1) for i in ("sma", "ema")}
                fresh = {i: grid.ratio(res, case, i, peer, ALLOC1) for i in ("sma", "ema")}
                parts = [f"{INDICATORS[i]} {_text(x)} (allocating: {_text(fresh[i])})" for i, x in xs.items()]
                lines.append(f"- {peer} against the sweep with out= (≥ {want}×), {case.label}: "
                             + verdict(parts, all(x and x >= want for x in xs.values())))
        xs = {i: grid.ratio(res, case, i, OUT1, FLOOR) for i in INDICATORS}
        lines.append(f"- the sweep with out= over the memory floor, {case.label}: "
                     + ", ".join(f"{INDICATORS[i]} {_text(x)}" for i, x in xs.items()))
    return lines + memory_lines(all_cases, np.random.default_rng(SEED))


def groups(cs: list[Case]) -> list[tuple[str, list[Case]]]:
    return [("sweeps", cs)]


BENCH = grid.Bench(
    name="sweep", title="Parameter sweeps", doc=__doc__, libraries=LIBRARIES,
    rows=ROW_NAMES, row_library=ROW_LIBRARY, make=lambda modules, rng: make_all(modules),
    cases=CASES, quick_cases=QUICK_CASES, rounds_for=rounds_for, targets=targets,
    note="ns per output element (periods × series × bars): the median over the rounds (split into "
         "two separate runs), ± the interquartile range over the median, and in brackets the ratio "
         "to the memory floor measured in the same run. The indicators' labels name their usual "
         "periods, but every row sweeps: SMA, EMA and ATR over 64 periods 5, 8, …, 194 (16: 5, 17, "
         "…, 185); MACD over fast 8-14, slow 21-35 and signal 5-11 (16: fast 8, 12, slow 21, 26, "
         "signal 5-11). The out= rows, the careful loop and the floor write into the same outputs, "
         "allocated once. vectorbt's numba compilation happens in untimed calls before the rounds; "
         "its EMA is not seeded as brindlex's, so it agrees only after the warm-up fades.",
    groups=groups, reference=CAREFUL, seed=SEED, dotted=FLOOR,
    exact=lambda c: c.peer in ("brindlex_batch", "brindlex"), floor_row=FLOOR)

if __name__ == "__main__":
    sys.exit(BENCH.main())
