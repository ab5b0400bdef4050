"""Many series in one call: brindlex_batch against brindlex and TA-Lib looped per series,
bottleneck's 2-D move_mean, polars over a long frame, vectorbt's 2-D indicators and a copy of the
bytes each indicator must move, in ns per element.

Usage: python bench/batch.py [--quick] [--out DIR] [--max-elements N] [--missing DIST=REASON ...]

Cases: 50 × 252, 500 × 2,520, 5,000 × 2,520 and 16 × 10^6 bars, laid out long (one column, each
series a run of rows, as a long frame sorted by ticker) and wide (dates × series). Every call runs
on bars it did not run on just before. vectorbt compiles its kernels with numba on first use:
the calibration calls, untimed, compile them before any round is timed.

--quick runs every contender once on small cases and checks that brindlex_batch equals brindlex
looped per series bit for bit (and the peers agree as in the peer benchmark); it times nothing,
writes nothing, and exits with status 1 on a failure.
"""

from __future__ import annotations

import sys

import numpy as np

from peerbench import grid, report
from peerbench.contenders import (INDICATORS, OUTPUTS, Contender, bottleneck_contenders,
                                  polars_contenders, polars_expressions,
                                  talib_contenders)
from peerbench.grid import Case
from peerbench.series import LONG, WIDE, Bars, Pool

SEED = 20_261_208
PERIODS = {"sma": (20,), "ema": (20,), "macd": (12, 26, 9), "atr": (14,)}
SHAPES = [(50, 252), (500, 2520), (5000, 2520), (16, 10**6)]
QUICK_SHAPES = [(7, 300), (3, 1000)]
# Distribution: module, for every library taking part.
LIBRARIES = {"brindlex": "brindlex", "brindlex_batch": "brindlex_batch", "ta-lib": "talib",
             "bottleneck": "bottleneck", "polars": "polars", "vectorbt": "vectorbt"}

LOOPED = "brindlex looped"
BATCH1, BATCH2, BATCH_OUT = ("brindlex_batch, 1 thread", "brindlex_batch, 2 threads",
                             "brindlex_batch, 1 thread, out=")
TALIB, BOTTLENECK, POLARS, VBT, FLOOR = ("TA-Lib looped", "bottleneck move_mean(axis=)",
                                         "polars .over(ticker)", "vectorbt 2-D",
                                         "copy of the bytes (floor)")
ROWS = [BATCH1, BATCH2, BATCH_OUT, LOOPED, TALIB, BOTTLENECK, POLARS, VBT, FLOOR]
ROW_LIBRARY = {BATCH1: "brindlex_batch", BATCH2: "brindlex_batch", BATCH_OUT: "brindlex_batch",
               LOOPED: "brindlex", TALIB: "ta-lib", BOTTLENECK: "bottleneck", POLARS: "polars",
               VBT: "vectorbt"}


def rounds_for(case: Case) -> int:
    return 15 if case.elements <= 10**5 else 7 if case.elements <= 2 * 10**6 else 5


def inputs(indicator: str, b: Bars) -> tuple:
    return (b.high, b.low, b.close) if indicator == "atr" else (b.close,)


def rows_of(a, case: Case) -> np.ndarray:
    """An output in the case's layout as series × length."""
    a = np.asarray(a, dtype=np.float64)
    return a.reshape(case.series, case.length) if case.layout == LONG else a.T


def _values(indicator: str, case: Case, convert=lambda part: part):
    def values(args, result) -> dict[str, np.ndarray]:
        parts = result if isinstance(result, (tuple, list)) and indicator == "macd" else (result,)
        return {name: rows_of(convert(part), case) for name, part in zip(OUTPUTS[indicator], parts)}
    return values


def _each(prepare):
    return lambda pool: [prepare(b) for b in pool.bars]


# ----------------------------------------------------------------------------------------------
# Contenders


def batch_rows(bb, case: Case) -> list[Contender]:
    layout = ({"lengths": np.full(case.series, case.length, dtype=np.int64)}
              if case.layout == LONG else {"axis": 0})
    rows = []
    for indicator in INDICATORS:
        f, p, outs = getattr(bb, indicator), PERIODS[indicator], len(OUTPUTS[indicator])
        for label, threads in ((BATCH1, 1), (BATCH2, 2)):
            rows.append(Contender(
                indicator, label, "brindlex_batch", _each(lambda b, i=indicator: inputs(i, b)),
                lambda *a, f=f, p=p, t=threads: f(*a, *p, threads=t, **layout),
                _values(indicator, case)))
        # Outputs allocated once and reused: what the copy floor is held against.
        def with_out(b, i=indicator, k=outs, shared={}):
            out = shared.setdefault("out", tuple(np.empty_like(b.close) for _ in range(k)))
            return (*inputs(i, b), out if k > 1 else out[0])
        rows.append(Contender(indicator, BATCH_OUT, "brindlex_batch", _each(with_out),
                              lambda *a, f=f, p=p: f(*a[:-1], *p, out=a[-1], **layout),
                              _values(indicator, case)))
    return rows


