"""Binding and conversion of arguments: every message, and which failure is reported first."""

import numpy as np
import pytest

import brindlex
from brindlex import indicator_atr, indicator_ema, indicator_macd, indicator_sma


def vec(n=5):
    return np.arange(1.0, n + 1.0)


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


class TestKeywordsBindLikePositions:
    def test_every_mix_gives_the_same_result(self):
        results = []
        for call in (
            lambda o: indicator_sma(3, vec(), o),
            lambda o: indicator_sma(output=o, data=vec(), period=3),
            lambda o: indicator_sma(3, output=o, data=vec()),
            lambda o: indicator_sma(3, vec(), output=o),
        ):
            out = np.zeros(5)
            assert call(out) is None
            results.append(out.tobytes())
        assert len(set(results)) == 1

    def test_macd_and_atr_by_keyword(self):
        outs = [np.zeros(6) for _ in range(3)]
        indicator_macd(hist_output=outs[2], signal_output=outs[1], macd_output=outs[0],
                       data=vec(6), signal_period=2, slow_period=3, fast_period=2)
        assert outs[2][-1] == 0.0
        out = np.zeros(5)
        indicator_atr(2, vec(), vec(), close=vec(), output=out)
        assert out[-1] == 1.0


class TestBindingMessages:
    @pytest.mark.parametrize("call, message", [
        (lambda: indicator_sma(1, vec(), vec(), 4),
         "indicator_sma() takes 3 positional arguments but 4 were given"),
        (lambda: indicator_macd(*range(8)),
         "indicator_macd() takes 7 positional arguments but 8 were given"),
        # Too many positionals is found before any keyword is looked at.
        (lambda: indicator_sma(1, 2, 3, 4, 5, window=1),
         "indicator_sma() takes 3 positional arguments but 5 were given"),
        (lambda: indicator_ema(3, vec(), vec(), period=3),
         "indicator_ema() got multiple values for argument 'period'"),
        (lambda: indicator_atr(window=3),
         "indicator_atr() got an unexpected keyword argument 'window'"),
        (lambda: indicator_sma(),
         "indicator_sma() missing 3 required positional arguments: 'period', 'data', and 'output'"),
        (lambda: indicator_sma(3),
         "indicator_sma() missing 2 required positional arguments: 'data' and 'output'"),
        (lambda: indicator_atr(3, vec(), vec(), output=vec()),
         "indicator_atr() missing 1 required positional argument: 'close'"),
        (lambda: indicator_macd(1, 2),
         "indicator_macd() missing 5 required positional arguments: 'signal_period', 'data', "
         "'macd_output', 'signal_output', and 'hist_output'"),
        (lambda: indicator_macd(fast_period=1, data=vec(), slow_period=2, signal_period=1),
         "indicator_macd() missing 3 required positional arguments: 'macd_output', "
         "'signal_output', and 'hist_output'"),
    ])
    def test_message(self, call, message):
        assert type_error(call) == message

    def test_keywords_are_handled_in_order(self):
        # Whichever bad keyword comes first is the one reported.
        assert "unexpected keyword argument 'x'" in type_error(
            lambda: indicator_sma(3, vec(), vec(), **{"x": 1, "period": 2}))
        assert "multiple values for argument 'period'" in type_error(
            lambda: indicator_sma(3, vec(), vec(), **{"period": 2, "x": 1}))

    def test_undecodable_keyword_leaves_no_error_pending(self):
        name = "bad\ud800"
        message = type_error(lambda: indicator_sma(3, vec(), vec(), **{name: 1}))
        assert message.startswith("indicator_sma() got an unexpected keyword argument 'bad")
        # A pending encoding error would surface as a SystemError on the next call.
        out = np.zeros(5)
        indicator_sma(3, vec(), out)
        assert out[-1] == 4.0

    def test_keyword_names_are_case_sensitive(self):
        assert "unexpected keyword argument 'Period'" in type_error(
            lambda: indicator_sma(Period=3, data=vec(), output=vec()))


class TestPeriodConversion:
    def test_negative_and_too_large_periods_pass_the_overflow_error_through(self):
        for bad in (-1, 2**64):
            with pytest.raises(OverflowError) as info:
                indicator_sma(bad, vec(), np.zeros(5))
            assert not str(info.value).startswith("argument")

    @pytest.mark.parametrize("bad", [2.5, "3", None, [3]])
    def test_non_integers_are_prefixed(self, bad):
        assert type_error(lambda: indicator_sma(bad, vec(), np.zeros(5))).startswith(
            "argument 'period': ")

    def test_macd_names_the_failing_period(self):
        assert type_error(lambda: indicator_macd(1, 2.5, 1, vec(), vec(), vec(), vec())).startswith(
            "argument 'slow_period': ")

    def test_index_errors_keep_their_class_and_cause(self):
        class Raises:
            def __init__(self, error):
                self.error = error

            def __index__(self):
                raise self.error

        with pytest.raises(ValueError, match="^nope$"):
            indicator_sma(Raises(ValueError("nope")), vec(), np.zeros(5))

        class OwnTypeError(TypeError):
            pass

        with pytest.raises(OwnTypeError, match="^mine$"):
            indicator_sma(Raises(OwnTypeError("mine")), vec(), np.zeros(5))

        cause = KeyError("root")
        error = TypeError("inner")
        error.__cause__ = cause
        with pytest.raises(TypeError) as info:
            indicator_sma(Raises(error), vec(), np.zeros(5))
        assert str(info.value) == "argument 'period': inner"
        assert info.value.__cause__ is cause
        assert info.value.__suppress_context__

    def test_only_the_first_bad_parameter_is_reported(self):
        assert type_error(lambda: indicator_sma(2.5, [1.0], None)).startswith("argument 'period'")


class TestArrayConversion:
    @pytest.mark.parametrize("bad, shown", [
        ([1.0, 2.0], "list"),
        (np.zeros(3, dtype=np.float32), "ndarray"),
        (np.zeros((2, 2)), "ndarray"),
        (np.array(1.0), "ndarray"),
        (None, "NoneType"),
    ])
    def test_message(self, bad, shown):
        assert type_error(lambda: indicator_sma(3, bad, np.zeros(3))) == (
            f"argument 'data': '{shown}' object cannot be converted to 'PyArray<T, D>'")

    def test_each_parameter_is_named(self):
        assert type_error(lambda: indicator_atr(1, vec(), vec(), None, vec())).startswith(
            "argument 'close': 'NoneType'")
        assert type_error(lambda: indicator_macd(1, 2, 1, vec(), vec(), [0.0], vec())).startswith(
            "argument 'signal_output': 'list'")

    def test_subclass_passes(self):
        class Prices(np.ndarray):
            pass

        data = vec().view(Prices)
        out = np.zeros(5).view(Prices)
        indicator_sma(3, data, out)
        assert out[-1] == 4.0

    def test_qualified_type_name_is_shown(self):
        class Outer:
            class Inner:
                pass

        assert "'TestArrayConversion.test_qualified_type_name_is_shown.<locals>.Outer.Inner'" in (
            type_error(lambda: indicator_sma(3, Outer.Inner(), vec())))


def test_module_functions_are_the_same_objects():
    assert brindlex.indicator_sma is indicator_sma
