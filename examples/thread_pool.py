"""Many series at once on a thread pool, with the throughput of 1 thread and of N threads.

    python examples/thread_pool.py [--threads N] [--copies K] [--rounds R] [CSV]

indicator_sma, indicator_ema and indicator_macd release the interpreter lock while they compute,
so plain threads run them on several cores at once, with no processes and no copies of the data.
(indicator_atr keeps the lock and gains nothing from threads; it is left out here.)

The universe is the bundled tickers, each repeated K times with its prices scaled: a stand-in for
K times as many stocks. All series lie end to end in one array, as a table of bars would hold
them, and each indicator gets one output array of the same layout, allocated once; a task
computes a range of series into slices of those arrays. So the threads allocate nothing and
touch disjoint memory, and the results do not depend on the number of threads. Tasks take many
series each: one task per series would spend more time in the pool than in the kernels.
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

import brindlex

DATA = Path(__file__).resolve().parent.parent / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"
OUTPUTS = ("sma20", "ema20", "macd", "macd_signal", "macd_hist")

Vector = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Universe:
    """Close series end to end in `closes`; series k is closes[bounds[k][0]:bounds[k][1]]."""

    closes: Vector
    bounds: list[tuple[int, int]]


def load_closes(path: Path = DATA) -> dict[str, Vector]:
    closes: dict[str, list[float]] = defaultdict(list)
    with path.open(newline="") as f:
        for row in csv.DictReader(f):
            closes[row["ticker"]].append(float(row["close"]))
    return {ticker: np.array(values, dtype=np.float64) for ticker, values in closes.items()}


def make_universe(closes: dict[str, Vector], copies: int) -> Universe:
    """Each ticker's closes `copies` times, scaled by 1, 1.001, 1.002, ..."""
    series = [prices * (1.0 + k / 1000.0) for prices in closes.values() for k in range(copies)]
    ends = np.cumsum([len(s) for s in series]).tolist()
    starts = [0, *ends[:-1]]
    return Universe(np.concatenate(series), list(zip(starts, ends)))


def compute_series(universe: Universe, outputs: dict[str, Vector], first: int, last: int) -> None:
    """SMA(20), EMA(20) and MACD(12, 26, 9) of series first to last - 1, into their slices."""
    for start, stop in universe.bounds[first:last]:
        bars = slice(start, stop)
        data = universe.closes[bars]
        brindlex.indicator_sma(20, data, outputs["sma20"][bars])
        brindlex.indicator_ema(20, data, outputs["ema20"][bars])
        brindlex.indicator_macd(12, 26, 9, data, outputs["macd"][bars],
                                outputs["macd_signal"][bars], outputs["macd_hist"][bars])


def run(universe: Universe, threads: int) -> dict[str, Vector]:
    """Every output of every series, computed by a pool of `threads` threads."""
    outputs = {name: np.empty_like(universe.closes) for name in OUTPUTS}
    count = len(universe.bounds)
    per_task = max(1, count // (8 * threads))
    firsts = range(0, count, per_task)
    with ThreadPoolExecutor(max_workers=threads) as pool:
        tasks = [pool.submit(compute_series, universe, outputs, first, min(first + per_task, count))
                 for first in firsts]
        for task in tasks:
            task.result()  # re-raises an exception from the task, if any
    return outputs


def throughput(universe: Universe, threads: int, rounds: int) -> float:
    """Series per second, the best of `rounds` runs."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run(universe, threads)
        best = min(best, time.perf_counter() - start)
    return len(universe.bounds) / best


class Options(argparse.Namespace):
    csv: Path = DATA
    threads: int = os.cpu_count() or 1
    copies: int = 400
    rounds: int = 5


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="SMA, EMA and MACD of many series on threads.")
    parser.add_argument("csv", nargs="?", type=Path, default=DATA)
    parser.add_argument("--threads", type=int, default=Options.threads)
    parser.add_argument("--copies", type=int, default=Options.copies, help="copies of each ticker")
    parser.add_argument("--rounds", type=int, default=Options.rounds,
                        help="timed runs; the best counts")
    options = parser.parse_args(argv[1:], namespace=Options())

    universe = make_universe(load_closes(options.csv), options.copies)
    count, bars = len(universe.bounds), len(universe.closes)
    print(f"{count} series, {bars} bars; SMA(20), EMA(20) and MACD(12, 26, 9) of each")
    single = throughput(universe, 1, options.rounds)
    pooled = throughput(universe, options.threads, options.rounds)
    for threads, rate in ((1, single), (options.threads, pooled)):
        print(f"{threads:>3} thread{'s' if threads > 1 else ' '}: {rate:9.0f} series/s,"
              f" {rate * bars / count / 1e6:6.1f} M bars/s, {rate / single:.2f} x one thread")
    print(f"(best of {options.rounds} runs each, {os.cpu_count()} cores)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