def looped_rows(bx, case: Case) -> list[Contender]:
    """brindlex per series, as users loop today: into one output column (long), or through a
    contiguous copy of each column (wide), brindlex taking contiguous arrays only."""
    s, n = case.series, case.length
    rows = []
    for indicator in INDICATORS:
        fn, p = getattr(bx, f"indicator_{indicator}"), PERIODS[indicator]
        k = len(OUTPUTS[indicator])
        if case.layout == LONG:
            def run(*arrays, fn=fn, p=p, k=k):
                outs = [np.empty_like(arrays[-1]) for _ in range(k)]
                for i in range(0, s * n, n):
                    fn(*p, *(a[i:i + n] for a in arrays), *(o[i:i + n] for o in outs))
                return tuple(outs) if k > 1 else outs[0]
        else:
            def run(*arrays, fn=fn, p=p, k=k):
                outs = [np.empty_like(arrays[-1]) for _ in range(k)]
                part = [np.empty(n) for _ in range(k)]
                for j in range(s):
                    fn(*p, *(np.ascontiguousarray(a[:, j]) for a in arrays), *part)
                    for o, q in zip(outs, part):
                        o[:, j] = q
                return tuple(outs) if k > 1 else outs[0]
        rows.append(Contender(indicator, LOOPED, "brindlex",
                              _each(lambda b, i=indicator: inputs(i, b)), run,
                              _values(indicator, case)))
    return rows


def talib_rows(talib, case: Case) -> list[Contender]:
    """TA-Lib per series; it takes the strided columns of a wide table as they are."""
    s, n = case.series, case.length
    checks = {c.indicator: c.checks for c in talib_contenders(talib)}
    rows = []
    for indicator in INDICATORS:
        fn, p = getattr(talib, indicator.upper()), PERIODS[indicator]
        if case.layout == LONG:
            def run(*arrays, fn=fn, p=p):
                return [fn(*(a[i:i + n] for a in arrays), *p) for i in range(0, s * n, n)]
        else:
            def run(*arrays, fn=fn, p=p):
                return [fn(*(a[:, j] for a in arrays), *p) for j in range(s)]

        def values(args, result, indicator=indicator):
            per_series = [r if isinstance(r, tuple) else (r,) for r in result]
            return {name: np.stack([r[o] for r in per_series])
                    for o, name in enumerate(OUTPUTS[indicator])}
        rows.append(Contender(indicator, TALIB, "ta-lib",
                              _each(lambda b, i=indicator: inputs(i, b)), run, values,
                              checks=checks[indicator]))
    return rows


def bottleneck_rows(bn, case: Case) -> list[Contender]:
    (peer,) = bottleneck_contenders(bn)
    move_mean = bn.move_mean
    if case.layout == LONG:
        shape = (case.series, case.length)
        run = lambda c: move_mean(c.reshape(shape), 20, axis=1)  # noqa: E731
    else:
        run = lambda c: move_mean(c, 20, axis=0)  # noqa: E731
    return [Contender("sma", BOTTLENECK, "bottleneck", _each(lambda b: (b.close,)), run,
                      _values("sma", case), checks=peer.checks)]


def polars_rows(pl, case: Case) -> list[Contender]:
    """polars' own expressions over a long frame with a ticker column, `.over("ticker")`."""
    if case.layout != LONG:
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
        return {name: rows_of(result.to_series(i).to_numpy(), case)
                for i, name in enumerate(OUTPUTS[indicator])}
    return values


def vectorbt_rows(vbt, case: Case) -> list[Contender]:
    """vectorbt's indicator classes on dates × series arrays; long columns are passed as a
    transposed view of series × length, without a copy."""
    if case.layout == LONG:
        shape = (case.series, case.length)
        view = lambda a: a.reshape(shape).T  # noqa: E731
    else:
        view = lambda a: a  # noqa: E731
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


