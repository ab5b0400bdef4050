"""Indicators over a universe of tickers on a Dask cluster, partitioned by ticker.

    python examples/dask_indicators.py [--scheduler ADDRESS | --workers N] [CSV ...]

For a universe that no longer fits one machine: the bars are read as a Dask DataFrame, shuffled
so that every ticker's bars land in one partition, and each partition gets its indicators on
whichever worker holds it, with the same pandas code one would run on a single machine
(``add_indicators`` below: each indicator one call of ``brindlex_batch.pandas`` for all the
partition's tickers). The indicators of a ticker depend only on that ticker's bars, so no data
moves between partitions after the shuffle, and the results are bit for bit those of a
single-process run.

Without ``--scheduler`` the script starts a LocalCluster of N worker processes on this machine;
on a real cluster, pass the scheduler's address and give the workers the same files (a shared
file system or object store; Dask reads CSV and Parquet from either).
"""

from __future__ import annotations

import argparse
import logging
import sys
from pathlib import Path
from typing import Any

import dask.dataframe
import distributed
import pandas as pd

import brindlex_batch.pandas as bx

# Dask's API carries few type annotations, so it is used through these two names typed as Any;
# what comes back from it gets its pandas type where it arrives.
dd: Any = dask.dataframe
dist: Any = distributed

DATA = Path(__file__).resolve().parent.parent / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"
INDICATOR_COLUMNS = ("sma_20", "ema_20", "macd", "signal", "hist", "atr_14")


def add_indicators(frame: pd.DataFrame) -> pd.DataFrame:
    """SMA(20), EMA(20), MACD(12, 26, 9) and ATR(14) of every ticker in one pandas frame (one
    partition, or the whole universe in a single-process run), sorted by ticker and date."""
    frame = frame.sort_values(["ticker", "date"], ignore_index=True)
    close, ticker = frame["close"], frame["ticker"]
    return pd.concat([
        frame,
        bx.sma(close, 20, by=ticker),
        bx.ema(close, 20, by=ticker),
        bx.macd(close, 12, 26, 9, by=ticker),
        bx.atr(frame["high"], frame["low"], close, 14, by=ticker),
    ], axis=1)


BARS_DTYPES = {"ticker": "string", "date": "string", "open": "float64", "high": "float64",
               "low": "float64", "close": "float64", "volume": "int64"}


def read_bars(paths: list[Path]) -> Any:
    """The bars as a Dask DataFrame: nothing is read until the result is computed."""
    return dd.read_csv([str(p) for p in paths], dtype=BARS_DTYPES)


def read_bars_single_process(paths: list[Path]) -> pd.DataFrame:
    return pd.concat([pd.read_csv(p, dtype=BARS_DTYPES) for p in paths], ignore_index=True)


def indicators_on_cluster(client: Any, paths: list[Path], partitions: int) -> pd.DataFrame:
    """The indicators of every ticker in the files, computed by the cluster's workers, gathered
    into one frame sorted by ticker and date."""
    bars = read_bars(paths).shuffle("ticker", npartitions=partitions)
    empty: pd.DataFrame = bars._meta
    result = bars.map_partitions(add_indicators, meta=add_indicators(empty))
    gathered: pd.DataFrame = client.compute(result).result()
    return gathered.sort_values(["ticker", "date"], ignore_index=True)


class Options(argparse.Namespace):
    csv: list[Path] = [DATA]
    scheduler: str | None = None
    workers: int = 2
    partitions: int = 4


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Indicators per ticker on a Dask cluster.")
    parser.add_argument("csv", nargs="*", type=Path, default=[DATA])
    parser.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=Options.workers,
                        help="worker processes of the LocalCluster started without --scheduler")
    parser.add_argument("--partitions", type=int, default=Options.partitions,
                        help="partitions the tickers are spread over")
    options = parser.parse_args(argv[1:], namespace=Options())

    # The shuffle reports its start and end as warnings; they are routine here.
    logging.getLogger("distributed.shuffle").setLevel(logging.ERROR)
    cluster: Any = None
    if options.scheduler is None:
        cluster = dist.LocalCluster(n_workers=options.workers, threads_per_worker=1,
                                    processes=True, host="127.0.0.1", dashboard_address=None)
    client: Any = dist.Client(cluster if cluster is not None else options.scheduler)
    try:
        workers: int = len(client.scheduler_info()["workers"])
        result = indicators_on_cluster(client, options.csv, options.partitions)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    latest = result.groupby("ticker", sort=True).tail(1).set_index("ticker")
    print(f"{len(result)} bars of {len(latest)} tickers, computed on {workers} Dask workers;"
          " the last bar of each:\n")
    with pd.option_context("display.width", 120, "display.precision", 2):
        print(latest[["date", "close", *INDICATOR_COLUMNS]].to_string())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
