"""Every way of computing the four indicators that the benchmark compares, with what each computes.

A contender turns a pool of series into the arguments of its calls once (untimed: arrays for
brindlex, TA-Lib, tulipy, bottleneck and NumPy, Series or DataFrames for pandas and polars), then
is called once per series, exactly as a user of that library would call it.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

from .series import Pool

INDICATORS = {"sma": "SMA 20", "ema": "EMA 20", "macd": "MACD 12/26/9", "atr": "ATR 14"}
OUTPUTS = {"sma": ("sma",), "ema": ("ema",), "macd": ("macd", "signal", "hist"), "atr": ("atr",)}

# Distribution name and import name of every library taking part.
PEERS = {
    "brindlex": "brindlex",
    "ta-lib": "talib",
    "tulipy": "tulipy",
    "bottleneck": "bottleneck",
    "pandas": "pandas",
    "polars": "polars",
    "numpy": "numpy",
}


@dataclass(frozen=True)
class Check:
    """What the smoke pass demands of a peer's output on the real bars: the largest absolute
    difference from brindlex, from `after` bars past brindlex's first value on, at most `tol`
    times the series' highest close; `same_start` also demands the same first valued position."""
    tol: float
    after: int = 0
    same_start: bool = False


SAME = Check(1e-12, same_start=True)


@dataclass(frozen=True)
class Contender:
    indicator: str
    label: str
    peer: str
    prepare: Callable[[Pool], list[tuple]]
    run: Callable[..., Any]
    # (arguments, result) -> one float64 array per output, as long as the input.
    values: Callable[[tuple, Any], dict[str, np.ndarray]]
    definition: str = ""
    checks: dict[str, Check] = field(default_factory=dict)
    min_n: int = 1

    @property
    def key(self) -> tuple[str, str]:
        return (self.indicator, self.label)

    @property
    def is_brindlex(self) -> bool:
        return self.peer == "brindlex"


def load_peers(missing: dict[str, str], peers: dict[str, str] = PEERS,
               ) -> tuple[dict[str, Any], dict[str, str]]:
    """Imports every library of `peers` (distribution: module); returns the modules found and,
    for the others, why not."""
    modules, absent = {}, {}
    for dist, name in peers.items():
        if dist in missing:
            absent[dist] = missing[dist]
            continue
        try:
            modules[dist] = importlib.import_module(name)
        except ModuleNotFoundError as error:
            absent[dist] = ("not installed" if error.name == name.split(".")[0]
                            else f"import failed: {error}")
        except Exception as error:  # an import can fail in many ways; each is a reason to show
            absent[dist] = f"import failed: {type(error).__name__}: {error}"
    return modules, absent


def _pad(a, n: int) -> np.ndarray:
    """A result that leaves out the warm-up, aligned by its end to the input's positions."""
    a = np.asarray(a, dtype=np.float64)
    return np.concatenate([np.full(n - len(a), np.nan), a]) if len(a) < n else a


def _closes(pool: Pool) -> list[tuple]:
    return [(b.close,) for b in pool.bars]


def _bars(pool: Pool) -> list[tuple]:
    return [(b.high, b.low, b.close) for b in pool.bars]


Prepare = Callable[[Pool], list[tuple]]


def _with_outputs(count: int, inputs: Prepare) -> Prepare:
    """Arguments followed by output arrays made once per length and reused by every call."""
    def prepare(pool: Pool) -> list[tuple]:
        outputs: dict[int, tuple] = {}
        return [args + outputs.setdefault(len(args[-1]),
                                          tuple(np.empty(len(args[-1])) for _ in range(count)))
                for args in inputs(pool)]
    return prepare


def _result(*names: str, pad: bool = False) -> Callable[[tuple, Any], dict[str, np.ndarray]]:
    """Reads a result (an array, a tuple of arrays, a Series or a DataFrame) into named outputs."""
    def values(args: tuple, result: Any) -> dict[str, np.ndarray]:
        n = len(args[-1])
        parts = result if isinstance(result, tuple) else (
            [result.to_series(i) for i in range(result.width)] if hasattr(result, "width")
            else [result])
        out = {}
        for name, part in zip(names, parts):
            a = part.to_numpy() if hasattr(part, "to_numpy") else part
            out[name] = _pad(a, n) if pad else np.asarray(a, dtype=np.float64).copy()
        return out
    return values


