"""The interpreter lock: released while SMA, EMA and MACD compute, held while ATR does."""

import threading
import time

import numpy as np
import pytest

import brindlex

N = 10_000_000


@pytest.fixture(scope="module")
def series():
    return np.random.default_rng(1).standard_normal(N).cumsum() + 100.0


def stamps_during(call):
    """Times at which another Python thread ran, and the interval the call took."""
    stamps, stop = [], threading.Event()

    def worker():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    thread = threading.Thread(target=worker)
    thread.start()
    time.sleep(0.02)
    start = time.perf_counter()
    call()
    end = time.perf_counter()
    stop.set()
    thread.join()
    return stamps, start, end


def inside(stamps, start, end):
    # Leave the edges out: switching the lock in and out of the call takes a moment.
    margin = (end - start) * 0.2
    return sum(start + margin < t < end - margin for t in stamps)


@pytest.mark.parametrize("name", ["sma", "ema", "macd"])
def test_other_threads_run_while_computing(series, name):
    outs = [np.empty(N) for _ in range(3)]
    calls = {
        "sma": lambda: brindlex.indicator_sma(50, series, outs[0]),
        "ema": lambda: brindlex.indicator_ema(50, series, outs[0]),
        "macd": lambda: brindlex.indicator_macd(12, 26, 9, series, *outs),
    }
    stamps, start, end = stamps_during(calls[name])
    assert inside(stamps, start, end) > 0


def longest_gap(stamps, start, end):
    times = [start] + [t for t in stamps if start < t < end] + [end]
    return max(b - a for a, b in zip(times, times[1:]))


def test_other_threads_wait_while_atr_computes(series):
    # Held, the lock leaves one gap in the other thread's stamps as long as the call. Counting
    # stamps inside the call instead would blame the lock for a switch that the interpreter may
    # make just before the call starts, which on a busy machine lasts longer than any margin.
    out, low = np.empty(N), series - 1.0
    call = lambda: brindlex.indicator_atr(14, series, low, series, out)  # noqa: E731
    alone = min(timed(call) for _ in range(3))
    assert alone > 0.005, "too quick to tell"
    stamps, start, end = stamps_during(call)
    assert longest_gap(stamps, start, end) > 0.8 * alone


def timed(call):
    t0 = time.perf_counter()
    call()
    return time.perf_counter() - t0


def test_concurrent_calls_give_the_same_results(series):
    data = series[:200_000]
    expected = np.empty_like(data)
    brindlex.indicator_ema(30, data, expected)
    outs = [np.empty_like(data) for _ in range(8)]
    threads = [threading.Thread(target=brindlex.indicator_ema, args=(30, data, out)) for out in outs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for out in outs:
        assert out.tobytes() == expected.tobytes()
