"""Indicators per ticker with pandas: one groupby, the results as new DataFrame columns.

    python examples/pandas_indicators.py [CSV]

brindlex writes into arrays that you allocate. Under pandas' copy-on-write (the only mode from
pandas 3 on) ``df[col].to_numpy()`` is a read-only view of the column, so it serves well as an
input but not as an output: ``indicator_sma(20, close, df["sma"].to_numpy())`` raises
``ValueError: Output array must be writeable``. The pattern that works, and copies nothing:

1. sort the rows by ticker and date, so that each ticker's bars are one contiguous run;
2. read each input column once with ``to_numpy(np.float64)``;
3. allocate each output column for the whole frame with ``np.empty``;
4. for each ticker, call brindlex on slices of those arrays (a slice of a contiguous array is
   contiguous, and a slice of the output is a writeable view of it);
5. attach the filled arrays as new columns with ``DataFrame.assign``.

A Series is not an ndarray: passing ``df["close"]`` itself raises ``TypeError: argument 'data':
'Series' object cannot be converted to 'PyArray<T, D>'``.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pandas as pd

import brindlex

DATA = Path(__file__).resolve().parent.parent / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"
INDICATOR_COLUMNS = ("sma20", "ema20", "macd", "macd_signal", "macd_hist", "atr14")


def load(path: Path = DATA) -> pd.DataFrame:
    return pd.read_csv(path, parse_dates=["date"])


def ticker_runs(frame: pd.DataFrame) -> list[tuple[int, int]]:
    """Start and stop row of each ticker's run, in a frame sorted by ticker."""
    positions = frame.groupby("ticker", sort=False).indices
    return [(int(rows[0]), int(rows[-1]) + 1) for rows in positions.values()]


def column(frame: pd.DataFrame, name: str) -> npt.NDArray[np.float64]:
    series: pd.Series[float] = frame[name]
    # No copy for a float64 column; ascontiguousarray copies only a strided view, should pandas
    # ever hand one out.
    return np.ascontiguousarray(series.to_numpy(), dtype=np.float64)


def add_indicators(frame: pd.DataFrame) -> pd.DataFrame:
    """A new frame, sorted by ticker and date, with SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14)
    of each ticker as new columns. The frame passed in is left as it was."""
    frame = frame.sort_values(["ticker", "date"], ignore_index=True)
    high, low, close = column(frame, "high"), column(frame, "low"), column(frame, "close")
    out = {name: np.empty(len(frame), dtype=np.float64) for name in INDICATOR_COLUMNS}
    for start, stop in ticker_runs(frame):
        bars = slice(start, stop)
        brindlex.indicator_sma(20, close[bars], out["sma20"][bars])
        brindlex.indicator_ema(20, close[bars], out["ema20"][bars])
        brindlex.indicator_macd(12, 26, 9, close[bars], out["macd"][bars],
                                out["macd_signal"][bars], out["macd_hist"][bars])
        brindlex.indicator_atr(14, high[bars], low[bars], close[bars], out["atr14"][bars])
    return frame.assign(**out)


def main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else DATA
    result = add_indicators(load(path))
    latest = result.groupby("ticker", sort=True).tail(1).set_index("ticker")
    print(f"{len(result)} bars of {len(latest)} tickers from {path.name}; the last bar of each:\n")
    with pd.option_context("display.width", 120, "display.precision", 2):
        print(latest[["date", "close", *INDICATOR_COLUMNS]].to_string())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
