"""Indicators per ticker with pandas: one call per indicator, for every ticker at once.

    python examples/pandas_indicators.py [CSV]

``brindlex_batch.pandas`` takes a column and, with ``by=``, each row's ticker: every ticker's rows
are its bars in frame order, and all tickers are computed in one call of the kernels. The tickers
need not be adjacent: here the frame is sorted by date only, so they interleave, and their rows
are gathered, computed and put back. Each result is a new Series (MACD: a DataFrame of ``macd``,
``signal`` and ``hist``) on the frame's index, so it joins the frame as new columns; nothing of
the frame passed in is written, and the read-only arrays of copy-on-write are fine as inputs.
Positions without a value (each ticker's warm-up) hold NaN, pandas' missing value.
"""

from __future__ import annotations

import sys
from pathlib import Path

import pandas as pd

import brindlex_batch.pandas as bx

DATA = Path(__file__).resolve().parent.parent / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"
INDICATOR_COLUMNS = ("sma_20", "ema_20", "macd", "signal", "hist", "atr_14")


def load(path: Path = DATA) -> pd.DataFrame:
    return pd.read_csv(path, parse_dates=["date"])


def add_indicators(frame: pd.DataFrame) -> pd.DataFrame:
    """A new frame, in date order, with SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14) of each
    ticker as new columns. The frame passed in is left as it was."""
    frame = frame.sort_values("date", kind="stable", ignore_index=True)
    close, ticker = frame["close"], frame["ticker"]
    return pd.concat([
        frame,
        bx.sma(close, 20, by=ticker),
        bx.ema(close, 20, by=ticker),
        bx.macd(close, 12, 26, 9, by=ticker),
        bx.atr(frame["high"], frame["low"], close, 14, by=ticker),
    ], axis=1)


def main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else DATA
    result = add_indicators(load(path))
    latest = result.groupby("ticker").tail(1).set_index("ticker").sort_index()
    print(f"{len(result)} bars of {len(latest)} tickers from {path.name}; the last bar of each:\n")
    with pd.option_context("display.width", 120, "display.precision", 2):
        print(latest[["date", "close", *INDICATOR_COLUMNS]].to_string())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