def _in_outputs(*names: str) -> Callable[[tuple, Any], dict[str, np.ndarray]]:
    def values(args: tuple, result: Any) -> dict[str, np.ndarray]:
        return {name: a.copy() for name, a in zip(names, args[-len(names):])}
    return values


def brindlex_contenders(bx) -> list[Contender]:
    sma, ema, macd, atr = bx.indicator_sma, bx.indicator_ema, bx.indicator_macd, bx.indicator_atr
    empty_like = np.empty_like

    def sma_alloc(x):
        out = empty_like(x)
        sma(20, x, out)
        return out

    def ema_alloc(x):
        out = empty_like(x)
        ema(20, x, out)
        return out

    def macd_alloc(x):
        line, signal, hist = empty_like(x), empty_like(x), empty_like(x)
        macd(12, 26, 9, x, line, signal, hist)
        return line, signal, hist

    def atr_alloc(high, low, close):
        out = empty_like(close)
        atr(14, high, low, close, out)
        return out

    once, alloc = "brindlex (outputs reused)", "brindlex (allocates)"
    return [
        Contender("sma", once, "brindlex", _with_outputs(1, _closes), lambda x, o: sma(20, x, o),
                  _in_outputs("sma")),
        Contender("sma", alloc, "brindlex", _closes, sma_alloc, _result("sma")),
        Contender("ema", once, "brindlex", _with_outputs(1, _closes), lambda x, o: ema(20, x, o),
                  _in_outputs("ema")),
        Contender("ema", alloc, "brindlex", _closes, ema_alloc, _result("ema")),
        Contender("macd", once, "brindlex", _with_outputs(3, _closes),
                  lambda x, m, s, h: macd(12, 26, 9, x, m, s, h),
                  _in_outputs(*OUTPUTS["macd"])),
        Contender("macd", alloc, "brindlex", _closes, macd_alloc, _result(*OUTPUTS["macd"])),
        Contender("atr", once, "brindlex", _with_outputs(1, _bars),
                  lambda h, l, c, o: atr(14, h, l, c, o), _in_outputs("atr")),
        Contender("atr", alloc, "brindlex", _bars, atr_alloc, _result("atr")),
    ]


def talib_contenders(talib) -> list[Contender]:
    SMA, EMA, MACD, ATR = talib.SMA, talib.EMA, talib.MACD, talib.ATR
    converged = Check(1e-9, after=100)
    return [
        Contender("sma", "TA-Lib SMA", "ta-lib", _closes, lambda x: SMA(x, 20), _result("sma"),
                  "Same definition and warm-up; last-bit differences only.", {"sma": SAME}),
        Contender("ema", "TA-Lib EMA", "ta-lib", _closes, lambda x: EMA(x, 20), _result("ema"),
                  "Same definition: weight 2/21, seeded at position 19 by the mean of the first "
                  "20 values.", {"ema": SAME}),
        Contender("macd", "TA-Lib MACD", "ta-lib", _closes, lambda x: MACD(x, 12, 26, 9),
                  _result("macd", "signal", "hist"),
                  "MACD line: the same two averages, seeded at position 25, but shown only from "
                  "position 33, where the signal starts. Signal: seeded by the mean of the first "
                  "9 MACD values, not by the one MACD value at position 33; the gap shrinks by "
                  "0.8 a bar.",
                  {"macd": Check(1e-12), "signal": converged, "hist": converged}),
        Contender("atr", "TA-Lib ATR", "ta-lib", _bars, lambda h, l, c: ATR(h, l, c, 14),
                  _result("atr"),
                  "Same definition: the mean of the true ranges of bars 1-14 at position 14, then "
                  "smoothing by 1/14; last-bit differences only.", {"atr": SAME}),
    ]


