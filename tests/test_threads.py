"""The interpreter lock: released while SMA, EMA and MACD compute, held while ATR does."""

import threading
import time

import numpy as np
import pytest

import brindlex
# The registry's owner count, read after the test: nothing may stay borrowed.
from test_borrow_registry import registry_left_empty  # noqa: F401

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
    # Released, the lock would leave no gap much longer than the switch interval (5 ms), so half
    # the call is a clear line even when other processes make the call's length vary from run
    # to run.
    out, low = np.empty(N), series - 1.0
    call = lambda: brindlex.indicator_atr(14, series, low, series, out)  # noqa: E731
    alone = min(timed(call) for _ in range(3))
    assert alone > 0.005, "too quick to tell"
    stamps, start, end = stamps_during(call)
    assert longest_gap(stamps, start, end) > 0.5 * alone


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


# --- stress: many threads, shared inputs, aliasing and failing calls -----------------------------

def stress_tasks(rng, count, inputs):
    """Calls on the shared inputs: (function, periods, input indices, aliased, fault)."""
    tasks = []
    for _ in range(count):
        function = rng.choice(["sma", "ema", "macd", "atr"])
        if function == "macd":
            fast = int(rng.integers(1, 20))
            periods = (fast, int(rng.integers(fast + 1, 60)), int(rng.integers(1, 20)))
        else:
            periods = (int(rng.integers(0, 60)),)
        used = tuple(int(i) for i in rng.integers(0, len(inputs), 3 if function == "atr" else 1))
        # About one call in ten fails a check; one in four writes over a private copy of its input.
        fault = rng.random() < 0.1
        tasks.append((function, periods, used, rng.random() < 0.25, fault))
    return tasks


def run_task(task, inputs):
    """Runs one call on fresh outputs; returns their bytes, or the exception's type."""
    function, periods, used, aliased, fault = task
    n = len(inputs[0])
    arrays = [inputs[i] for i in used]
    outs = [np.full(n - 1 if fault else n, 7.0) for _ in range(3 if function == "macd" else 1)]
    if aliased and not fault:
        # The first output is a private copy of the first input, passed as both.
        outs[0][:] = arrays[0]
        arrays[0] = outs[0]
    try:
        if function == "macd":
            brindlex.indicator_macd(*periods, arrays[0], *outs)
        elif function == "atr":
            brindlex.indicator_atr(*periods, *arrays, outs[0])
        else:
            getattr(brindlex, "indicator_" + function)(*periods, arrays[0], outs[0])
    except ValueError:
        assert all((o == 7.0).all() for o in outs)
        return ValueError
    return b"".join(o.tobytes() for o in outs)


def test_eight_threads_of_mixed_calls_match_a_single_threaded_replay():
    rng = np.random.default_rng(7)
    n = 5_000
    inputs = [rng.standard_normal(n).cumsum() + 100.0 for _ in range(4)]
    for a in inputs:
        a[rng.integers(0, n, 20)] = np.nan
        a.flags.writeable = False  # shared: no call may write into them
    per_thread = [stress_tasks(rng, 60, inputs) for _ in range(8)]
    results = [None] * 8
    start = threading.Barrier(8)

    def worker(k):
        start.wait()
        results[k] = [run_task(task, inputs) for task in per_thread[k]]

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    replay = [[run_task(task, inputs) for task in tasks] for tasks in per_thread]
    assert results == replay
    failed = sum(r is ValueError for rs in results for r in rs)
    assert 0.05 < failed / 480 < 0.15
