"""Many series in one call: brindlex_batch against the careful brindlex loop, TA-Lib looped per
series, bottleneck's 2-D move_mean, polars over a long frame, vectorbt's 2-D indicators and a copy
of the bytes each indicator must move, in ns per element.

Usage: python bench/batch.py [--quick] [--force] [--out DIR] [--max-elements N]
                             [--missing DIST=REASON ...]

Cases: 50 × 252, 500 × 2,520, 4,000 × 2,520 and 16 × 10^6 bars, each laid out as rows (series ×
dates, C order, axis=-1), columns (dates × series, axis=0) and runs (one long column, lengths=);
1, 2, 3, 4, 8 and 16 series of 2,520 bars (rows); 500 ragged runs of 100 to 5,000 bars against 500
equal runs of the same total. Every call runs on bars it did not run on just before. vectorbt
compiles its kernels with numba on first use: the calibration calls, untimed, compile them before
any round is timed.

The careful loop is what a user who cares about speed writes: the outputs allocated once at full
size, each brindlex call writing row i of them (a column is first copied into a scratch array
allocated once, as brindlex takes contiguous arrays). brindlex_batch is given out= as well, so
that both move the same bytes; the allocating variants of both are rows of their own.

The results are written only when the machine was quiet: a 1-minute load of at most 0.5 before
the run, and at most 0.5 cores kept busy by everything else during it; otherwise they are printed,
marked unpublishable (--force writes them, marked, for development).

--quick runs every contender once on small cases and checks that brindlex_batch and the loops
equal brindlex per series bit for bit (and the peers agree as in the peer benchmark); it times
nothing, writes nothing, and exits with status 1 on a failure.
"""

from __future__ import annotations

import sys

import numpy as np

from peerbench import grid, report
from peerbench.contenders import (INDICATORS, OUTPUTS, Contender, bottleneck_contenders,
                                  polars_contenders, polars_expressions,
                                  talib_contenders)
from peerbench.grid import Case
from peerbench.series import COLUMNS, ROWS, RUNS, Bars, Pool

SEED = 20_261_208
PERIODS = {"sma": (20,), "ema": (20,), "macd": (12, 26, 9), "atr": (14,)}
RAGGED = "ragged runs"
LAYOUTS = (ROWS, COLUMNS, RUNS)
SHAPES = [(50, 252), (500, 2520), (4000, 2520), (16, 10**6)]
THREADED = {(500, 2520), (4000, 2520)}        # shapes also timed on two threads
FEW = [Case(k, 2520, ROWS) for k in (1, 2, 3, 4, 8, 16)]
QUICK_SHAPES = [(7, 300), (3, 1000)]
# Distribution: module, for every library taking part.
LIBRARIES = {"brindlex": "brindlex", "brindlex_batch": "brindlex_batch", "ta-lib": "talib",
             "bottleneck": "bottleneck", "polars": "polars", "vectorbt": "vectorbt"}

OUT1, OUT2, ALLOC1 = ("brindlex_batch, 1 thread, out=", "brindlex_batch, 2 threads, out=",
                      "brindlex_batch, 1 thread, allocating")
CAREFUL, LOOPED = ("brindlex looped, outputs allocated once", "brindlex looped, allocating")
TALIB, BOTTLENECK, POLARS, VBT, FLOOR = ("TA-Lib looped", "bottleneck move_mean(axis=time)",
                                         "polars .over(ticker)", "vectorbt 2-D",
                                         "memory floor: np.copyto of the bytes")
ROW_NAMES = [OUT1, OUT2, ALLOC1, CAREFUL, LOOPED, TALIB, BOTTLENECK, POLARS, VBT, FLOOR]
ROW_LIBRARY = {OUT1: "brindlex_batch", OUT2: "brindlex_batch", ALLOC1: "brindlex_batch",
               CAREFUL: "brindlex", LOOPED: "brindlex", TALIB: "ta-lib", BOTTLENECK: "bottleneck",
               POLARS: "polars", VBT: "vectorbt"}


RAGGED_LENGTHS: dict[Case, np.ndarray] = {}


