"""The examples run on the bundled data, and their results are those of plain per-ticker calls."""

import csv
import importlib
import os
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

import numpy as np
import pytest

import brindlex

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
DATA = EXAMPLES.parent / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"
COLUMNS = ("sma_20", "ema_20", "macd", "signal", "hist", "atr_14")  # as the DataFrame fronts name them
PLAIN = ("sma20", "ema20", "macd", "macd_signal", "macd_hist", "atr14")


def run_script(name, *args, timeout=120):
    result = subprocess.run([sys.executable, "-P", str(EXAMPLES / name), *args], cwd="/tmp",
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout


def needs(*packages):
    """Skips the test, saying why, when a package the example imports is missing or cannot load
    (for instance a pyarrow built for a newer NumPy)."""
    for package in packages:
        pytest.importorskip(package, exc_type=ImportError)


def example(name, requires=()):
    """The example as a module, importable by name (the Dask workers import it too)."""
    needs(*requires)
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    return importlib.import_module(name)


@pytest.fixture(scope="module")
def bundled():
    """Per ticker, the dates and the prices of the bundled file, read with float()."""
    bars = defaultdict(lambda: defaultdict(list))
    with DATA.open(newline="") as f:
        for row in csv.DictReader(f):
            bars[row["ticker"]]["date"].append(row["date"])
            for name in ("high", "low", "close"):
                bars[row["ticker"]][name].append(float(row[name]))
    return {ticker: {name: np.array(values, dtype=np.float64 if name != "date" else "datetime64[D]")
                     for name, values in columns.items()}
            for ticker, columns in bars.items()}


def plain_calls(high, low, close):
    """The indicators of one plain call each."""
    out = {name: np.full_like(close, 1.0) for name in PLAIN}
    brindlex.indicator_sma(20, close, out["sma20"])
    brindlex.indicator_ema(20, close, out["ema20"])
    brindlex.indicator_macd(12, 26, 9, close, out["macd"], out["macd_signal"], out["macd_hist"])
    brindlex.indicator_atr(14, high, low, close, out["atr14"])
    return out


def as_floats(values):
    """A column as float64, a null (None) read as NaN."""
    return np.array([np.nan if v is None else v for v in values], dtype=np.float64)


def assert_matches_plain_calls(frame, bundled):
    """`frame` maps column names to sequences, one row per bar, each ticker's rows in date order.
    Each ticker's rows must be its bundled bars in order, and its indicators those of plain calls on
    its prices, to the bit; NaN there may be a null in the frame. (The prices are compared with
    the file's loosely: some pandas versions parse a few of them one unit in the last place off.)"""
    tickers = np.asarray(frame["ticker"], dtype=object).astype(str)
    assert sorted(set(tickers)) == sorted(bundled)
    for ticker, bars in bundled.items():
        rows = tickers == ticker
        dates = np.asarray(frame["date"], dtype=object)[rows].astype("datetime64[D]")
        assert np.array_equal(dates, bars["date"]), ticker
        prices = {name: as_floats(np.asarray(frame[name], dtype=object)[rows])
                  for name in ("high", "low", "close")}
        for name, values in prices.items():
            np.testing.assert_allclose(values, bars[name], rtol=1e-15, atol=0)
        expected = plain_calls(prices["high"], prices["low"], prices["close"])
        for name, plain_name in zip(COLUMNS, PLAIN):
            got, want = as_floats(np.asarray(frame[name], dtype=object)[rows]), expected[plain_name]
            assert np.array_equal(np.isnan(got), np.isnan(want)), (ticker, name)
            finite = ~np.isnan(want)
            assert np.array_equal(got[finite].view(np.uint64), want[finite].view(np.uint64)), (ticker, name)


class TestDemo:
    def test_prints_the_table_and_writes_the_chart(self, tmp_path):
        needs("matplotlib")
        chart = tmp_path / "chart.png"
        out = run_script("demo.py", "--ticker", "TSLA", "--chart", str(chart))
        for ticker in ("AAPL", "COKE", "GOOGL", "TSLA", "YHOO"):
            assert f"\n{ticker} " in out
        assert f"Chart of TSLA: {chart}" in out
        assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_refuses_an_unknown_ticker(self):
        result = subprocess.run([sys.executable, "-P", str(EXAMPLES / "demo.py"), "--ticker", "XYZ"],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 2 and "no ticker 'XYZ'" in result.stderr


class TestPandas:
    def test_script_runs(self):
        needs("pandas")
        assert "3634 bars of 5 tickers" in run_script("pandas_indicators.py")

    def test_columns_match_per_ticker_calls_whatever_the_row_order(self, bundled):
        pandas_example = example("pandas_indicators", ["pandas"])
        frame = pandas_example.load()
        shuffled = frame.sample(frac=1.0, random_state=7)
        before = shuffled.copy()
        result = pandas_example.add_indicators(shuffled)
        assert shuffled.equals(before)  # the frame passed in is left alone
        assert_matches_plain_calls(result, bundled)


class TestPolars:
    def test_script_runs(self):
        needs("polars")
        assert "3634 bars of 5 tickers" in run_script("polars_indicators.py")

    def test_columns_match_per_ticker_calls_whatever_the_row_order(self, bundled):
        polars_example = example("polars_indicators", ["polars"])
        frame = polars_example.load().sample(fraction=1.0, shuffle=True, seed=7)
        result = polars_example.add_indicators(frame)
        assert_matches_plain_calls({name: result[name].to_list() for name in result.columns}, bundled)
        assert result["sma_20"].null_count() == 5 * 19  # the warm-up is null, not NaN


class TestThreadPool:
    def test_script_prints_both_throughputs(self):
        out = run_script("thread_pool.py", "--threads", "3", "--copies", "4", "--rounds", "1")
        assert "20 series" in out
        assert "  1 thread :" in out and "  3 threads:" in out

    def test_results_do_not_depend_on_the_thread_count(self, bundled):
        pool = example("thread_pool")
        universe = pool.make_universe(pool.load_closes(DATA), copies=3)
        single, pooled = pool.run(universe, 1), pool.run(universe, 4)
        for name in pool.OUTPUTS:
            assert np.array_equal(single[name].view(np.uint64), pooled[name].view(np.uint64))
        # The first copy of each ticker is the ticker itself.
        for k, bars in enumerate(bundled.values()):
            start, stop = universe.bounds[3 * k]
            expected = plain_calls(bars["high"], bars["low"], bars["close"])
            for name in pool.OUTPUTS:
                got = single[name][start:stop]
                assert np.array_equal(got.view(np.uint64), expected[name].view(np.uint64))


class TestDask:
    def test_script_runs_on_a_local_cluster(self):
        needs("dask.dataframe", "distributed")
        out = run_script("dask_indicators.py", "--workers", "2", timeout=300)
        assert "3634 bars of 5 tickers, computed on 2 Dask workers" in out

    def test_two_worker_processes_match_a_single_process_run(self, bundled):
        dask_example = example("dask_indicators", ["dask.dataframe", "distributed"])
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            worker_pids = set(client.run(os.getpid).values())
            assert len(worker_pids) == 2 and os.getpid() not in worker_pids
            distributed = dask_example.indicators_on_cluster(client, [DATA], partitions=4)
        single = dask_example.add_indicators(dask_example.read_bars_single_process([DATA]))

        assert list(distributed.columns) == list(single.columns)
        for name in ("ticker", "date"):
            assert distributed[name].astype(str).tolist() == single[name].astype(str).tolist()
        for name in ("open", "high", "low", "close", *COLUMNS):
            got, want = distributed[name].to_numpy(), single[name].to_numpy()
            assert np.array_equal(got.view(np.uint64), want.view(np.uint64)), name
        assert_matches_plain_calls(single, bundled)
