"""Results through the Python API: worked examples, the oracle on random series, aliasing, periods."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import brindlex
import reference
from conftest import EMULATED, NAN_MARKER, bits

# Emulated ARM64 runs the pure-Python references some 30 times slower.
EXAMPLES = 100 if EMULATED else 300

NAN = reference.MARKER  # in expected values: where the kernel writes the marker
INF = float("inf")
# Input NaNs carry a payload of their own, so that every marker in a result is one the kernel wrote.
PAYLOAD_NAN = np.array([0x7FF8000000000001], dtype=np.uint64).view(np.float64)[0]


def assert_same_bits(got, expected):
    """Bit for bit where the oracle stored a number or the marker; where it stored a NaN of the
    arithmetic, whose payload is not fixed, any NaN."""
    got_bits = bits(got)
    assert len(got_bits) == len(expected)
    for i, (g, e) in enumerate(zip(got_bits, expected)):
        if e is reference.MARKER:
            assert g == NAN_MARKER, f"position {i}: {g:#018x} is not the marker"
        elif math.isnan(e):
            assert math.isnan(float(np.uint64(g).view(np.float64))), f"position {i}"
        else:
            assert g == bits([e])[0], f"position {i}: {g:#018x} != {e!r}"


def run_sma(p, data):
    out = np.zeros(len(data))
    brindlex.indicator_sma(p, np.asarray(data, dtype=np.float64), out)
    return out


def run_ema(p, data):
    out = np.zeros(len(data))
    brindlex.indicator_ema(p, np.asarray(data, dtype=np.float64), out)
    return out


def run_macd(f, s, g, data):
    outs = [np.zeros(len(data)) for _ in range(3)]
    brindlex.indicator_macd(f, s, g, np.asarray(data, dtype=np.float64), *outs)
    return outs


def run_atr(p, high, low, close):
    out = np.zeros(len(high))
    brindlex.indicator_atr(p, *(np.asarray(a, dtype=np.float64) for a in (high, low, close)), out)
    return out


class TestWorkedExamples:
    def test_sma(self):
        assert_same_bits(run_sma(3, [1, 2, 3, 4, 5]), [NAN, NAN, 2, 3, 4])
        # The reciprocal times the sum, not the quotient: they differ in the last bit here.
        assert run_sma(3, [1, 2, 2])[2] == 1.6666666666666665
        assert_same_bits(run_sma(1, [1e16, 1]), [1e16, 0])
        assert_same_bits(run_sma(3, [-0.0] * 4), [NAN, NAN, -0.0, 0.0])

    def test_ema(self):
        assert_same_bits(run_ema(3, [1, 2, 3, 4, 5, 6]), [NAN, NAN, 2, 3, 4, 5])
        assert_same_bits(run_ema(4, [1, 2, 3, 4, 5]), [NAN, NAN, NAN, 2.5, 3.5])
        assert_same_bits(run_ema(3, [1, NAN, 3, 4, 5, 6, INF, 8]),
                         [NAN, NAN, NAN, NAN, 4, 5, NAN, 6.5])
        assert_same_bits(run_ema(3, [1, 2, NAN, 4, 5]), [NAN] * 5)
        assert run_ema(3, [1, 2, 2])[2] == 1.6666666666666667

    def test_macd(self):
        m, s, h = run_macd(2, 3, 2, [1, 2, 3, 4, 5, 6])
        assert_same_bits(m, [NAN, NAN, 0.5, 0.5, 0.5, 0.5])
        assert_same_bits(s, [NAN, NAN, NAN, 0.5, 0.5, 0.5])
        assert_same_bits(h, [NAN, NAN, NAN, 0, 0, 0])
        m, s, h = run_macd(2, 4, 3, [1, 2, 4, 8, 16, 32, 64])
        assert m[3] == 2.25 and math.isnan(s[4]) and s[5] == m[5] and h[5] == 0
        m, s, h = run_macd(2, 3, 2, [1, 2, 3, NAN, 5, 6, 7])
        assert all(bits(a)[3] == NAN_MARKER for a in (m, s, h))
        assert s[4] == m[4] and h[4] == 0
        assert all(np.isnan(a).all() for a in run_macd(2, 3, 2, [1, NAN, 3, 4, 5, 6, 7]))

    def test_atr(self):
        high, low, close = [10, 12, 11, 15, 14], [9, 10, 10, 12, 13], [9.5, 11, 10.5, 14, 13.5]
        assert_same_bits(run_atr(3, high, low, close),
                         [NAN, NAN, NAN, 2.6666666666666665, 2.111111111111111])
        assert_same_bits(run_atr(1, high, low, close), [NAN, 2.5, 1, 4.5, 1])
        assert_same_bits(run_atr(5, high, low, close), [NAN] * 5)
        high[2] = NAN
        assert_same_bits(run_atr(2, high, low, close), [NAN, NAN, 1.75, 3.125, 2.0625])


def series(min_size=0, max_size=60):
    """Price-like values sprinkled with NaN (payload), infinities and signed zeros."""
    value = st.one_of(
        st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False),
        st.sampled_from([PAYLOAD_NAN, INF, -INF, 0.0, -0.0, 1e300, -1e300]),
    )
    return st.lists(value, min_size=min_size, max_size=max_size)


periods = st.one_of(st.integers(0, 70), st.sampled_from([2**63, 2**64 - 1]))


@settings(max_examples=EXAMPLES, deadline=None)
@given(series(), periods)
def test_sma_matches_oracle(data, p):
    assert_same_bits(run_sma(p, data), reference.sma(p, data, [0.0] * len(data)))


@settings(max_examples=EXAMPLES, deadline=None)
@given(series(), periods)
def test_ema_matches_oracle(data, p):
    assert_same_bits(run_ema(p, data), reference.ema(p, data, [0.0] * len(data)))


@settings(max_examples=EXAMPLES, deadline=None)
@given(series(), st.integers(1, 20), st.integers(1, 30),
       st.one_of(st.integers(1, 30), st.just(2**64 - 1)))
def test_macd_matches_oracle(data, f, extra, g):
    s = f + extra
    outputs = ([0.0] * len(data) for _ in range(3))
    for got, expected in zip(run_macd(f, s, g, data), reference.macd(f, s, g, data, *outputs)):
        assert_same_bits(got, expected)


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.integers(1, 60).flatmap(lambda n: st.tuples(*(series(n, n) for _ in range(3)))), periods)
def test_atr_matches_oracle(columns, p):
    high, low, close = columns
    assert_same_bits(run_atr(p, high, low, close),
                     reference.atr(p, high, low, close, [0.0] * len(high)))


class TestAliasing:
    @pytest.mark.parametrize("function", [brindlex.indicator_sma, brindlex.indicator_ema])
    def test_output_is_input(self, function):
        data = np.arange(1.0, 11.0)
        function(3, data, data)
        assert bits(data).tolist() == [NAN_MARKER] * 10

    def test_macd_outputs_share_one_array(self):
        data = np.linspace(1.0, 30.0, 40)
        shared = np.zeros(40)
        brindlex.indicator_macd(3, 7, 4, data, shared, shared, shared)
        memory = [0.0] * 40
        reference.macd(3, 7, 4, list(data), memory, memory, memory)
        assert_same_bits(shared, memory)

    def test_macd_output_is_data(self):
        data = np.linspace(1.0, 30.0, 40)
        data[[5, 17]] = np.nan
        memory = list(data)
        signal, hist = np.zeros(40), np.zeros(40)
        brindlex.indicator_macd(3, 7, 4, data, data, signal, hist)
        expected = reference.macd(3, 7, 4, memory, memory, [0.0] * 40, [0.0] * 40)
        for got, want in zip((data, signal, hist), expected):
            assert_same_bits(got, want)

    def test_atr_output_is_close(self):
        rng = np.random.default_rng(7)
        high, low, close = (100 + rng.standard_normal(30) for _ in range(3))
        memory = list(close)
        reference.atr(5, list(high), list(low), memory, memory)
        brindlex.indicator_atr(5, high, low, close, close)
        assert_same_bits(close, memory)


@pytest.mark.parametrize("period", [np.int64(3), np.uint64(3), np.int8(3), 3])
def test_numpy_integer_periods(period):
    assert_same_bits(run_sma(period, [1, 2, 3, 4, 5]), [NAN, NAN, 2, 3, 4])


def test_boolean_and_extreme_periods():
    data = [4.0, 5.0]
    assert_same_bits(run_sma(True, data), [4.0, 5.0])
    assert_same_bits(run_ema(0, data), [NAN, NAN])
    assert_same_bits(run_ema(2**64 - 1, data), [NAN, NAN])
    assert_same_bits(run_atr(2**64 - 1, data, data, data), [NAN, NAN])