def ragged_pair(count: int, low: int, high: int) -> list[Case]:
    """`count` runs of random lengths from `low` to `high`, fixed by the seed, and as many equal
    runs of the same total (the ragged lengths are trimmed to a whole multiple of `count`)."""
    lengths = np.random.default_rng(SEED + count).integers(low, high, count, endpoint=True)
    lengths[np.argmax(lengths)] -= lengths.sum() % count
    mean = int(lengths.sum()) // count
    ragged = Case(count, mean, RAGGED)
    RAGGED_LENGTHS[ragged] = lengths.astype(np.int64)
    return [Case(count, mean, RUNS), ragged]


RAGGED_PAIR = ragged_pair(500, 100, 5000)
# 4,001 series side by side: rows of 32,008 bytes, no whole number of 64-byte lines, as most
# universes' are (4,000 series make whole lines). Only one row in eight starts a line there.
ODD_COLUMNS = Case(4001, 2520, COLUMNS)
# Cases that hold only the careful loop, brindlex_batch with out= and the floor.
NARROW = {*FEW, *RAGGED_PAIR, ODD_COLUMNS}


def with_peers(case: Case) -> bool:
    """Whether the peers and the allocating rows take part: not in the narrow cases, nor on
    ragged runs, which no peer takes as one array."""
    return case not in NARROW and case.layout != RAGGED


def rounds_for(case: Case) -> int:
    return 16 if case.elements <= 10**5 else 10 if case.elements <= 2 * 10**6 else 6


def inputs(indicator: str, b: Bars) -> tuple:
    return (b.high, b.low, b.close) if indicator == "atr" else (b.close,)


def lengths_of(case: Case) -> np.ndarray:
    if case.layout == RAGGED:
        return RAGGED_LENGTHS[case]
    return np.full(case.series, case.length, dtype=np.int64)


def arranged(a: np.ndarray, case: Case) -> np.ndarray:
    """A drawn array as the case lays it out: series × length for rows; as drawn otherwise
    (length × series for columns, one long column for runs)."""
    return a.reshape(case.series, case.length) if case.layout == ROWS else a


def per_series(a, case: Case) -> list[np.ndarray] | np.ndarray:
    """An output in the case's layout as one array per series."""
    a = np.asarray(a, dtype=np.float64)
    if case.layout == COLUMNS:
        return a.T
    if case.layout == RAGGED:
        return np.split(a, np.cumsum(RAGGED_LENGTHS[case])[:-1])
    return a.reshape(case.series, case.length)


def _values(indicator: str, case: Case, convert=lambda part: part):
    def values(args, result) -> dict[str, np.ndarray]:
        parts = result if isinstance(result, (tuple, list)) and indicator == "macd" else (result,)
        return {name: per_series(convert(part), case)
                for name, part in zip(OUTPUTS[indicator], parts)}
    return values


def _each(prepare):
    return lambda pool: [prepare(b) for b in pool.bars]


def outputs(pool: Pool, k: int, case: Case) -> list[np.ndarray]:
    """k outputs of a draw's size, allocated once per pool and shared by every contender that
    writes into given outputs (the floor included), so that all write to the same memory."""
    made = pool.memo("outputs", lambda: [np.empty_like(pool.bars[0].close) for _ in range(3)])
    return [arranged(o, case) for o in made[:k]]


def _given_outputs(indicator: str, case: Case):
    """Inputs in the case's layout followed by the shared outputs."""
    k = len(OUTPUTS[indicator])

    def prepare(pool: Pool) -> list[tuple]:
        outs = outputs(pool, k, case)
        return [(*(arranged(a, case) for a in inputs(indicator, b)), outs) for b in pool.bars]
    return prepare


# ----------------------------------------------------------------------------------------------
# Contenders


