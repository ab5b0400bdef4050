"""Inputs of every Python benchmark: random-walk bars for many series at once, and the real bars.

One generator serves them all. It draws any number of series of any length in one go, laid out
as the callers' users keep them: one long column with each series a run of consecutive rows (as a
long frame sorted by ticker and date holds them), or a wide table of dates × series. A pool of
such draws lets a benchmark run every call on bars it has not run on just before.
"""

from __future__ import annotations

import csv
import math
from collections import defaultdict
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path
from typing import Iterator

import numpy as np

REAL_BARS = Path(__file__).resolve().parents[2] / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"

# Elements per pool: far more than a branch predictor can learn, so no call runs on a pattern
# it has seen, yet small enough for a pool of short series to stay in the last-level cache.
POOL_ELEMENTS = 1 << 20
# Draws per pool at most: each needs its own pandas and polars objects, which take time to make.
POOL_SERIES = 4096

LONG, WIDE = "long", "wide"
# The layouts of the many-series benchmark, drawn as long (rows, runs) or wide (columns) bars:
# series × dates in C order, dates × series, and one long column of runs.
ROWS, COLUMNS, RUNS = "rows", "columns", "runs"

# Standard deviations of the move from the previous close to the open, and from open to close.
GAP, SESSION = 0.4, 0.3


@dataclass(frozen=True)
class Bars:
    """High, low and close of `series` series of `length` bars each.

    long: 1-D arrays, series after series (one series is simply a 1-D array);
    wide: 2-D arrays of length × series, one column per series, C order.
    """
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    series: int = 1
    layout: str = LONG

    def __len__(self) -> int:
        return len(self.close)

    @property
    def length(self) -> int:
        if self.layout == WIDE:
            return self.close.shape[0]
        return len(self.close) // max(self.series, 1)

    @property
    def elements(self) -> int:
        return self.close.size

    @property
    def lengths(self) -> np.ndarray:
        """The length of every run of a long column."""
        return np.full(self.series, self.length, dtype=np.int64)

    @property
    def keys(self) -> np.ndarray:
        """The series each row of a long column belongs to, as 0, 1, 2, ..."""
        return np.repeat(np.arange(self.series, dtype=np.int64), self.length)

    def each(self) -> Iterator[Bars]:
        """One Bars per series: views, contiguous for long columns, strided for wide tables."""
        for i in range(self.series):
            if self.layout == WIDE:
                part = (a[:, i] for a in (self.high, self.low, self.close))
            else:
                part = (a[i * self.length:(i + 1) * self.length]
                        for a in (self.high, self.low, self.close))
            yield Bars(*part)


def _reflect(walk: np.ndarray) -> np.ndarray:
    # Reflected at 50 and 150: still a random walk, but one that never wanders off to prices no
    # market shows, however long the series.
    return 150.0 - np.abs(np.mod(walk, 200.0) - 100.0)


def random_bars(length: int, rng: np.random.Generator, series: int = 1,
                layout: str = LONG) -> Bars:
    """`series` random walks of `length` bars, each bar opening with a gap from the previous
    close and spanning a range that varies at random from bar to bar.

    Each bar opens a random gap away from the previous close and moves on to its close, 0.5 a bar
    from close to close, the closes staying between 50 and 150; the high and low reach beyond
    both open and close by up to 0.1 % to 1.5 % of the price, drawn afresh for every bar. The
    previous close therefore falls inside some bars and above or below others: the range of the
    bar is the largest term of the true range on about two bars in three, a distance from the
    previous close on the rest, without a pattern, as on real bars. Every call draws new series.
    """
    shape = (series, length)
    start = rng.uniform(-100.0, 100.0, (series, 1))
    gaps = rng.normal(0.0, GAP, shape)
    steps = gaps + rng.normal(0.0, SESSION, shape)
    walk = start + np.cumsum(steps, axis=1)
    close = _reflect(walk)
    opening = _reflect(walk - steps + gaps)
    span = close * rng.uniform(0.001, 0.015, shape)
    high = np.maximum(opening, close) + span * rng.uniform(0.0, 1.0, shape)
    low = np.minimum(opening, close) - span * rng.uniform(0.0, 1.0, shape)
    if layout in (WIDE, COLUMNS):
        return Bars(*(np.ascontiguousarray(a.T) for a in (high, low, close)), series, WIDE)
    return Bars(*(a.reshape(-1) for a in (high, low, close)), series, LONG)


def pool_size(elements: int) -> int:
    """How many draws a pool holds: at least two, and about POOL_ELEMENTS elements in all."""
    return min(POOL_SERIES, max(2, math.ceil(POOL_ELEMENTS / max(elements, 1))))


class Pool:
    """Distinct draws of bars, used one after the other, with their pandas and polars forms."""

    def __init__(self, bars: list[Bars]):
        self.bars = bars
        self._forms: dict = {}

    def memo(self, key: str, make):
        """A form of the draws (frames, say) that several contenders share, made once."""
        if key not in self._forms:
            self._forms[key] = make()
        return self._forms[key]

    @classmethod
    def random(cls, length: int, rng: np.random.Generator, count: int | None = None,
               series: int = 1, layout: str = LONG) -> Pool:
        count = count or pool_size(length * series)
        if series == 1:
            # Single series: slices of one long draw, which is quicker than thousands of draws.
            return cls(list(random_bars(length, rng, count).each()))
        return cls([random_bars(length, rng, series, layout) for _ in range(count)])

    def __len__(self) -> int:
        return len(self.bars)

    @cached_property
    def pandas(self) -> list:
        import pandas as pd
        return [(pd.Series(b.high), pd.Series(b.low), pd.Series(b.close)) for b in self.bars]

    @cached_property
    def polars(self) -> list:
        import polars as pl
        return [pl.DataFrame({"high": b.high, "low": b.low, "close": b.close}) for b in self.bars]


def real_bars(path: Path = REAL_BARS) -> dict[str, Bars]:
    """The bundled daily bars, one Bars per ticker, in date order."""
    columns: dict[str, dict[str, list[float]]] = defaultdict(lambda: defaultdict(list))
    with path.open(newline="") as f:
        for row in csv.DictReader(f):
            bars = columns[row["ticker"]]
            for name in ("high", "low", "close"):
                bars[name].append(float(row[name]))
    return {ticker: Bars(*(np.asarray(c[name], dtype=np.float64)
                           for name in ("high", "low", "close")))
            for ticker, c in sorted(columns.items())}
