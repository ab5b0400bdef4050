"""DataFrames: every ticker in one expression. brindlex_batch's polars and pandas fronts against
polars-talib, polars' and pandas' own group-wise indicators, TA-Lib and brindlex looped per ticker,
and brindlex_batch on the bare arrays, in ns per element, on long frames sorted by ticker, in date
order (a panel appended day by day) and shuffled.

Usage: python bench/frames.py [--quick] [--out DIR] [--max-elements N] [--missing DIST=REASON ...]

A long frame has a string ticker column and high, low and close. Sorted: each ticker's rows
are one run, in time order. Shuffled: the tickers' rows interleave at random, each ticker's rows
still in time order. Every call runs on a frame it did not run on just before.

--quick runs every contender once on small frames and checks that the fronts and brindlex_batch
equal brindlex looped per ticker bit for bit (the peers as in the peer benchmark); it times
nothing, writes nothing, and exits with status 1 on a failure.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass

import numpy as np

from peerbench import grid, report
from peerbench.contenders import (INDICATORS, OUTPUTS, Contender, pandas_contenders,
                                  polars_contenders, polars_expressions, talib_contenders)
from peerbench.grid import Case
from peerbench.series import Bars, Pool

SEED = 20_261_214
PERIODS = {"sma": (20,), "ema": (20,), "macd": (12, 26, 9), "atr": (14,)}
SHAPES = [(50, 252), (500, 2520), (5000, 2520)]
QUICK_SHAPES = [(7, 300)]
ORDERS = ("sorted", "date", "shuffled")
UNSORTED = ("date", "shuffled")
LIBRARIES = {"brindlex": "brindlex", "brindlex_batch": "brindlex_batch",
             "brindlex_batch.polars": "brindlex_batch.polars",
             "brindlex_batch.pandas": "brindlex_batch.pandas", "polars": "polars",
             "pandas": "pandas", "polars-talib": "polars_talib", "ta-lib": "talib"}

POLARS_FRONT, POLARS_CODES, POLARS_OVER, PANDAS_FRONT, BARE = (
                                                 "brindlex_batch.polars, .bx(by=)",
                                                 "brindlex_batch.polars, .bx(by=) on codes made once",
                                                 "brindlex_batch.polars, .bx().over(ticker)",
                                                 "brindlex_batch.pandas(by=)",
                                                 "brindlex_batch on the bare arrays (lengths=)")
PLTA, POLARS, PANDAS, PANDAS_GROUPBY, TALIB, LOOPED = (
    "polars-talib .over(ticker)", "polars own .over(ticker)", "pandas groupby-transform",
    "pandas groupby().rolling/ewm().mean()", "TA-Lib looped per ticker", "brindlex looped per ticker")
ROWS = [POLARS_FRONT, POLARS_CODES, POLARS_OVER, PANDAS_FRONT, BARE, PLTA, POLARS, PANDAS, PANDAS_GROUPBY, TALIB,
        LOOPED]
ROW_LIBRARY = {POLARS_FRONT: "brindlex_batch.polars", POLARS_CODES: "brindlex_batch.polars",
               POLARS_OVER: "brindlex_batch.polars",
               PANDAS_FRONT: "brindlex_batch.pandas", BARE: "brindlex_batch", PLTA: "polars-talib",
               POLARS: "polars", PANDAS: "pandas", PANDAS_GROUPBY: "pandas", TALIB: "ta-lib",
               LOOPED: "brindlex"}


def rounds_for(case: Case) -> int:
    # Beyond 2·10^6 elements pandas and the per-ticker loops take seconds a call: 3 rounds.
    return 15 if case.elements <= 10**5 else 7 if case.elements <= 2 * 10**6 else 3


@dataclass
class Frame:
    """One long frame in every form the contenders take; `rows` puts its rows back in ticker
    then time order (frame[rows] is the sorted frame)."""
    polars: object
    pandas: object
    rows: np.ndarray
    bars: Bars


def frame(b: Bars, order: str, rng: np.random.Generator, pl, pd) -> Frame:
    tickers = np.char.add("T", np.arange(b.series).astype(str))
    keys = np.repeat(tickers, b.length)
    columns = {"high": b.high, "low": b.low, "close": b.close}
    rows = np.arange(len(keys))
    if order == "shuffled":
        # Random positions for the rows of every ticker, each ticker's rows kept in time order.
        shuffled = keys[rng.permutation(len(keys))]
        rows = np.argsort(shuffled, kind="stable")
        keys = shuffled
    elif order == "date":
        # Every ticker's bar of the first day, then of the second, and so on.
        rows = rows.reshape(b.length, b.series).T.ravel()
        keys = np.tile(tickers, b.length)
    columns = {name: _scatter(a, rows) for name, a in columns.items()}
    data = {"ticker": keys, **columns}
    # The tickers numbered once, as a user who computes several indicators groups once: the
    # polars frame's "code" column.
    codes = np.unique(keys, return_inverse=True)[1].astype(np.uint32)
    return Frame(pl.DataFrame({**data, "code": codes}) if pl else None, pd.DataFrame(data) if pd else None,
                 rows, b)


def _scatter(a: np.ndarray, rows: np.ndarray) -> np.ndarray:
    out = np.empty_like(a)
    out[rows] = a
    return out


def forms(case: Case, modules: dict, rng: np.random.Generator):
    pl, pd = modules.get("polars"), modules.get("pandas")

    def prepare(pool: Pool) -> list[tuple]:
        return pool.memo("frames", lambda: [(frame(b, case.order, rng, pl, pd),)
                                            for b in pool.bars])
    return prepare


def _values(indicator: str, case: Case, parts_of):
    """Outputs in frame order, put back in ticker order as series × length."""
    def values(args, result) -> dict[str, np.ndarray]:
        f: Frame = args[0]
        return {name: np.asarray(part, dtype=np.float64)[f.rows].reshape(case.series, case.length)
                for name, part in zip(OUTPUTS[indicator], parts_of(result))}
    return values


def _columns(result) -> list:
    """Every column of a polars or pandas result (structs unnested), or a Series, as arrays."""
    if hasattr(result, "unnest") and any(str(d).startswith("Struct") for d in result.dtypes):
        result = result.unnest(result.columns)
    if hasattr(result, "get_columns"):
        return [s.to_numpy() for s in result.get_columns()]
    if hasattr(result, "columns"):
        return [result[c].to_numpy() for c in result.columns]
    if isinstance(result, (tuple, list)):
        return [np.asarray(r) for r in result]
    return [result.to_numpy() if hasattr(result, "to_numpy") else result]


def _row(indicator, label, peer, case, modules, rng, run, checks=None) -> Contender:
    return Contender(indicator, label, peer, forms(case, modules, rng), run,
                     _values(indicator, case, _columns), checks=checks or {})


# ----------------------------------------------------------------------------------------------
# Contenders


def polars_front_rows(modules, case, rng) -> list[Contender]:
    """The polars front both ways a user writes it: grouping inside the call (`by=`), and polars'
    own `.over()`, which calls the expression once per ticker; and `by=` on integer codes made
    once, which spares every indicator after the first the grouping of the string keys."""
    pl, front = modules["polars"], modules["brindlex_batch.polars"]
    close = pl.col("close")

    def exprs(by):
        return {"sma": close.bx.sma(20, by=by), "ema": close.bx.ema(20, by=by),
                "macd": close.bx.macd(12, 26, 9, by=by),
                "atr": front.atr("high", "low", "close", 14, by=by)}
    return ([_row(ind, POLARS_FRONT, "brindlex_batch", case, modules, rng,
                  lambda f, e=e: f.polars.select(e)) for ind, e in exprs("ticker").items()]
            + [_row(ind, POLARS_CODES, "brindlex_batch", case, modules, rng,
                    lambda f, e=e: f.polars.select(e)) for ind, e in exprs("code").items()]
            + [_row(ind, POLARS_OVER, "brindlex_batch", case, modules, rng,
                    lambda f, e=e.over("ticker"): f.polars.select(e))
               for ind, e in exprs(None).items()])


def pandas_front_rows(modules, case, rng) -> list[Contender]:
    front = modules["brindlex_batch.pandas"]
    runs = {
        "sma": lambda f: front.sma(f.pandas["close"], 20, by=f.pandas["ticker"]),
        "ema": lambda f: front.ema(f.pandas["close"], 20, by=f.pandas["ticker"]),
        "macd": lambda f: front.macd(f.pandas["close"], 12, 26, 9, by=f.pandas["ticker"]),
        "atr": lambda f: front.atr(f.pandas["high"], f.pandas["low"], f.pandas["close"], 14,
                                   by=f.pandas["ticker"]),
    }
    return [_row(ind, PANDAS_FRONT, "brindlex_batch", case, modules, rng, run)
            for ind, run in runs.items()]


def bare_rows(modules, case, rng) -> list[Contender]:
    """brindlex_batch on the frame's own NumPy arrays, sorted frames only: the front's floor."""
    if case.order != "sorted":
        return []
    bb = modules["brindlex_batch"]
    lengths = np.full(case.series, case.length, dtype=np.int64)
    rows = []
    for ind in INDICATORS:
        fn, p = getattr(bb, ind), PERIODS[ind]
        fields = ("high", "low", "close") if ind == "atr" else ("close",)

        def prepare(pool: Pool, fields=fields) -> list[tuple]:
            return [(*(getattr(f.bars, name) for name in fields),)
                    for (f,) in forms(case, modules, rng)(pool)]

        def values(args, result, ind=ind):
            parts = result if ind == "macd" else (result,)
            return {name: np.asarray(part).reshape(case.series, case.length)
                    for name, part in zip(OUTPUTS[ind], parts)}
        rows.append(Contender(ind, BARE, "brindlex_batch", prepare,
                              lambda *a, fn=fn, p=p: fn(*a, *p, lengths=lengths), values))
    return rows


def polars_talib_rows(modules, case, rng) -> list[Contender]:
    pl, plta, talib = modules["polars"], modules["polars-talib"], modules.get("ta-lib")
    close = pl.col("close")
    exprs = {"sma": close.ta.sma(20), "ema": close.ta.ema(20), "macd": close.ta.macd(12, 26, 9),
             "atr": plta.atr(pl.col("high"), pl.col("low"), close, 14)}
    checks = {c.indicator: c.checks for c in talib_contenders(talib)} if talib else {}
    return [_row(ind, PLTA, "polars-talib", case, modules, rng,
                 lambda f, e=e.over("ticker"): f.polars.select(e), checks.get(ind))
            for ind, e in exprs.items()]


def polars_rows(modules, case, rng) -> list[Contender]:
    pl = modules["polars"]
    checks = {c.indicator: c.checks for c in polars_contenders(pl)}
    return [_row(ind, POLARS, "polars", case, modules, rng,
                 lambda f, over=tuple(e.over("ticker") for e in exprs): f.polars.select(over),
                 checks[ind]) for ind, exprs in polars_expressions(pl).items()]


def pandas_rows(modules, case, rng) -> list[Contender]:
    """pandas' own rolling and ewm per ticker through groupby-transform (SMA and EMA: MACD and
    ATR have several inputs or outputs, which transform does not take in one call)."""
    pd = modules["pandas"]
    checks = {c.indicator: c.checks for c in pandas_contenders(pd)}
    runs = {
        "sma": lambda f: f.pandas.groupby("ticker", sort=False)["close"].transform(
            lambda x: x.rolling(20).mean()),
        "ema": lambda f: f.pandas.groupby("ticker", sort=False)["close"].transform(
            lambda x: x.ewm(span=20, adjust=False).mean()),
    }
    return [_row(ind, PANDAS, "pandas", case, modules, rng, run, checks[ind])
            for ind, run in runs.items()]


def pandas_groupby_rows(modules, case, rng) -> list[Contender]:
    """pandas' group-wise windows called directly, its fastest idiom: the result comes in group
    order under a (ticker, row) index, and is put back in frame order outside the timing."""
    pd = modules["pandas"]
    checks = {c.indicator: c.checks for c in pandas_contenders(pd)}
    runs = {
        "sma": lambda f: f.pandas.groupby("ticker", sort=False)["close"].rolling(20).mean(),
        "ema": lambda f: f.pandas.groupby("ticker", sort=False)["close"].ewm(
            span=20, adjust=False).mean(),
    }

    def in_frame_order(result) -> list:
        return [result.droplevel(0).sort_index().to_numpy()]
    return [Contender(ind, PANDAS_GROUPBY, "pandas", forms(case, modules, rng), run,
                      _values(ind, case, in_frame_order), checks=checks[ind])
            for ind, run in runs.items()]


def looped_rows(modules, case, rng, dist: str) -> list[Contender]:
    """One call per ticker, as users loop today: the frame's groups from pandas, each ticker's
    rows gathered, computed, and written back to their places in one output column."""
    lib = modules[dist]
    rows = []
    checks = {c.indicator: c.checks for c in talib_contenders(lib)} if dist == "ta-lib" else {}
    for ind in INDICATORS:
        p, k = PERIODS[ind], len(OUTPUTS[ind])
        fields = ("high", "low", "close") if ind == "atr" else ("close",)
        if dist == "ta-lib":
            fn = getattr(lib, ind.upper())
            call = lambda arrays, fn=fn, p=p, k=k: (  # noqa: E731
                (lambda r: r if k > 1 else (r,))(fn(*arrays, *p)))
        else:
            fn = getattr(lib, f"indicator_{ind}")

            def call(arrays, fn=fn, p=p, k=k):
                outs = tuple(np.empty(len(arrays[0])) for _ in range(k))
                fn(*p, *arrays, *outs)
                return outs

        def run(f: Frame, call=call, fields=fields, k=k):
            columns = [f.pandas[name].to_numpy() for name in fields]
            outs = [np.empty(len(columns[0])) for _ in range(k)]
            for idx in f.pandas.groupby("ticker", sort=False).indices.values():
                for o, r in zip(outs, call([c[idx] for c in columns])):
                    o[idx] = r
            return outs
        rows.append(_row(ind, TALIB if dist == "ta-lib" else LOOPED, dist, case, modules, rng,
                         run, checks.get(ind)))
    return rows


def make_all(modules: dict, rng: np.random.Generator) -> grid.Make:
    makers = [
        (("polars", "brindlex_batch.polars"), polars_front_rows),
        (("pandas", "brindlex_batch.pandas"), pandas_front_rows),
        (("brindlex_batch",), bare_rows),
        (("polars", "polars-talib"), polars_talib_rows),
        (("polars",), polars_rows),
        (("pandas",), pandas_rows),
        (("pandas",), pandas_groupby_rows),
        (("pandas", "ta-lib"), lambda m, c, r: looped_rows(m, c, r, "ta-lib")),
        (("pandas", "brindlex"), lambda m, c, r: looped_rows(m, c, r, "brindlex")),
    ]

    def make(case: Case) -> list[Contender]:
        return [c for needs, maker in makers if all(d in modules for d in needs)
                for c in maker(modules, case, rng)]
    return make


# ----------------------------------------------------------------------------------------------
# Targets and report


def cases(shapes) -> list[Case]:
    # Date order on the largest frame would add minutes of pandas and per-ticker loops that the
    # shuffled frame of that size already shows.
    return [Case(s, n, order=order) for s, n in shapes for order in ORDERS
            if order != "date" or s * n <= 2 * 10**6]


def targets(res: grid.Results, all_cases: list[Case]) -> list[str]:
    text = lambda x: report.ratio_text(x) if x else "-"  # noqa: E731
    lines = []
    sorted_cases = [c for c in all_cases if c.order == "sorted"]

    def check(title, pairs, want, at_least=True):
        parts, ok = [], True
        for case, ind, x in pairs:
            parts.append(f"{INDICATORS[ind]} at {case.shape} {text(x)}")
            ok &= x is not None and (x >= want if at_least else x <= want)
        if parts:
            lines.append(f"- {title}: " + ", ".join(parts) + (" — met" if ok else " — MISSED"))
    at = {shape: [c for c in all_cases if (c.series, c.length) == shape] for shape in ((500, 2520), (50, 252))}
    big_sorted = [c for c in at[(500, 2520)] if c.order == "sorted"]
    big_unsorted = [c for c in at[(500, 2520)] if c.order in UNSORTED]
    against = lambda cs, inds, slow, fast: [(c, i, grid.ratio(res, c, i, slow, fast))  # noqa: E731
                                            for c in cs for i in inds]
    check("polars by= at least 10× polars-talib .over, sorted (SMA, EMA, ATR)",
          against(big_sorted, ("sma", "ema", "atr"), PLTA, POLARS_FRONT), 10)
    check("polars by= at least 5× polars-talib .over, sorted (MACD)",
          against(big_sorted, ("macd",), PLTA, POLARS_FRONT), 5)
    check("polars by= at least 3× polars-talib .over, date order and shuffled",
          against(big_unsorted, INDICATORS, PLTA, POLARS_FRONT), 3)
    check("polars by= at least 2× polars-talib .over, 50 × 252",
          against(at[(50, 252)], INDICATORS, PLTA, POLARS_FRONT), 2)
    check("polars .bx().over() at least as fast as polars-talib .over",
          against(at[(500, 2520)] + at[(50, 252)], INDICATORS, PLTA, POLARS_OVER), 1)
    check("polars front within 1.5× of brindlex_batch on the bare arrays, sorted",
          against(big_sorted, INDICATORS, POLARS_FRONT, BARE), 1.5, at_least=False)
    check("pandas front at least 3× pandas' own groupby windows",
          against(at[(500, 2520)] + at[(50, 252)], ("sma", "ema"), PANDAS_GROUPBY, PANDAS_FRONT), 3)
    for row in (POLARS_FRONT, PANDAS_FRONT):
        for order in UNSORTED:
            pairs = []
            for c in sorted_cases:
                unsorted = Case(c.series, c.length, c.layout, order)
                if unsorted not in all_cases:
                    continue
                for i in INDICATORS:
                    a, b = (grid.per_element(res, x, i, row) for x in (unsorted, c))
                    pairs.append((c, i, a / b if a and b else None))
            check(f"{row}: {order} order within 1.5× of sorted", pairs, 1.5, at_least=False)
    return lines


BENCH = grid.Bench(
    name="frames", title="DataFrames", doc=__doc__, libraries=LIBRARIES, rows=ROWS,
    row_library=ROW_LIBRARY, make=make_all, cases=cases(SHAPES), quick_cases=cases(QUICK_SHAPES),
    rounds_for=rounds_for, targets=targets,
    note="ns per element (median over the rounds), long frames with a string ticker column; each "
         "call on a frame it did not run on just before. Every row returns what its library "
         "returns (a frame, a Series or arrays). The looped rows take the ticker groups from "
         "pandas and write each ticker's result back to its rows. The bare-array row runs on "
         "sorted frames only, with the lengths known. polars runs with its default thread pool. "
         "— : no such row (pandas' transform takes one input and gives one output).",
    groups=lambda cs: [(order, [c for c in cs if c.order == order]) for order in ORDERS],
    reference=LOOPED, seed=SEED)

if __name__ == "__main__":
    sys.exit(BENCH.main())