def batch_rows(bb, case: Case) -> list[Contender]:
    layout = ({"lengths": lengths_of(case)} if case.layout in (RUNS, RAGGED)
              else {"axis": 0 if case.layout == COLUMNS else -1})
    threaded = (case.series, case.length) in THREADED and case not in NARROW
    rows = []
    for indicator in INDICATORS:
        f, p = getattr(bb, indicator), PERIODS[indicator]
        one = len(OUTPUTS[indicator]) == 1
        for label, threads in ((OUT1, 1), (OUT2, 2))[:2 if threaded else 1]:
            rows.append(Contender(
                indicator, label, "brindlex_batch", _given_outputs(indicator, case),
                lambda *a, f=f, p=p, t=threads, one=one: f(
                    *a[:-1], *p, out=a[-1][0] if one else tuple(a[-1]), threads=t, **layout),
                _values(indicator, case)))
        if case not in NARROW:
            rows.append(Contender(
                indicator, ALLOC1, "brindlex_batch", _each(
                    lambda b, i=indicator: tuple(arranged(a, case) for a in inputs(i, b))),
                lambda *a, f=f, p=p: f(*a, *p, threads=1, **layout), _values(indicator, case)))
    return rows


def _loop(fn, p: tuple, k: int, case: Case, allocate: bool):
    """brindlex called once per series, writing series i's outputs; `allocate` makes the outputs
    afresh on every call of the loop, as a hurried user does."""
    if case.layout == COLUMNS:
        s, n = case.series, case.length
        scratch = [np.empty(n) for _ in range(3)]

        def run(*a):
            *arrays, outs = a
            rows = [np.empty((s, n)) if allocate else o.reshape(s, n) for o in outs]
            for j in range(s):
                columns = [np.copyto(t, x[:, j]) or t for t, x in zip(scratch, arrays)]
                fn(*p, *columns, *(r[j] for r in rows))
            return tuple(r.T for r in rows) if k > 1 else rows[0].T
    elif case.layout == ROWS:
        def run(*a):
            *arrays, outs = a
            outs = [np.empty_like(o) for o in outs] if allocate else outs
            for i in range(case.series):
                fn(*p, *(x[i] for x in arrays), *(o[i] for o in outs))
            return tuple(outs) if k > 1 else outs[0]
    else:
        ends = np.cumsum(lengths_of(case)).tolist()
        spans = list(zip([0, *ends[:-1]], ends))

        def run(*a):
            *arrays, outs = a
            outs = [np.empty_like(o) for o in outs] if allocate else outs
            for lo, hi in spans:
                fn(*p, *(x[lo:hi] for x in arrays), *(o[lo:hi] for o in outs))
            return tuple(outs) if k > 1 else outs[0]
    return run


def looped_rows(bx, case: Case) -> list[Contender]:
    rows = []
    for indicator in INDICATORS:
        fn, p, k = getattr(bx, f"indicator_{indicator}"), PERIODS[indicator], len(OUTPUTS[indicator])
        for label, allocate in ((CAREFUL, False), (LOOPED, True))[:1 if case in NARROW else 2]:
            rows.append(Contender(indicator, label, "brindlex", _given_outputs(indicator, case),
                                  _loop(fn, p, k, case, allocate), _values(indicator, case)))
    return rows


def talib_rows(talib, case: Case) -> list[Contender]:
    """TA-Lib per series; it takes the strided columns of a wide table as they are."""
    if not with_peers(case):
        return []
    s = case.series
    checks = {c.indicator: c.checks for c in talib_contenders(talib)}
    rows = []
    for indicator in INDICATORS:
        fn, p = getattr(talib, indicator.upper()), PERIODS[indicator]
        if case.layout == COLUMNS:
            def run(*arrays, fn=fn, p=p):
                return [fn(*(a[:, j] for a in arrays), *p) for j in range(s)]
        else:
            def run(*arrays, fn=fn, p=p):
                return [fn(*(a[i] for a in arrays), *p) for i in range(s)]

        def values(args, result, indicator=indicator):
            each = [r if isinstance(r, tuple) else (r,) for r in result]
            return {name: np.stack([r[o] for r in each])
                    for o, name in enumerate(OUTPUTS[indicator])}
        rows.append(Contender(
            indicator, TALIB, "ta-lib", _each(
                lambda b, i=indicator: tuple(a.reshape(s, -1) if case.layout == RUNS
                                             else arranged(a, case) for a in inputs(i, b))),
            run, values, checks=checks[indicator]))
    return rows