def tulipy_contenders(ti) -> list[Contender]:
    sma, ema, macd, atr = ti.sma, ti.ema, ti.macd, ti.atr
    converged = Check(1e-9, after=300)
    return [
        Contender("sma", "tulipy sma", "tulipy", _closes, lambda x: sma(x, 20),
                  _result("sma", pad=True),
                  "Same definition; returns only the valued positions (aligned here by their "
                  "end).", {"sma": SAME}),
        Contender("ema", "tulipy ema", "tulipy", _closes, lambda x: ema(x, 20),
                  _result("ema", pad=True),
                  "Weight 2/21, but seeded by the first value instead of a mean: a value at every "
                  "position from 0; the gap shrinks by 19/21 a bar.", {"ema": converged}),
        Contender("macd", "tulipy macd", "tulipy", _closes, lambda x: macd(x, 12, 26, 9),
                  _result("macd", "signal", "hist", pad=True),
                  "Averages seeded by the first value; all three outputs start at position 25, "
                  "the signal seeded there by one MACD value. For periods 12 and 26 the averages "
                  "use weights 0.15 and 0.075 (measured) instead of 2/13 and 2/27, so its MACD "
                  "line stays apart from every other row's."),
        Contender("atr", "tulipy atr", "tulipy", _bars, lambda h, l, c: atr(h, l, c, 14),
                  _result("atr", pad=True),
                  "Bar 0 counts, with the range high - low: the seed is the mean of bars 0-13 and "
                  "the first value is at position 13; the gap shrinks by 13/14 a bar.",
                  {"atr": converged}),
    ]


def bottleneck_contenders(bn) -> list[Contender]:
    move_mean = bn.move_mean
    return [Contender("sma", "bottleneck move_mean", "bottleneck", _closes,
                      lambda x: move_mean(x, 20), _result("sma"),
                      "Same definition and warm-up.", {"sma": SAME})]


def pandas_contenders(pd) -> list[Contender]:
    concat = pd.concat

    def closes(pool: Pool) -> list[tuple]:
        return [(c,) for _, _, c in pool.pandas]

    def macd(c):
        line = c.ewm(span=12, adjust=False).mean() - c.ewm(span=26, adjust=False).mean()
        signal = line.ewm(span=9, adjust=False).mean()
        return line, signal, line - signal

    def atr(high, low, close):
        previous = close.shift(1)
        terms = [high - low, (high - previous).abs(), (low - previous).abs()]
        tr = concat(terms, axis=1).max(axis=1)
        return tr.ewm(alpha=1 / 14, adjust=False).mean()

    converged = Check(1e-9, after=300)
    return [
        Contender("sma", "pandas rolling", "pandas", closes, lambda c: c.rolling(20).mean(),
                  _result("sma"), "rolling(20).mean(): same definition and warm-up.",
                  {"sma": SAME}),
        Contender("ema", "pandas ewm", "pandas", closes,
                  lambda c: c.ewm(span=20, adjust=False).mean(), _result("ema"),
                  "ewm(span=20, adjust=False): weight 2/21, seeded by the first value, a value "
                  "from position 0. (The default adjust=True is a normalised weighted mean, not "
                  "this recursion.)", {"ema": converged}),
        Contender("macd", "pandas ewm", "pandas", closes, macd, _result("macd", "signal", "hist"),
                  "Three ewm(adjust=False) averages, each seeded by its first input: values from "
                  "position 0.", {name: converged for name in OUTPUTS["macd"]}),
        Contender("atr", "pandas ewm", "pandas", lambda pool: pool.pandas, atr, _result("atr"),
                  "True range as the NaN-skipping max of the three terms (bar 0: high - low), "
                  "then ewm(alpha=1/14, adjust=False), seeded by bar 0's range: values from "
                  "position 0.", {"atr": converged}),
    ]


