"""Reference counts of arguments over many successful and failing calls."""

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
