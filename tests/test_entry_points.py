"""The checks of the four functions: messages, their order, and outputs untouched on failure."""

import numpy as np
import pytest

from brindlex import indicator_atr, indicator_ema, indicator_macd, indicator_sma


def vec(n=6):
    return np.arange(1.0, n + 1.0)


def strided(n):
    return np.zeros(2 * n)[::2]


def reversed_(n):
    return np.zeros(n)[::-1]


def value_error(call, *outputs):
    """The ValueError's message; every output must come back unchanged."""
    before = [o.copy() for o in outputs]
    with pytest.raises(ValueError) as info:
        call()
    for o, b in zip(outputs, before):
        assert o.tobytes() == b.tobytes()
    return str(info.value)


@pytest.mark.parametrize("fn", [indicator_sma, indicator_ema])
class TestMovingAverageChecks:
    def test_non_contiguous_input(self, fn):
        out = np.full(4, 7.0)
        for data in (strided(4), reversed_(4)):
            assert value_error(lambda: fn(2, data, out), out) == (
                "Input array must be C-contiguous and float64")

    def test_input_contiguity_is_checked_before_output_length(self, fn):
        out = np.full(9, 7.0)
        assert value_error(lambda: fn(2, strided(4), out), out) == (
            "Input array must be C-contiguous and float64")

    def test_output_contiguity_is_checked_before_its_length(self, fn):
        out = strided(9)
        assert value_error(lambda: fn(2, vec(4), out), out) == (
            "Output array must be C-contiguous and float64")

    def test_output_length(self, fn):
        for n in (3, 5):
            out = np.full(n, 7.0)
            assert value_error(lambda: fn(2, vec(4), out), out) == (
                "Output array length must match input")

    def test_read_only_output_is_never_written(self, fn):
        out = np.full(4, 7.0)
        out.flags.writeable = False
        assert value_error(lambda: fn(2, vec(4), out), out) == "Output array must be writeable"

    def test_read_only_input_is_fine(self, fn):
        data = vec(4)
        data.flags.writeable = False
        out = np.zeros(4)
        fn(2, data, out)
        assert out[-1] == 3.5

    def test_empty_and_single_element_views(self, fn):
        fn(3, np.zeros(0), np.zeros(0))
        single = np.arange(10.0)[3:4:1][::-1]  # one element, negative stride
        out = np.zeros(4)[1:2]
        fn(1, single, out)
        assert out[0] == 3.0


class TestMacdChecks:
    def call(self, f=2, s=3, g=2, data=None, outs=None):
        data = vec() if data is None else data
        outs = [np.full(len(data), 7.0) for _ in range(3)] if outs is None else outs
        return lambda: indicator_macd(f, s, g, data, *outs), outs

    def test_periods(self):
        for f, s, g in ((0, 3, 2), (2, 0, 2), (2, 3, 0), (0, 0, 0), (5, 3, 0)):
            call, outs = self.call(f, s, g)
            assert value_error(call, *outs) == "Periods must be greater than 0"
        for f, s in ((3, 3), (4, 3)):
            call, outs = self.call(f, s)
            assert value_error(call, *outs) == "Fast period must be less than slow period"

    def test_signal_period_is_not_compared_with_the_others(self):
        call, outs = self.call(2, 3, 50)
        call()
        assert np.isnan(outs[1]).all() and outs[0][-1] == 0.5

    def test_lengths_are_checked_before_contiguity(self):
        outs = [np.zeros(4), np.zeros(4), np.zeros(5)]
        call, _ = self.call(data=strided(4), outs=outs)
        assert value_error(call, *outs) == "All output arrays must have the same length as input data"

    def test_contiguity_messages(self):
        call, outs = self.call(data=strided(6))
        assert value_error(call, *outs) == "Input array must be C-contiguous"
        names = ["MACD", "Signal", "Histogram"]
        for k, name in enumerate(names):
            outs = [np.zeros(6) for _ in range(3)]
            outs[k] = reversed_(6)
            call, _ = self.call(outs=outs)
            assert value_error(call, *outs) == f"{name} output array must be C-contiguous"

    def test_read_only_outputs(self):
        for k, name in enumerate(["MACD", "Signal", "Histogram"]):
            outs = [np.zeros(6) for _ in range(3)]
            outs[k].flags.writeable = False
            call, _ = self.call(outs=outs)
            assert value_error(call, *outs) == f"{name} output array must be writeable"

    def test_len_that_disagrees_with_the_array_is_refused(self):
        class Lying(np.ndarray):
            def __len__(self):
                return 6

        short = np.zeros(2).view(Lying)
        guard = np.zeros(8)  # neighbours that a write past the end would hit
        outs = [np.zeros(6), short, np.zeros(6)]
        call, _ = self.call(outs=outs)
        assert value_error(call, short, guard) == (
            "All output arrays must have the same length as input data")

    def test_failing_len_passes_its_exception_through(self):
        class Broken(np.ndarray):
            def __len__(self):
                raise RuntimeError("no length")

        outs = [np.zeros(6), np.zeros(6).view(Broken), np.zeros(6)]
        call, _ = self.call(outs=outs)
        with pytest.raises(RuntimeError, match="no length"):
            call()

    def test_empty_series(self):
        call, outs = self.call(data=np.zeros(0))
        call()


class TestAtrChecks:
    def call(self, high=None, low=None, close=None, out=None):
        arrays = [vec() if a is None else a for a in (high, low, close)]
        out = np.full(6, 7.0) if out is None else out
        return lambda: indicator_atr(2, *arrays, out), out

    def test_contiguity_in_parameter_order(self):
        for k, name in enumerate(["High", "Low", "Close"]):
            arrays = [vec(), vec(), vec()]
            arrays[k] = strided(6)
            call, out = self.call(*arrays)
            assert value_error(call, out) == f"{name} array must be C-contiguous and float64"

    def test_lengths(self):
        for arrays in ([vec(), vec(5), vec()], [vec(), vec(), vec(7)]):
            call, out = self.call(*arrays)
            assert value_error(call, out) == "All arrays must have the same length"
        for n in (5, 7):
            call, out = self.call(out=np.full(n, 7.0))
            assert value_error(call, out) == "All arrays must have the same length"

    def test_output_contiguity_before_its_length(self):
        call, out = self.call(out=strided(9))
        assert value_error(call, out) == "Output array must be C-contiguous and float64"

    def test_read_only_output(self):
        out = np.zeros(6)
        out.flags.writeable = False
        call, _ = self.call(out=out)
        assert value_error(call, out) == "Output array must be writeable"

    def test_one_array_for_every_input_and_the_output(self):
        data = vec()
        indicator_atr(2, data, data, data, data)
        assert np.isnan(data).all()


def test_failed_calls_leave_no_borrow_behind():
    data = vec()
    for _ in range(3):
        with pytest.raises(ValueError):
            indicator_sma(2, data, np.zeros(2))
        with pytest.raises(TypeError):
            indicator_atr(2, data, data, data, None)
    out = np.zeros(6)
    indicator_atr(2, data, data, data, out)
    indicator_sma(2, data, out)
    assert out[-1] == 5.5
