"""Indicators of five stocks' daily bars (2015-2017), computed with brindlex, and a chart of one.

    python examples/demo.py [--ticker AAPL] [--bars 130] [--chart PATH | --no-chart]

Reads the bundled OHLCV file, runs SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14) over each
ticker's bars and prints the latest values with a few facts read from them. Then it draws the
last bars of one ticker as a PNG (matplotlib, no display needed): candlesticks with SMA and EMA,
a MACD panel with its signal line and histogram, and an ATR panel, and prints the file's path.
"""

from __future__ import annotations

import argparse
import csv
import sys
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

import brindlex

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"
CHART = ROOT / "build" / "demo" / "demo-chart.png"

Vector = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Bars:
    dates: list[str]
    open: Vector
    high: Vector
    low: Vector
    close: Vector


@dataclass(frozen=True)
class Indicators:
    sma: Vector
    ema: Vector
    macd: Vector
    signal: Vector
    hist: Vector
    atr: Vector


def load_bars(path: Path = DATA) -> dict[str, Bars]:
    dates: dict[str, list[str]] = defaultdict(list)
    prices: dict[str, dict[str, list[float]]] = defaultdict(lambda: defaultdict(list))
    with path.open(newline="") as f:
        for row in csv.DictReader(f):
            ticker = row["ticker"]
            dates[ticker].append(row["date"])
            for name in ("open", "high", "low", "close"):
                prices[ticker][name].append(float(row[name]))
    return {
        ticker: Bars(dates[ticker], *(np.array(prices[ticker][name], dtype=np.float64)
                                      for name in ("open", "high", "low", "close")))
        for ticker in dates
    }


def indicators(bars: Bars) -> Indicators:
    out = Indicators(*(np.empty_like(bars.close) for _ in range(6)))
    brindlex.indicator_sma(20, bars.close, out.sma)
    brindlex.indicator_ema(20, bars.close, out.ema)
    brindlex.indicator_macd(12, 26, 9, bars.close, out.macd, out.signal, out.hist)
    brindlex.indicator_atr(14, bars.high, bars.low, bars.close, out.atr)
    return out


def crossings(hist: Vector) -> int:
    """How often the MACD line crossed its signal line."""
    signs = np.sign(hist[~np.isnan(hist)])
    signs = signs[signs != 0]
    return int(np.count_nonzero(signs[1:] != signs[:-1]))


def print_table(series: dict[str, Bars]) -> None:
    header = (f"{'ticker':<7}{'last day':<12}{'close':>9}{'SMA20':>9}{'EMA20':>9}"
              f"{'MACD':>8}{'signal':>8}{'ATR14':>8}{'ATR %':>7}{'crosses':>9}")
    print(header)
    print("-" * len(header))
    for ticker, bars in sorted(series.items()):
        out = indicators(bars)
        close = bars.close[-1]
        atr = out.atr[-1]
        print(f"{ticker:<7}{bars.dates[-1]:<12}{close:>9.2f}{out.sma[-1]:>9.2f}"
              f"{out.ema[-1]:>9.2f}{out.macd[-1]:>8.2f}{out.signal[-1]:>8.2f}"
              f"{atr:>8.2f}{100 * atr / close:>6.1f}%{crossings(out.hist):>9}")
    print("\nMACD above its signal line means the short-term trend is pulling ahead;"
          " ATR % is the typical daily range as a share of the price.")


UP, DOWN = "#26a269", "#c01c28"
SMA_COLOUR, EMA_COLOUR = "#1c71d8", "#e66100"


