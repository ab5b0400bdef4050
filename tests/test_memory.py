"""Reference counts of arguments over many successful and failing calls."""

import os
import sys

import numpy as np
import pytest

import brindlex

BIG = 2**64 - 1  # an int that is neither cached nor immortal


def counts(*objects):
    return [sys.getrefcount(o) for o in objects]


def test_successful_calls_keep_counts():
    data, out = np.arange(10.0), np.zeros(10)
    outs = [np.zeros(10) for _ in range(3)]
    period = int("3")
    before = counts(data, out, period, BIG, *outs)
    for _ in range(1000):
        brindlex.indicator_sma(period, data, out)
        brindlex.indicator_ema(BIG, data, out)
        brindlex.indicator_macd(period, 5, period, data, *outs)
        brindlex.indicator_atr(period, data, data, data, out)
    assert counts(data, out, period, BIG, *outs) == before


@pytest.mark.parametrize("call", [
    lambda d, o: brindlex.indicator_sma(3, d, o[:5]),               # check fails
    lambda d, o: brindlex.indicator_sma(3, d, None),                # output conversion fails
    lambda d, o: brindlex.indicator_atr(3, d, d, d[::2], o),        # check after three borrows
    lambda d, o: brindlex.indicator_atr(3, d, d, [0.0], o),         # third conversion fails
    lambda d, o: brindlex.indicator_macd(0, 5, 1, d, o, o, o),      # period check
    lambda d, o: brindlex.indicator_macd(2, 5, 1, d, o, o, o[:2]),  # length check
    lambda d, o: brindlex.indicator_ema(-1, d, o),                  # period conversion
    lambda d, o: brindlex.indicator_ema(3, d, o, extra=1),          # binding
])
def test_failing_calls_keep_counts(call):
    data, out = np.arange(10.0), np.zeros(10)
    before = counts(data, out)
    for _ in range(500):
        with pytest.raises((TypeError, ValueError, OverflowError)):
            call(data, out)
    assert counts(data, out) == before


class FreshIndex:
    """A period whose __index__ returns a new int each time, one neither cached nor immortal, and
    keeps it, so that a reference the module fails to release shows in its count."""

    def __init__(self, base):
        self.base, self.returned = base, []

    def __index__(self):
        value = int(str(self.base)) + len(self.returned) % 2  # built at run time
        self.returned.append(value)
        return value


@pytest.mark.parametrize("call", [
    lambda p, d, o: brindlex.indicator_sma(p, d, o),
    lambda p, d, o: brindlex.indicator_ema(p, d, o[:3]),                      # check fails
    lambda p, d, o: brindlex.indicator_macd(p, FreshIndex(2000), 1, d, o, o, o),
    lambda p, d, o: brindlex.indicator_macd(1, 2, p, d, o, o, None),          # conversion fails
    lambda p, d, o: brindlex.indicator_atr(p, d, d, d, o),
])
@pytest.mark.parametrize("base", [1000, 2**64 + 1])  # 2**64 + 1: the conversion overflows
def test_the_int_a_period_index_returns_is_released(call, base):
    data, out = np.arange(10.0), np.zeros(10)
    period = FreshIndex(base)
    for _ in range(50):
        try:
            call(period, data, out)
        except (TypeError, ValueError, OverflowError):
            pass
    untouched = [int(str(base))]
    assert {sys.getrefcount(v) for v in period.returned} == {sys.getrefcount(v) for v in untouched}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.resident_memory
def test_native_memory_does_not_grow_over_many_calls():
    """Reference counts do not see native allocations: an exception value or a registry entry
    leaked per call only shows as growing resident memory."""
    data, out = np.arange(1.0, 9.0), np.zeros(8)
    outs = [np.zeros(8) for _ in range(3)]
    calls = [
        lambda: brindlex.indicator_sma(3, data, out),
        lambda: brindlex.indicator_macd(2, 3, 2, data, *outs),
        lambda: brindlex.indicator_atr(3, data, data, data, out),
        lambda: brindlex.indicator_ema(3, data, out[:2]),          # ValueError
        lambda: brindlex.indicator_ema(3, [1.0], out),             # prefixed TypeError
        lambda: brindlex.indicator_sma(-1, data, out),             # OverflowError from the interpreter
        lambda: brindlex.indicator_atr(3, data, data, data, out, x=1),  # binding TypeError
    ]

    def run(rounds):
        for _ in range(rounds):
            for call in calls:
                try:
                    call()
                except (TypeError, ValueError, OverflowError):
                    pass

    run(5_000)
    before = resident_bytes()
    run(30_000)
    # 120,000 failing calls: a leak of even 16 bytes each would pass 1.9 MB.
    assert resident_bytes() - before < 1 << 20