def polars_expressions(pl) -> dict[str, tuple]:
    """polars' own expressions for the four indicators over columns high, low and close, one per
    output; `.over(key)` computes them group by group."""
    close, high, low = pl.col("close"), pl.col("high"), pl.col("low")
    line = close.ewm_mean(span=12, adjust=False) - close.ewm_mean(span=26, adjust=False)
    signal = line.ewm_mean(span=9, adjust=False)
    previous = close.shift(1)
    return {
        "sma": (close.rolling_mean(20).alias("sma"),),
        "ema": (close.ewm_mean(span=20, adjust=False).alias("ema"),),
        "macd": (line.alias("macd"), signal.alias("signal"), (line - signal).alias("hist")),
        "atr": (pl.max_horizontal(high - low, (high - previous).abs(), (low - previous).abs())
                .ewm_mean(alpha=1 / 14, adjust=False).alias("atr"),),
    }


def polars_contenders(pl) -> list[Contender]:
    exprs = polars_expressions(pl)
    macd_exprs, (atr_expr,) = exprs["macd"], exprs["atr"]

    def closes(pool: Pool) -> list[tuple]:
        return [(df.get_column("close"),) for df in pool.polars]

    def frames(pool: Pool) -> list[tuple]:
        return [(df,) for df in pool.polars]

    converged = Check(1e-9, after=300)
    return [
        Contender("sma", "polars rolling_mean", "polars", closes, lambda c: c.rolling_mean(20),
                  _result("sma"), "rolling_mean(20): same definition and warm-up (nulls before).",
                  {"sma": SAME}),
        Contender("ema", "polars ewm_mean", "polars", closes,
                  lambda c: c.ewm_mean(span=20, adjust=False), _result("ema"),
                  "ewm_mean(span=20, adjust=False): as pandas ewm, seeded by the first value.",
                  {"ema": converged}),
        Contender("macd", "polars ewm_mean", "polars", frames, lambda df: df.select(*macd_exprs),
                  _result("macd", "signal", "hist"),
                  "Three ewm_mean(adjust=False) expressions in one select, as pandas.",
                  {name: converged for name in OUTPUTS["macd"]}),
        Contender("atr", "polars ewm_mean", "polars", frames, lambda df: df.select(atr_expr),
                  _result("atr"), "max_horizontal of the three terms, then ewm_mean(alpha=1/14, "
                  "adjust=False), as pandas.", {"atr": converged}),
    ]


def numpy_contenders(np_) -> list[Contender]:
    cumsum, convolve, subtract, full, nan = (np_.cumsum, np_.convolve, np_.subtract, np_.full,
                                             np_.nan)
    weights = full(20, 1.0 / 20)

    def cumsum_sma(x, p=20):
        if len(x) < p:
            return full(len(x), nan)
        c = cumsum(x)
        out = np_.empty_like(x)
        out[:p - 1] = nan
        out[p - 1] = c[p - 1] / p
        subtract(c[p:], c[:-p], out=out[p:])
        out[p:] /= p
        return out

    return [
        Contender("sma", "NumPy cumsum", "numpy", _closes, cumsum_sma, _result("sma"),
                  "Difference of two running totals over 20: its rounding error grows with the "
                  "total, that is with the length and level of the series; a NaN spoils every "
                  "later value.", {"sma": Check(1e-9, same_start=True)}),
        Contender("sma", "NumPy convolve", "numpy", _closes,
                  lambda x: convolve(x, weights, "valid"), _result("sma", pad=True),
                  "convolve(x, 1/20 weights, 'valid'): each window summed afresh; returns the "
                  "n - 19 valued positions.", {"sma": SAME}, min_n=20),
    ]


def all_contenders(modules: dict[str, Any]) -> list[Contender]:
    makers = {
        "brindlex": brindlex_contenders, "ta-lib": talib_contenders, "tulipy": tulipy_contenders,
        "bottleneck": bottleneck_contenders, "pandas": pandas_contenders,
        "polars": polars_contenders, "numpy": numpy_contenders,
    }
    found = [c for dist, make in makers.items() if dist in modules for c in make(modules[dist])]
    order = list(INDICATORS)
    return sorted(found, key=lambda c: order.index(c.indicator))  # stable: library order kept
