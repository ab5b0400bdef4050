"""Indicators per ticker with polars: ``map_batches`` over each ticker's window, no pandas.

    python examples/polars_indicators.py [CSV]

Each indicator is a polars expression: ``map_batches`` hands a function one ticker's column at a
time (``.over("ticker")``), the function calls brindlex on the column's values as a NumPy array
and returns a new Series. ATR reads three columns, so they travel together as a struct; MACD
writes three, so it returns a struct that is unnested into three columns. brindlex marks the
positions without a value (the warm-up) with NaN; here they become nulls, polars' own marker for
a missing value, so that ``drop_nulls``, ``mean`` and the like skip them.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from pathlib import Path

import numpy as np
import numpy.typing as npt
import polars as pl

import brindlex

DATA = Path(__file__).resolve().parent.parent / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"
INDICATOR_COLUMNS = ("sma20", "ema20", "macd", "macd_signal", "macd_hist", "atr14")

Vector = npt.NDArray[np.float64]


def values(series: pl.Series) -> Vector:
    """The series as a contiguous float64 array (no copy when polars already holds one chunk)."""
    return np.ascontiguousarray(series.to_numpy(), dtype=np.float64)


def to_series(name: str, array: Vector) -> pl.Series:
    return pl.Series(name, array, dtype=pl.Float64, nan_to_null=True)


def moving_average(kernel: Callable[[int, Vector, Vector], None], period: int) -> pl.Expr:
    def compute(close: pl.Series) -> pl.Series:
        data = values(close)
        output = np.empty_like(data)
        kernel(period, data, output)
        return to_series(close.name, output)

    return pl.col("close").map_batches(compute, return_dtype=pl.Float64)


MACD_FIELDS = {"macd": pl.Float64, "macd_signal": pl.Float64, "macd_hist": pl.Float64}


def macd(fast: int, slow: int, signal: int) -> pl.Expr:
    def compute(close: pl.Series) -> pl.Series:
        data = values(close)
        lines = {name: np.empty_like(data) for name in MACD_FIELDS}
        brindlex.indicator_macd(fast, slow, signal, data, *lines.values())
        return pl.struct([to_series(name, line) for name, line in lines.items()], eager=True)

    return pl.col("close").map_batches(compute, return_dtype=pl.Struct(MACD_FIELDS))


def atr(period: int) -> pl.Expr:
    def compute(bars: pl.Series) -> pl.Series:
        high, low, close = (values(bars.struct.field(name)) for name in ("high", "low", "close"))
        output = np.empty_like(close)
        brindlex.indicator_atr(period, high, low, close, output)
        return to_series("atr", output)

    return pl.struct("high", "low", "close").map_batches(compute, return_dtype=pl.Float64)


def add_indicators(frame: pl.DataFrame) -> pl.DataFrame:
    """The frame sorted by ticker and date, with SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14)
    of each ticker as new columns."""
    return (
        frame.sort("ticker", "date")
        .with_columns(
            moving_average(brindlex.indicator_sma, 20).over("ticker").alias("sma20"),
            moving_average(brindlex.indicator_ema, 20).over("ticker").alias("ema20"),
            macd(12, 26, 9).over("ticker").alias("macd_lines"),
            atr(14).over("ticker").alias("atr14"),
        )
        .unnest("macd_lines")
    )


def load(path: Path = DATA) -> pl.DataFrame:
    return pl.read_csv(path, try_parse_dates=True)


def main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else DATA
    result = add_indicators(load(path))
    latest = result.group_by("ticker", maintain_order=True).last()
    print(f"{result.height} bars of {latest.height} tickers from {path.name};"
          " the last bar of each:\n")
    with pl.Config(tbl_rows=-1, tbl_cols=-1, tbl_width_chars=120, float_precision=2,
                   tbl_hide_dataframe_shape=True, tbl_hide_column_data_types=True):
        print(latest.select("ticker", "date", "close", *INDICATOR_COLUMNS))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
