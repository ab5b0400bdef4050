"""Indicators per ticker with polars: an expression per indicator, every ticker in one call.

    python examples/polars_indicators.py [CSV]

``import brindlex_batch.polars`` registers the expression namespace ``bx``:
``pl.col("close").bx.sma(20, by="ticker")`` computes every ticker's SMA in one call of the
kernels, each ticker's rows being its bars in frame order. The tickers need not be adjacent: here
the frame is sorted by date only, so they interleave. MACD gives a struct of ``macd``, ``signal``
and ``hist``, unnested into three columns; ATR reads three columns. The module's functions
(``bx.sma("close", 20, by="ticker")``) build the same expressions, and type checkers, which do
not see registered namespaces, understand them; this script uses those. Positions without a value
(each ticker's warm-up) come back as null, polars' missing value, so that ``drop_nulls``, ``mean``
and the like skip them; ``nan_as_null=False`` would keep NaN instead.
"""

from __future__ import annotations

import sys
from pathlib import Path

import polars as pl

import brindlex_batch.polars as bx

DATA = Path(__file__).resolve().parent.parent / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"
INDICATOR_COLUMNS = ("sma_20", "ema_20", "macd", "signal", "hist", "atr_14")


def add_indicators(frame: pl.DataFrame | pl.LazyFrame) -> pl.DataFrame:
    """The frame in date order, with SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14) of each ticker
    as new columns. A lazy frame is collected by the streaming engine."""
    query = (
        frame.lazy()
        .sort("date", maintain_order=True)
        .with_columns(
            bx.sma("close", 20, by="ticker").alias("sma_20"),
            bx.ema("close", 20, by="ticker").alias("ema_20"),
            bx.macd("close", 12, 26, 9, by="ticker").alias("macd_lines"),
            bx.atr("high", "low", "close", 14, by="ticker").alias("atr_14"),
        )
        .unnest("macd_lines")
    )
    return query.collect(engine="streaming")


def load(path: Path = DATA) -> pl.DataFrame:
    return pl.read_csv(path, try_parse_dates=True)


def main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else DATA
    result = add_indicators(load(path))
    latest = result.group_by("ticker").last().sort("ticker")
    print(f"{result.height} bars of {latest.height} tickers from {path.name};"
          " the last bar of each:\n")
    with pl.Config(tbl_rows=-1, tbl_cols=-1, tbl_width_chars=120, float_precision=2,
                   tbl_hide_dataframe_shape=True, tbl_hide_column_data_types=True):
        print(latest.select("ticker", "date", "close", *INDICATOR_COLUMNS))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