def bottleneck_rows(bn, case: Case) -> list[Contender]:
    """move_mean along the time axis of the 2-D array: C order for rows and runs (series ×
    dates), Fortran order for columns (dates × series in C order)."""
    if not with_peers(case):
        return []
    (peer,) = bottleneck_contenders(bn)
    move_mean = bn.move_mean
    if case.layout == COLUMNS:
        run = lambda c: move_mean(c, 20, axis=0)  # noqa: E731
    else:
        shape = (case.series, case.length)
        run = lambda c: move_mean(c.reshape(shape), 20, axis=1)  # noqa: E731
    return [Contender("sma", BOTTLENECK, "bottleneck", _each(lambda b: (b.close,)), run,
                      _values("sma", case), checks=peer.checks)]


def polars_rows(pl, case: Case) -> list[Contender]:
    """polars' own expressions over a long frame with a ticker column, `.over("ticker")`."""
    if case.layout != RUNS or not with_peers(case):
        return []
    checks = {c.indicator: c.checks for c in polars_contenders(pl)}
    tickers = np.char.add("T", np.arange(case.series).astype(str))

    def frame(b: Bars):
        return pl.DataFrame({"ticker": np.repeat(tickers, case.length), "high": b.high,
                             "low": b.low, "close": b.close})
    def frames(pool: Pool) -> list[tuple]:
        # One frame per draw, shared by the four indicators.
        return pool.memo("polars long frame", lambda: [(frame(b),) for b in pool.bars])

    return [Contender(indicator, POLARS, "polars", frames,
                      lambda df, over=tuple(e.over("ticker") for e in exprs): df.select(over),
                      _frame_values(indicator, case), checks=checks[indicator])
            for indicator, exprs in polars_expressions(pl).items()]


def _frame_values(indicator: str, case: Case):
    def values(args, result) -> dict[str, np.ndarray]:
        return {name: per_series(result.to_series(i).to_numpy(), case)
                for i, name in enumerate(OUTPUTS[indicator])}
    return values


def vectorbt_rows(vbt, case: Case) -> list[Contender]:
    """vectorbt's indicator classes on dates × series arrays; rows and runs are passed as a
    transposed view of series × length, without a copy."""
    if not with_peers(case):
        return []
    if case.layout == COLUMNS:
        view = lambda a: a  # noqa: E731
    else:
        shape = (case.series, case.length)
        view = lambda a: a.reshape(shape).T  # noqa: E731
    runs = {
        "sma": lambda c: vbt.MA.run(c, 20).ma,
        "ema": lambda c: vbt.MA.run(c, 20, ewm=True).ma,
        "macd": lambda c: (lambda r: (r.macd, r.signal, r.hist))(vbt.MACD.run(c, 12, 26, 9)),
        "atr": lambda h, l, c: vbt.ATR.run(h, l, c, 14).atr,
    }

    def values_of(indicator):
        def values(args, result):
            parts = result if indicator == "macd" else (result,)
            return {name: np.asarray(part.to_numpy()).T
                    for name, part in zip(OUTPUTS[indicator], parts)}
        return values
    return [Contender(indicator, VBT, "vectorbt",
                      _each(lambda b, i=indicator: tuple(map(view, inputs(i, b)))),
                      run, values_of(indicator)) for indicator, run in runs.items()]


# Bytes each indicator must read and write per element, and as how many copies of one array.
FLOOR_BYTES = {"sma": 16, "ema": 16, "macd": 32, "atr": 32}


def floor_rows(case: Case) -> list[Contender]:
    """The memory floor: np.copyto of as many bytes as each indicator must read and write (SMA and
    EMA read 8 and write 8 bytes per element: one array copied; MACD reads 8 and writes 24, ATR
    reads 24 and writes 8: two arrays copied), into the outputs the out= rows write."""
    rows = []
    for indicator, size in FLOOR_BYTES.items():
        k = size // 16

        def prepare(pool: Pool, k=k):
            out = outputs(pool, k, case)
            return [(*(arranged(a, case) for a in (b.close, b.high)[:k]), *out)
                    for b in pool.bars]

        def run(*a, k=k):
            for src, dst in zip(a[:k], a[k:]):
                np.copyto(dst, src)
        rows.append(Contender(indicator, FLOOR, "numpy", prepare, run, None))
    return rows