def floor_rows(case: Case) -> list[Contender]:
    """A copy of as many bytes as each indicator must read and write: SMA and EMA read one array
    and write one (one array copied); MACD reads one and writes three, ATR reads three and
    writes one (two arrays copied). Into outputs allocated once, as the out= row."""
    copies = {"sma": 1, "ema": 1, "macd": 2, "atr": 2}
    rows = []
    for indicator, k in copies.items():
        def prepare(pool: Pool, k=k, shared={}):
            out = shared.setdefault("out", [np.empty_like(pool.bars[0].close) for _ in range(k)])
            return [(*(b.close, b.high)[:k], *out) for b in pool.bars]

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
    return [Case(s, n, layout) for s, n in shapes for layout in (LONG, WIDE)]


def targets(res: grid.Results, all_cases: list[Case]) -> list[str]:
    lines = []
    r = lambda case, ind, a, b: grid.ratio(res, case, ind, a, b)  # noqa: E731
    text = lambda x: report.ratio_text(x) if x else "-"  # noqa: E731
    for case in all_cases:
        if (case.series, case.length) != (500, 2520):
            continue
        parts, ok = [], True
        for ind, want in (("sma", 2.0), ("ema", 3.0), ("macd", 3.0), ("atr", 3.0)):
            x = r(case, ind, LOOPED, BATCH1)
            ok &= bool(x and x >= want)
            parts.append(f"{INDICATORS[ind]} {text(x)} (≥ {want:.0f}×)")
        lines.append(f"- 1 thread against brindlex looped, {case.label}: " + ", ".join(parts)
                     + (" — met" if ok else " — MISSED"))
    for case in all_cases:
        if (case.series, case.length) == (16, 10**6):
            x = r(case, "atr", TALIB, BATCH1)
            lines.append(f"- ATR against TA-Lib looped, {case.label}: {text(x)} (≥ 1.5×) — "
                         + ("met" if x and x >= 1.5 else "MISSED"))
    misses = []
    for case in all_cases:
        for ind in INDICATORS:
            for peer in (TALIB, BOTTLENECK, POLARS, VBT):
                x = r(case, ind, peer, BATCH1)
                if x is not None and x < 1.0:
                    misses.append(f"{peer} {INDICATORS[ind]} at {case.label}: {text(x)}")
    lines.append("- 1 thread at least 1.0× every peer at every size: "
                 + ("met" if not misses else "MISSED: " + "; ".join(misses)))
    for case in all_cases:
        if case.elements < 10**7:
            continue
        parts = [f"{INDICATORS[ind]} {text(r(case, ind, BATCH_OUT, FLOOR))}" for ind in INDICATORS]
        worst = [r(case, ind, BATCH_OUT, FLOOR) for ind in INDICATORS]
        ok = all(x is not None and x <= 1.5 for x in worst)
        lines.append(f"- out= within 1.5× of the copy floor, {case.label}: " + ", ".join(parts)
                     + (" — met" if ok else " — MISSED"))
    for case in all_cases:
        parts = [f"{INDICATORS[ind]} {text(r(case, ind, BATCH1, BATCH2))}" for ind in INDICATORS]
        in_cache = case.elements <= 2 * 10**6
        lines.append(f"- 2 threads against 1, {case.label}: " + ", ".join(parts)
                     + (" (target ≥ 1.8×, in cache)" if in_cache else " (beyond the caches)"))
    return lines


BENCH = grid.Bench(
    name="batch", title="Many series in one call", doc=__doc__, libraries=LIBRARIES, rows=ROWS,
    row_library=ROW_LIBRARY, make=lambda modules, rng: make_all(modules), cases=cases(SHAPES),
    quick_cases=cases(QUICK_SHAPES), rounds_for=rounds_for, targets=targets,
    note="ns per element (median over the rounds; each call on bars it did not run on just "
         "before). brindlex looped and brindlex_batch allocate their outputs on every call, as the "
         "peers do; the out= row and the floor write into outputs allocated once. TA-Lib looped "
         "keeps a list of per-series results. polars runs over a long frame with a string ticker "
         "column and its default thread pool. vectorbt's numba compilation happens in untimed "
         "calls before the rounds. The floor copies as many bytes as the indicator must read and "
         "write. — : no such row for this case.",
    groups=lambda cs: [(layout, [c for c in cs if c.layout == layout]) for layout in (LONG, WIDE)],
    reference=LOOPED, seed=SEED, dotted=FLOOR)

if __name__ == "__main__":
    sys.exit(BENCH.main())
