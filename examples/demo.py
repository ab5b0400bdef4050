"""Indicators of five stocks' daily bars (2015-2017), computed with brindlex.

Reads the bundled OHLCV file, runs SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14) over each ticker's
closes, and prints the latest values with a few facts read from them.
"""

from __future__ import annotations

import csv
import sys
from collections import defaultdict
from pathlib import Path

import numpy as np

import brindlex

DATA = Path(__file__).resolve().parent.parent / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"


def load_bars(path: Path) -> dict[str, dict[str, np.ndarray]]:
    columns: dict[str, dict[str, list]] = defaultdict(lambda: defaultdict(list))
    with path.open(newline="") as f:
        for row in csv.DictReader(f):
            bars = columns[row["ticker"]]
            bars["date"].append(row["date"])
            for name in ("high", "low", "close"):
                bars[name].append(float(row[name]))
    return {
        ticker: {name: np.asarray(values, dtype=np.float64 if name != "date" else object)
                 for name, values in bars.items()}
        for ticker, bars in columns.items()
    }


def indicators(bars: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    close = bars["close"]
    out = {name: np.empty_like(close) for name in ("sma", "ema", "macd", "signal", "hist", "atr")}
    brindlex.indicator_sma(20, close, out["sma"])
    brindlex.indicator_ema(20, close, out["ema"])
    brindlex.indicator_macd(12, 26, 9, close, out["macd"], out["signal"], out["hist"])
    brindlex.indicator_atr(14, bars["high"], bars["low"], close, out["atr"])
    return out


def crossings(hist: np.ndarray) -> int:
    """How often the MACD line crossed its signal line."""
    signs = np.sign(hist[~np.isnan(hist)])
    signs = signs[signs != 0]
    return int(np.count_nonzero(signs[1:] != signs[:-1]))


def main() -> int:
    series = load_bars(DATA)
    print(f"{len(series)} tickers from {DATA.name}\n")
    header = (f"{'ticker':<7}{'last day':<12}{'close':>9}{'SMA20':>9}{'EMA20':>9}"
              f"{'MACD':>8}{'signal':>8}{'ATR14':>8}{'ATR %':>7}{'crosses':>9}")
    print(header)
    print("-" * len(header))
    for ticker, bars in sorted(series.items()):
        out = indicators(bars)
        close = bars["close"][-1]
        atr = out["atr"][-1]
        print(f"{ticker:<7}{bars['date'][-1]:<12}{close:>9.2f}{out['sma'][-1]:>9.2f}"
              f"{out['ema'][-1]:>9.2f}{out['macd'][-1]:>8.2f}{out['signal'][-1]:>8.2f}"
              f"{atr:>8.2f}{100 * atr / close:>6.1f}%{crossings(out['hist']):>9}")
    print("\nMACD above its signal line means the short-term trend is pulling ahead;"
          " ATR % is the typical daily range as a share of the price.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
