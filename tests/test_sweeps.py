"""Parameter sweeps: every slice of a sweep is brindlex's result for that slice's periods, bit for
bit, whatever the periods (repeated, 0, 1, huge, unsorted), the layout and the code path; a bad
sweep raises the documented exception and leaves `out` untouched."""

import itertools

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import brindlex
import brindlex_batch as bb
from conftest import bits
from test_batch import HUGE, PROPERTY, assert_per_series, calls, laid_out, on_target, one_series

period_values = st.one_of(st.integers(0, 45), st.sampled_from([0, 1, *HUGE]))
containers = st.sampled_from([list, tuple, lambda v: np.array(v, dtype=np.uint64)])


def sweep_of(draw, items):
    """`items` as one of the sequence types a sweep takes."""
    return draw(containers)(items)


def swept_out(draw, shape, count):
    """None, or `count` arrays of the sweep's full shape in some layout, for out=."""
    if not draw(st.booleans()):
        return None
    return [laid_out(draw, np.full(shape, 3.0)) for _ in range(count)]


def check_slices(results, grid, swept, pick, expected_of):
    """Slice by slice over the sweep's combinations (`grid`: each argument's values, a one-period
    argument's as a list of one; `swept`: which arguments were sequences), the results equal
    brindlex's for that combination."""
    lengths = [len(values) for values, s in zip(grid, swept) if s]
    for index, combination in zip(np.ndindex(*lengths), itertools.product(*grid)):
        assert_per_series([r[index] for r in results], pick, expected_of(combination))


@pytest.mark.parametrize("name", ["sma", "ema"])
@PROPERTY
@given(data=st.data(), periods=st.lists(period_values, max_size=10))
def test_moving_average_sweep_is_brindlex_per_period(name, data, periods):
    series, arrays, kwargs, pick = data.draw(calls(warm_up=min(periods, default=0)))
    shape = (len(periods), *arrays[0].shape)
    outs = swept_out(data.draw, shape, 1)
    call = getattr(bb, name)
    result = on_target(data.draw, lambda: call(arrays[0], sweep_of(data.draw, periods), out=outs and outs[0], **kwargs))
    assert result.shape == shape and (outs is None or result is outs[0])
    indicator = getattr(brindlex, f"indicator_{name}")
    check_slices([result], [periods], [True], pick, lambda c: [one_series(indicator, c, [s]) for s in series[0]])
    assert bb.warmup(name, periods) == [bb.warmup(name, p) for p in periods]


@PROPERTY
@given(data=st.data(),
       fast=st.lists(st.integers(1, 12), min_size=1, max_size=3),
       slow=st.lists(st.one_of(st.integers(13, 45), st.just(2**64 - 1)), min_size=1, max_size=3),
       signal=st.lists(st.one_of(st.integers(1, 30), st.sampled_from(HUGE)), min_size=1, max_size=3))
def test_macd_sweep_is_brindlex_per_combination(data, fast, slow, signal):
    series, arrays, kwargs, pick = data.draw(calls(warm_up=min(slow) + min(signal) - 1))
    grid = [fast, slow, signal]
    # One period, half the time, where there is exactly one.
    swept = [len(v) > 1 or data.draw(st.booleans()) for v in grid]
    given_periods = [sweep_of(data.draw, v) if s else v[0] for v, s in zip(grid, swept)]
    shape = (*(len(v) for v, s in zip(grid, swept) if s), *arrays[0].shape)
    outs = swept_out(data.draw, shape, 3)
    result = on_target(data.draw, lambda: bb.macd(arrays[0], *given_periods, out=outs and tuple(outs), **kwargs))
    assert isinstance(result, bb.MacdResult) and all(r.shape == shape for r in result)
    assert outs is None or all(r is o for r, o in zip(result, outs))
    check_slices(result, grid, swept, pick, lambda c: [one_series(brindlex.indicator_macd, c, [s], 3) for s in series[0]])


@PROPERTY
@given(data=st.data(), periods=st.lists(period_values, max_size=10))
def test_atr_sweep_is_brindlex_per_period(data, periods):
    series, arrays, kwargs, pick = data.draw(calls(inputs=3, warm_up=min(periods, default=0) + 1))
    shape = (len(periods), *arrays[0].shape)
    outs = swept_out(data.draw, shape, 1)
    result = on_target(data.draw, lambda: bb.atr(*arrays, sweep_of(data.draw, periods), out=outs and outs[0], **kwargs))
    assert result.shape == shape and (outs is None or result is outs[0])
    check_slices([result], [periods], [True], pick, lambda c: [one_series(brindlex.indicator_atr, c, bars) for bars in zip(*series)])


@PROPERTY
@given(data=st.data(), name=st.sampled_from(["sma", "ema", "macd", "atr"]),
       fault=st.sampled_from(["order", "nested", "negative"]), at=st.integers(0, 3))
def test_bad_sweep_raises_and_writes_nothing(data, name, fault, at):
    inputs = 3 if name == "atr" else 1
    arrays = [np.random.default_rng(at).normal(100, 1, (2, 30)) for _ in range(inputs)]
    good = [[3, 5, 2, 4][: at + 1], [30, 40], [4]] if name == "macd" else [[3, 5, 2, 4][: at + 1]]
    where = data.draw(st.integers(0, len(good) - 1))
    if fault == "order" and name == "macd":
        good[1].insert(at % 3, good[0][-1])  # a slow period equal to a fast one
        expected, words = ValueError, rf"fast_period=\d+, slow_period={good[0][-1]},"
    elif fault in ("order", "nested"):
        good[where] = [good[where]]
        expected, words = ValueError, "sequence of sequences"
    else:
        good[where].insert(at % (len(good[where]) + 1), -1 - at)
        expected, words = OverflowError, "-"
    shape = tuple(len(g) for g in good) + arrays[0].shape
    outs = [np.full(shape, 3.0) for _ in range(3 if name == "macd" else 1)]
    before = [bits(o).copy() for o in outs]
    out = tuple(outs) if name == "macd" else outs[0]
    with pytest.raises(expected, match=words):
        getattr(bb, name)(*arrays, *(data.draw(st.sampled_from([list, tuple]))(g) for g in good), out=out)
    assert all(np.array_equal(bits(o), b) for o, b in zip(outs, before))
    with pytest.raises(expected, match=words):
        bb.warmup(name, *good)