def draw_chart(ticker: str, bars: Bars, count: int, path: Path) -> None:
    """The last `count` bars of one ticker, with its indicators computed over its whole history
    (so that none of the shown bars falls in a warm-up)."""
    import matplotlib

    matplotlib.use("Agg")  # files only, no display
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter

    out = indicators(bars)
    shown = slice(max(0, len(bars.close) - count), len(bars.close))
    dates = bars.dates[shown]
    x = np.arange(len(dates), dtype=np.float64)  # trading days: no gaps for weekends
    o, h, l, c = bars.open[shown], bars.high[shown], bars.low[shown], bars.close[shown]
    colours = np.where(c >= o, UP, DOWN).tolist()

    fig, (price, macd, atr) = plt.subplots(
        3, 1, sharex=True, figsize=(12, 8.5), dpi=110,
        gridspec_kw={"height_ratios": [3.2, 1.4, 1.0], "hspace": 0.08})
    price.set_title(f"{ticker}, daily bars {dates[0]} to {dates[-1]}", loc="left",
                    fontsize=13, fontweight="bold")
    price.set_title("SMA, EMA, MACD and ATR computed with brindlex", loc="right",
                    fontsize=9, color="#5e5c64")

    price.vlines(x, l, h, colors=colours, linewidth=0.9)
    price.bar(x, np.maximum(np.abs(c - o), 0.002 * c), bottom=np.minimum(o, c), width=0.65,
              color=colours, edgecolor=colours, linewidth=0.5)
    price.plot(x, out.sma[shown], color=SMA_COLOUR, linewidth=1.6, label="SMA(20)")
    price.plot(x, out.ema[shown], color=EMA_COLOUR, linewidth=1.6, label="EMA(20)")
    price.set_ylabel("price")

    hist = out.hist[shown]
    macd.bar(x, hist, width=0.65, color=np.where(hist >= 0, UP, DOWN).tolist(), alpha=0.55)
    macd.plot(x, out.macd[shown], color=SMA_COLOUR, linewidth=1.4, label="MACD(12, 26)")
    macd.plot(x, out.signal[shown], color=EMA_COLOUR, linewidth=1.4, label="signal(9)")
    macd.axhline(0.0, color="#77767b", linewidth=0.7)
    macd.set_ylabel("MACD")
    histogram_key = Patch(facecolor="#9a9996", alpha=0.55, label="histogram (MACD - signal)")

    atr.plot(x, out.atr[shown], color="#613583", linewidth=1.4, label="ATR(14)")
    atr.set_ylabel("ATR")

    for axes, extra in ((price, []), (macd, [histogram_key]), (atr, [])):
        handles = [*axes.get_legend_handles_labels()[0], *extra]
        axes.legend(handles=handles, loc="upper left", ncols=len(handles), fontsize=9,
                    frameon=True, framealpha=0.85, edgecolor="none")

    def date_label(value: float, _: int) -> str:
        k = int(round(value))
        return dates[k] if 0 <= k < len(dates) else ""

    atr.xaxis.set_major_formatter(FuncFormatter(date_label))
    atr.set_xlim(-1.0, len(dates))
    for axes in (price, macd, atr):
        axes.grid(True, color="#deddda", linewidth=0.6)
        axes.set_axisbelow(True)
        for side in ("top", "right"):
            axes.spines[side].set_visible(False)

    path.parent.mkdir(parents=True, exist_ok=True)
    # matplotlib leaves the keyword arguments of savefig without annotations.
    fig.savefig(path, bbox_inches="tight")  # pyright: ignore[reportUnknownMemberType]
    plt.close(fig)


class Options(argparse.Namespace):
    ticker: str = "AAPL"
    bars: int = 130
    chart: Path = CHART
    no_chart: bool = False


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Indicators of the bundled stocks, and a chart.")
    parser.add_argument("--ticker", default=Options.ticker, help="the ticker to chart")
    parser.add_argument("--bars", type=int, default=Options.bars, help="bars shown in the chart")
    parser.add_argument("--chart", type=Path, default=Options.chart, help="where the PNG goes")
    parser.add_argument("--no-chart", action="store_true", help="print the table only")
    options = parser.parse_args(argv[1:], namespace=Options())

    series = load_bars(DATA)
    if options.ticker not in series:
        known = ", ".join(sorted(series))
        parser.error(f"no ticker {options.ticker!r} in the data; there are {known}")
    print(f"{len(series)} tickers from {DATA.name}\n")
    print_table(series)
    if not options.no_chart:
        draw_chart(options.ticker, series[options.ticker], options.bars, options.chart)
        print(f"\nChart of {options.ticker}: {options.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