def make_all(modules: dict) -> grid.Make:
    makers = [("brindlex_batch", batch_rows), ("brindlex", looped_rows), ("ta-lib", talib_rows),
              ("bottleneck", bottleneck_rows), ("polars", polars_rows),
              ("vectorbt", vectorbt_rows)]

    def make(case: Case) -> list[Contender]:
        found = [c for dist, maker in makers if dist in modules
                 for c in maker(modules[dist], case)]
        return found + floor_rows(case)
    return make


# ----------------------------------------------------------------------------------------------
# Targets and report


def cases(shapes) -> list[Case]:
    return [Case(s, n, layout) for s, n in shapes for layout in LAYOUTS]


# Against the careful loop, 1 thread, out= on both sides.
LOOP_TARGETS = {(500, 2520): {"sma": 2.0, "ema": 3.0, "macd": 2.5, "atr": 2.5},
                (50, 252): {"sma": 2.0, "ema": 2.5, "macd": 2.0, "atr": 2.5}}
FLOOR_TARGET = ((4000, 2520), 1.3)
THREAD_TARGETS = {(500, 2520): 1.8, (4000, 2520): 1.4}
BOTTLENECK_TARGET, RAGGED_TARGET = 1.5, 1.2


def verdict(parts: list[str], ok: bool) -> str:
    return ", ".join(parts) + (" — met" if ok else " — MISSED")


def _text(x: float | None) -> str:
    return report.ratio_text(x) if x else "-"


def ratio_line(label: str, xs: dict[str, float | None], met, wants: dict | None = None) -> str:
    """One target line: the ratio of every indicator (with its own target when `wants` has
    one), met when `met(indicator, ratio)` holds for all."""
    parts = [f"{INDICATORS[i]} {_text(x)}" + (f" (≥ {wants[i]}×)" if wants else "")
             for i, x in xs.items()]
    return f"- {label}: " + verdict(parts, all(x and met(i, x) for i, x in xs.items()))


