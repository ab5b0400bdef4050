"""Inputs of the peer benchmark: pools of distinct random-walk bars, and the bundled real bars."""

from __future__ import annotations

import csv
import math
from collections import defaultdict
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path

import numpy as np

REAL_BARS = Path(__file__).resolve().parents[2] / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"

# Elements per pool: far more than a branch predictor can learn, so no call runs on a pattern
# it has seen, yet small enough for a pool of short series to stay in the last-level cache.
POOL_ELEMENTS = 1 << 20
# Series per pool at most: each needs its own pandas and polars objects, which take time to make.
POOL_SERIES = 4096


@dataclass(frozen=True)
class Bars:
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray

    def __len__(self) -> int:
        return len(self.close)


def random_bars(n: int, rng: np.random.Generator) -> Bars:
    """A random walk of closes kept between 50 and 150, with bars whose range varies at random.

    The range is 0.2 % to 3 % of the close and the close lies anywhere inside it, while the walk
    moves 0.5 per bar on average: which of the three terms of the true range is largest changes
    from bar to bar without a pattern.
    """
    walk = np.cumsum(rng.normal(0.0, 0.5, n))
    # Reflected at 50 and 150: still a random walk, but one that never wanders off to prices
    # no market shows, however long the series.
    close = 150.0 - np.abs(np.mod(walk, 200.0) - 100.0)
    span = close * rng.uniform(0.002, 0.03, n)
    high = close + span * rng.uniform(0.0, 1.0, n)
    low = high - span
    return Bars(high, low, close)


class Pool:
    """Distinct series used one after the other, with their pandas and polars forms."""

    def __init__(self, bars: list[Bars]):
        self.bars = bars

    @classmethod
    def random(cls, n: int, rng: np.random.Generator, count: int | None = None) -> Pool:
        count = count or min(POOL_SERIES, max(2, math.ceil(POOL_ELEMENTS / n)))
        whole = random_bars(n * count, rng)
        # Non-overlapping slices of one long walk: contiguous, and no two alike.
        return cls([Bars(*(a[i * n:(i + 1) * n] for a in (whole.high, whole.low, whole.close)))
                    for i in range(count)])

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