def targets(res: grid.Results, all_cases: list[Case]) -> list[str]:
    lines = []
    r = lambda case, ind, a, b: grid.ratio(res, case, ind, a, b)  # noqa: E731
    each = lambda case, a, b: {ind: r(case, ind, a, b) for ind in INDICATORS}  # noqa: E731
    main = [c for c in all_cases if c not in NARROW]
    for case in main:
        shape = (case.series, case.length)
        if shape in LOOP_TARGETS:
            want = LOOP_TARGETS[shape]
            lines.append(ratio_line(f"against the careful loop, {case.label}",
                                    each(case, CAREFUL, OUT1), lambda i, x: x >= want[i], want))
        if shape == FLOOR_TARGET[0]:
            lines.append(ratio_line(
                f"out= within {FLOOR_TARGET[1]}× of the memory floor, {case.label}",
                each(case, OUT1, FLOOR), lambda i, x: x <= FLOOR_TARGET[1]))
    if ODD_COLUMNS in all_cases:
        lines.append(ratio_line(
            f"out= within {FLOOR_TARGET[1]}× of the memory floor, {ODD_COLUMNS.label} (rows no whole "
            "number of lines)", each(ODD_COLUMNS, OUT1, FLOOR), lambda i, x: x <= FLOOR_TARGET[1]))
    few = [c for c in all_cases if c in FEW]
    if few:
        parts, ok = [], True
        for case in few:
            floor_of = 1.0 if case.series < 4 else 1.5
            xs = [r(case, ind, CAREFUL, OUT1) for ind in INDICATORS]
            ok &= all(x and x >= floor_of for x in xs)
            parts.append(f"{case.series}: " + " ".join(_text(x) for x in xs))
        lines.append("- few series against the careful loop (SMA EMA MACD ATR; ≥ 1.0× from 1, "
                     "≥ 1.5× from 4 on): " + verdict(parts, ok))
    parts, ok = [], True
    for case in main:
        x = r(case, "sma", BOTTLENECK, ALLOC1)
        if x is not None:
            ok &= x >= BOTTLENECK_TARGET
            parts.append(f"{case.label} {_text(x)}")
    if parts:
        lines.append(f"- bottleneck's move_mean against SMA, both allocating (≥ "
                     f"{BOTTLENECK_TARGET}×; C order for rows and runs, Fortran for columns): "
                     + verdict(parts, ok))
    for case in main:
        want = THREAD_TARGETS.get((case.series, case.length))
        if want:
            lines.append(ratio_line(f"2 threads against 1 (≥ {want}×), {case.label}",
                                    each(case, OUT1, OUT2), lambda i, x, w=want: x >= w))
    equal, ragged = RAGGED_PAIR
    if equal in all_cases and ragged in all_cases:
        xs = {}
        for ind in INDICATORS:
            a, b = (grid.per_element(res, c, ind, OUT1) for c in (ragged, equal))
            xs[ind] = a / b if a and b else None
        lines.append(ratio_line(f"500 ragged runs of 100–5,000 against 500 equal runs, per "
                                f"element (≤ {RAGGED_TARGET}×)", xs,
                                lambda i, x: x <= RAGGED_TARGET))
    for case in main:
        if (case.series, case.length) == (16, 10**6):
            x = r(case, "atr", TALIB, ALLOC1)
            lines.append(f"- ATR against TA-Lib looped, {case.label}: {_text(x)} (≥ 1.5×) — "
                         + ("met" if x and x >= 1.5 else "MISSED"))
    misses = []
    for case in main:
        for ind in INDICATORS:
            for peer in (TALIB, BOTTLENECK, POLARS, VBT):
                x = r(case, ind, peer, ALLOC1)
                if x is not None and x < 1.0:
                    misses.append(f"{peer} {INDICATORS[ind]} at {case.label}: {_text(x)}")
    lines.append("- 1 thread, allocating, at least 1.0× every peer at every size: "
                 + ("met" if not misses else "MISSED: " + "; ".join(misses)))
    return lines


def groups(cs: list[Case]) -> list[tuple[str, list[Case]]]:
    found = [(layout, [c for c in cs if c.layout == layout and c not in NARROW])
             for layout in LAYOUTS]
    found += [("columns of no whole lines", [c for c in cs if c == ODD_COLUMNS]),
              ("few series, rows", [c for c in cs if c in FEW]),
              ("equal and ragged runs", [c for c in cs if c in RAGGED_PAIR])]
    return [(name, group) for name, group in found if group]


QUICK_CASES = [*cases(QUICK_SHAPES), ragged_pair(5, 10, 600)[1]]

BENCH = grid.Bench(
    name="batch", title="Many series in one call", doc=__doc__, libraries=LIBRARIES,
    rows=ROW_NAMES, row_library=ROW_LIBRARY, make=lambda modules, rng: make_all(modules),
    cases=[*cases(SHAPES), ODD_COLUMNS, *FEW, *RAGGED_PAIR], quick_cases=QUICK_CASES, rounds_for=rounds_for,
    targets=targets,
    note="ns per element: the median over the rounds (split into two separate runs), ± the "
         "interquartile range over the median, and in brackets the ratio to the memory floor "
         "measured at the same size in the same run (np.copyto of the bytes the indicator must "
         "read and write: SMA and EMA 16, MACD and ATR 32 per element). Each call runs on bars "
         "it did not run on just before. The out= rows, the careful loop and the floor write into "
         "the same outputs, allocated once; the allocating rows make theirs on every call, as the "
         "peers do. TA-Lib looped keeps a list of per-series results. polars runs over a long "
         "frame with a string ticker column and its default thread pool. vectorbt's numba "
         "compilation happens in untimed calls before the rounds. — : no such row for this case.",
    groups=groups, reference=LOOPED, seed=SEED, dotted=FLOOR,
    exact=lambda c: c.peer in ("brindlex_batch", "brindlex"), floor_row=FLOOR)

if __name__ == "__main__":
    sys.exit(BENCH.main())
