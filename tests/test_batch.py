"""brindlex_batch: every series' result is brindlex's on that series, bit for bit, whatever the
layout, dtype, thread count and code path; bad arguments raise the documented exceptions and
leave `out` untouched."""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brindlex
import brindlex_batch as bb
from brindlex_batch import _native
from conftest import SANITIZED, bits, same_values

EXAMPLES = 30 if SANITIZED else 200
PROPERTY = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

TARGETS = _native._available_targets()
PAYLOAD_NAN = np.array([0x7FF8000000000001], dtype=np.uint64).view(np.float64)[0]
SPECIALS = np.array([np.nan, PAYLOAD_NAN, np.inf, -np.inf, -0.0, 0.0])
DTYPES = [np.float64, np.float64, np.float32, np.float16, np.int64, np.int32, np.uint8, ">f8"]
HUGE = [2**32 + 1, 2**63, 2**64 - 2, 2**64 - 1]


def values(draw, dtype, size):
    """Prices of the dtype, with NaN, infinities and signed zeros sprinkled in when it has them."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dtype = np.dtype(dtype)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, size, endpoint=True, dtype=dtype)
    x = rng.normal(100.0, 10.0, size)
    mask = rng.random(size) < draw(st.sampled_from([0.0, 0.05, 0.3]))
    x[mask] = rng.choice(SPECIALS, int(mask.sum()))
    return x.astype(dtype)


def laid_out(draw, array):
    """A copy of `array` with the same values in memory laid out another way: contiguous in C or
    Fortran order, as most callers' arrays are, steps of either sign on each axis, or at an
    address that is no multiple of 8."""
    how = draw(st.sampled_from(["contiguous", "strided", "strided", "unaligned"]))
    if how == "contiguous":
        return np.array(array, order=draw(st.sampled_from("CF")))
    if how == "unaligned":
        offset = draw(st.integers(1, 7))
        raw = np.zeros(array.nbytes + offset, np.uint8)[offset:]
        view = raw.view(array.dtype).reshape(array.shape) if array.size else np.empty_like(array)
    else:
        steps = [draw(st.sampled_from([1, 2, -1, -2])) for _ in array.shape]
        order = draw(st.sampled_from("CF"))
        buffer = np.zeros([n * abs(s) for n, s in zip(array.shape, steps)], array.dtype, order=order)
        view = buffer[tuple(slice(None, None, s) for s in steps)]
    view[...] = array
    return view


def run_lengths(draw, warm_up):
    """Lengths of the runs of a long column. Half the time (when the warm-up is short) every run
    but empty ones outlasts the warm-up, with lengths mostly distinct: the lanes then stop at the
    shortest run with a state to carry on from, and several longer runs each carry on alone from
    their own lane's state, the case where a tail taking up another lane's state shows."""
    # Up to 40 runs: whole groups of lanes on every target, not only the few runs that go one at a
    # time.
    most = draw(st.sampled_from([6, 40]))
    if warm_up > 40 or draw(st.booleans()):
        return draw(st.lists(st.integers(0, 40), max_size=most))
    beyond = st.integers(warm_up, warm_up + 12)
    return draw(st.lists(st.one_of(beyond, beyond, beyond, st.just(0)), min_size=most // 2,
                         max_size=most))


@st.composite
def calls(draw, inputs=1, warm_up=0):
    """Series of one dtype, their arrangement in the argument arrays and the call's keywords;
    `warm_up` is the number of bars up to the indicator's first value, around which run lengths
    are drawn.

    Returns (series, arrays, kwargs, pick): series[i][k] is input i's k-th series, and pick(result)
    gives the views of a result, one per series, in the same order."""
    dtype = draw(st.sampled_from(DTYPES))
    threads = draw(st.sampled_from([1, 2, 3, 0]))
    kind = draw(st.sampled_from(["rows", "columns", "one", "runs", "groups"]))
    if kind == "groups":
        return grouped(draw, inputs, dtype, run_lengths(draw, warm_up), threads)
    if kind == "runs":
        lengths = run_lengths(draw, warm_up)
        series = [[values(draw, dtype, n) for n in lengths] for _ in range(inputs)]
        columns = [np.concatenate(s) if s else np.empty(0, dtype) for s in series]
        arrays = [laid_out(draw, c) for c in columns]
        ends = np.cumsum(lengths, dtype=np.int64)
        kwargs = {"lengths": draw(st.sampled_from([list, np.array]))(lengths), "threads": threads}
        return series, arrays, kwargs, lambda r: np.split(r, ends[:-1]) if lengths else []
    count = 1 if kind == "one" else draw(st.integers(0, 40))
    length = draw(st.integers(0, 40))
    matrices = [values(draw, dtype, (count, length)) for _ in range(inputs)]
    series = [list(m) for m in matrices]
    if kind == "one":
        arrays = [laid_out(draw, m[0]) for m in matrices]
        axis = draw(st.sampled_from([0, -1]))
        return series, arrays, {"axis": axis, "threads": threads}, lambda r: [r]
    if kind == "rows":
        arrays = [laid_out(draw, m) for m in matrices]
        axis = draw(st.sampled_from([1, -1]))
        return series, arrays, {"axis": axis, "threads": threads}, lambda r: list(r)
    arrays = [laid_out(draw, m.T) for m in matrices]
    axis = draw(st.sampled_from([0, -2]))
    return series, arrays, {"axis": axis, "threads": threads}, lambda r: list(r.T)


CODE_DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64, np.intp]


def grouped(draw, inputs, dtype, lengths, threads):
    """The series of `lengths` as groups of rows of one column, for groups=: each group's rows
    adjacent, interleaved with the others' at random, or taking turns with them (rows in date
    order, every group once per date, the last two rows sometimes swapped), its code dense or
    sparse, of any integer dtype."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    rows = draw(st.sampled_from(["adjacent", "shuffled", "turns"]))
    if rows == "turns":
        lengths = [lengths[0]] * len(lengths) if lengths else []
    series = [[values(draw, dtype, n) for n in lengths] for _ in range(inputs)]
    labels = np.repeat(np.arange(len(lengths)), lengths)
    if rows == "shuffled":
        labels = rng.permutation(labels)
    elif rows == "turns" and lengths:
        labels = np.tile(rng.permutation(len(lengths)), lengths[0])
        if draw(st.booleans()):
            labels[-2:] = labels[-2:][::-1].copy()
    # Row order within each group: the rows of group g hold series g in order.
    order = np.argsort(labels, kind="stable")
    code_dtype = np.dtype(draw(st.sampled_from(CODE_DTYPES)))
    top = int(np.iinfo(code_dtype).max)
    spread = draw(st.sampled_from(["dense", "shuffled", "sparse"]))
    if spread == "dense" or len(lengths) == 0:
        codes = np.arange(len(lengths))
    elif spread == "shuffled":
        codes = rng.permutation(len(lengths))
    else:
        # Up to the dtype's largest code: far beyond the rows, where a table of codes would not do.
        room = min(top + 1, 200)
        codes = top - rng.choice(room, len(lengths), replace=False).astype(np.uint64)
    columns = []
    for s in series:
        column = np.empty(len(labels), dtype)
        column[order] = np.concatenate(s) if s else column[:0]
        columns.append(column)
    arrays = [laid_out(draw, c) for c in columns]
    row_codes = np.asarray(codes, dtype=np.uint64)[labels].astype(code_dtype)
    kwargs = {"groups": draw(st.sampled_from([np.asarray, list]))(row_codes), "threads": threads}
    ends = np.cumsum(lengths, dtype=np.int64)
    return series, arrays, kwargs, lambda r: np.split(r[order], ends[:-1]) if lengths else []


periods = st.one_of(st.integers(0, 45), st.sampled_from(HUGE))


def on_target(draw, call):
    """Runs call() on a code path the processor has, its outputs streamed past the caches or not,
    then gives the defaults back."""
    _native._force_target(draw(st.sampled_from(TARGETS)))
    _native._force_streaming(draw(st.booleans()))
    try:
        return call()
    finally:
        _native._force_target("default")
        _native._force_streaming(False)


def one_series(indicator, periods, inputs, outputs=1):
    """brindlex on one series: its outputs, freshly allocated."""
    columns = [np.ascontiguousarray(a, dtype=np.float64) for a in inputs]
    outs = [np.full(len(columns[0]), 7.0) for _ in range(outputs)]
    indicator(*periods, *columns, *outs)
    return outs


def assert_per_series(results, pick, expected):
    """Each series' values in the results (pick's parts, which cover every element) equal its
    expected values, number by number."""
    for output, result in enumerate(results):
        parts = pick(result)
        assert len(parts) == len(expected) and sum(part.size for part in parts) == result.size
        for part, outs in zip(parts, expected):
            assert same_values(part, outs[output])


def given_out(draw, arrays, count):
    """None, or `count` arrays of the result's shape in some layout, for out=."""
    if not draw(st.booleans()):
        return None
    shape = arrays[0].shape
    return [laid_out(draw, np.full(shape, 3.0)) for _ in range(count)]



@pytest.mark.parametrize("name", ["sma", "ema"])
@PROPERTY
@given(data=st.data(), period=periods)
def test_moving_average_is_brindlex_per_series(name, data, period):
    series, arrays, kwargs, pick = data.draw(calls(warm_up=period))
    outs = given_out(data.draw, arrays, 1)
    call = getattr(bb, name)
    result = on_target(data.draw, lambda: call(arrays[0], period, out=outs and outs[0], **kwargs))
    assert result.shape == arrays[0].shape and (outs is None or result is outs[0])
    indicator = getattr(brindlex, f"indicator_{name}")
    assert_per_series([result], pick, [one_series(indicator, [period], [s]) for s in series[0]])


macd_periods = st.one_of(
    st.tuples(st.integers(1, 30), st.integers(2, 45), st.integers(1, 30)).filter(lambda p: p[0] < p[1]),
    st.tuples(st.sampled_from(HUGE[:-1]), st.just(2**64 - 1), st.sampled_from([1, 2, *HUGE])),
    st.tuples(st.integers(1, 5), st.integers(6, 45), st.sampled_from(HUGE)),
)


@PROPERTY
@given(data=st.data(), periods=macd_periods)
def test_macd_is_brindlex_per_series(data, periods):
    series, arrays, kwargs, pick = data.draw(calls(warm_up=periods[1] + periods[2] - 1))
    outs = given_out(data.draw, arrays, 3)
    result = on_target(data.draw, lambda: bb.macd(arrays[0], *periods, out=outs and tuple(outs), **kwargs))
    assert isinstance(result, bb.MacdResult) and result.macd.shape == arrays[0].shape
    assert outs is None or all(r is o for r, o in zip(result, outs))
    expected = [one_series(brindlex.indicator_macd, periods, [s], 3) for s in series[0]]
    assert_per_series(result, pick, expected)


@PROPERTY
@given(data=st.data(), period=periods)
def test_atr_is_brindlex_per_series(data, period):
    series, arrays, kwargs, pick = data.draw(calls(inputs=3, warm_up=period + 1))
    outs = given_out(data.draw, arrays, 1)
    result = on_target(data.draw, lambda: bb.atr(*arrays, period, out=outs and outs[0], **kwargs))
    assert result.shape == arrays[0].shape and (outs is None or result is outs[0])
    expected = [one_series(brindlex.indicator_atr, [period], bars) for bars in zip(*series)]
    assert_per_series([result], pick, expected)



def shifted(shape, shift):
    """Zeros at an address `shift` doubles past a 64-byte line."""
    raw = np.zeros(int(np.prod(shape)) + 16)
    start = (-raw.ctypes.data // 8) % 8 + shift
    return raw[start:start + int(np.prod(shape))].reshape(shape)


STREAMED_CALLS = {
    "sma": (brindlex.indicator_sma, (20,), 1, 1), "ema": (brindlex.indicator_ema, (9,), 1, 1),
    "macd": (brindlex.indicator_macd, (3, 7, 4), 1, 3), "atr": (brindlex.indicator_atr, (5,), 3, 1),
}


@PROPERTY
@given(data=st.data(), name=st.sampled_from(sorted(STREAMED_CALLS)),
       count=st.one_of(st.integers(16, 56), st.integers(64, 160)),
       length=st.integers(1, 40), shifts=st.lists(st.integers(0, 7), min_size=3, max_size=3),
       order=st.sampled_from("CF"), threads=st.integers(1, 3))
def test_streamed_columns_are_brindlex_per_series(data, name, count, length, shifts, order, threads):
    """Series side by side with streamed outputs, however many series go before the outputs'
    first line and after the last whole group, read side by side or along rows, on threads cut
    where the lines start, rows of many groups gathered line by line where they do not start a
    line: each series still brindlex's."""
    indicator, periods, inputs, outputs = STREAMED_CALLS[name]
    bars = [np.array(values(data.draw, np.float64, (length, count)), order=order) for _ in range(inputs)]
    outs = [shifted((length, count), shift) for shift in shifts[:outputs]]
    _native._force_target(data.draw(st.sampled_from(TARGETS)))
    _native._force_streaming(True)
    try:
        getattr(bb, name)(*bars, *periods, axis=0, threads=threads, out=outs[0] if outputs == 1 else tuple(outs))
    finally:
        _native._force_target("default")
        _native._force_streaming(False)
    expected = [one_series(indicator, periods, columns, outputs) for columns in zip(*(b.T for b in bars))]
    assert_per_series(outs, lambda r: list(r.T), expected)


@pytest.mark.parametrize("shift", range(8))
def test_streamed_outputs_from_any_place_in_a_line(shift):
    """Outputs streamed line by line, whichever element of a line the rows start at (every row at
    the same one, or the outputs of MACD at different ones), in rows, runs and columns (read side
    by side or along rows): each series still brindlex's."""
    rng = np.random.default_rng(shift)
    # The last shift's rows each start elsewhere in a line; so do the odd shifts' columns.
    rows, n = 37 if shift % 2 else 40, 8 * 29 + 3 * (shift == 7)
    bars = []
    for offset in (1, 0, -1):
        x = shifted((rows, n), (shift + 3) % 8)
        x[...] = 100 + offset + rng.normal(size=(rows, n)).cumsum(axis=1)
        x.flat[rng.choice(x.size, 25)] = np.nan
        bars.append(x)
    outs = [shifted((rows, n), (shift + k * (shift % 2)) % 8) for k in range(3)]
    columns = [shifted((n, rows), (shift + k * (shift % 2)) % 8) for k in range(3)]
    calls = {
        "sma": (brindlex.indicator_sma, (20,), bars[1:2], 1),
        "ema": (brindlex.indicator_ema, (20,), bars[1:2], 1),
        "macd": (brindlex.indicator_macd, (12, 26, 9), bars[1:2], 3),
        "atr": (brindlex.indicator_atr, (14,), [bars[0], bars[2], bars[1]], 1),
    }
    _native._force_streaming(True)
    try:
        for target in TARGETS:
            _native._force_target(target)
            for name, (indicator, periods, inputs, count) in calls.items():
                expected = [one_series(indicator, periods, row, count) for row in zip(*inputs)]
                call = getattr(bb, name)
                layouts = {
                    "rows": (inputs, outs[:count], {"threads": 2}),
                    "runs": ([a.reshape(-1) for a in inputs], [o.reshape(-1) for o in outs[:count]],
                             {"lengths": np.full(rows, n)}),
                    "columns": ([np.copy(a.T, order="C") for a in inputs], columns[:count], {"axis": 0, "threads": 2}),
                    "columns along rows": ([a.T for a in inputs], columns[:count], {"axis": 0}),
                }
                for layout, (ins, out, kwargs) in layouts.items():
                    call(*ins, *periods, out=out[0] if count == 1 else tuple(out), **kwargs)
                    by_series = (lambda r: list(r.T)) if "columns" in layout else (lambda r: list(r.reshape(rows, n)))
                    assert_per_series(out, by_series, expected)
    finally:
        _native._force_target("default")
        _native._force_streaming(False)


def test_delayed_seeds_reach_rows_gathered_line_by_line():
    """EMA seeds put off by a NaN are written apart from the lanes' stores; in rows of many groups
    that do not start a line, which go out line by line through a window, they still land: each
    series still brindlex's."""
    rng = np.random.default_rng(7)
    length, count = 30, 100
    x = 100 + rng.normal(size=(length, count)).cumsum(axis=0)
    x[rng.integers(0, 5, count), np.arange(count)] = np.nan  # every series' seed put off
    out = shifted((length, count), 3)
    expected = [one_series(brindlex.indicator_ema, (5,), [np.ascontiguousarray(c)], 1) for c in x.T]
    _native._force_streaming(True)
    try:
        for target in TARGETS:
            _native._force_target(target)
            bb.ema(x, 5, axis=0, out=out)
            assert_per_series([out], lambda r: list(r.T), expected)
    finally:
        _native._force_target("default")
        _native._force_streaming(False)


def test_allocated_outputs_of_many_groups_in_no_order_hold_what_given_ones_do():
    """Outputs allocated for many groups whose rows interleave (faulted in whole, then written past
    the caches, once the groups' states take a mebibyte or more) hold what outputs given with
    out= do, bit for bit."""
    rng = np.random.default_rng(7)
    codes = rng.permutation(np.repeat(np.arange(4000), 150))
    x = 100 + rng.normal(size=codes.size).cumsum()
    x[rng.choice(x.size, 50)] = np.nan
    given = tuple(np.full_like(x, 7.0) for _ in range(3))
    bb.macd(x, 12, 26, 9, groups=codes, out=given)
    for allocated, written in zip(bb.macd(x, 12, 26, 9, groups=codes), given):
        assert np.array_equal(bits(allocated), bits(written))


def bad_values(good, outs):
    """For each kind of argument, values that are wrong whatever the other arguments."""
    read_only = outs[0].view()
    read_only.flags.writeable = False
    return {
        "data": [good.astype(complex), good.astype(object), good.astype(bool), good.astype(str),
                 good[None], np.float64(1.0), None, "prices", [[1.0], [1.0, 2.0]]],
        "period": [-1, 2**64, 1.5, "3", None],
        "axis": [2, -3, 1.0, "0"],
        "threads": [-1, 2.0, "2"],
        # Data are two-dimensional: even a right sum is wrong.
        "lengths": [[good.size], [good.size + 1, -1], [1.0] * good.size, [[good.size]], ["1"]],
        "groups": [np.zeros(good.size, np.int64), [0] * good.shape[1], [-1], [0.5]],
        "out": [outs[0][:1], outs[0].astype(np.float32), outs[0].tolist(), outs[0].T, read_only,
                good, good[::-1], good[:, ::-1],
                np.lib.stride_tricks.as_strided(outs[0], strides=(0, 8), writeable=True)],
    }


GOOD_CALLS = {
    "sma": lambda good, outs: {"data": good, "period": 3, "out": outs[0]},
    "ema": lambda good, outs: {"data": good, "period": 3, "out": outs[0]},
    "macd": lambda good, outs: {"data": good, "fast_period": 2, "slow_period": 3, "signal_period": 2,
                                "out": tuple(outs)},
    "atr": lambda good, outs: {"high": good, "low": good, "close": good, "period": 2, "out": outs[0]},
}
KINDS = {"data": "data", "high": "data", "low": "data", "close": "data", "period": "period",
         "fast_period": "period", "slow_period": "period", "signal_period": "period"}


@PROPERTY
@given(data=st.data())
def test_bad_argument_raises_and_writes_nothing(data):
    good = np.linspace(1.0, 2.0, 15).reshape(3, 5)
    outs = [np.full(good.shape, 3.0 + k) for k in range(3)]
    name = data.draw(st.sampled_from(sorted(GOOD_CALLS)))
    keywords = GOOD_CALLS[name](good, outs) | {"axis": -1, "threads": 1, "lengths": None, "groups": None}
    argument = data.draw(st.sampled_from(sorted(keywords)))
    value = data.draw(st.sampled_from(bad_values(good, outs)[KINDS.get(argument, argument)]))
    if name == "macd" and argument == "out":
        item = data.draw(st.integers(0, 3))
        value = value if item == 3 else tuple(value if k == item else outs[k] for k in range(3))
    if name == "macd" and data.draw(st.booleans()):
        # Periods each fine alone, wrong together, in brindlex's words.
        keywords |= data.draw(st.sampled_from([{"fast_period": 0}, {"signal_period": 0},
                                               {"fast_period": 3}, {"fast_period": 4}]))
    else:
        keywords[argument] = value
    before = [bits(a).copy() for a in (good, *outs)]
    with pytest.raises((TypeError, ValueError, OverflowError)) as raised:
        getattr(bb, name)(**keywords)
    message = str(raised.value)
    assert "argument" in message or "eriod" in message, message
    assert all(np.array_equal(bits(a), b) for a, b in zip((good, *outs), before))


BAD_CODES = [
    (lambda codes: codes - 1, ValueError, "expected codes of 0 or more, got -1"),
    (lambda codes: codes.astype(np.int8) - 3, ValueError, "expected codes of 0 or more, got -3"),
    (lambda codes: codes.astype(np.float64), TypeError, "expected integers, got dtype float64"),
    (lambda codes: codes.astype(bool), TypeError, "expected integers, got dtype bool"),
    (lambda codes: codes.astype(str), TypeError, "expected integers"),
    (lambda codes: codes[:-1], ValueError, "expected one code per row (12), got 11"),
    (lambda codes: codes[None], ValueError, "expected a one-dimensional sequence"),
]


@PROPERTY
@given(data=st.data())
def test_bad_groups_raise_and_write_nothing(data):
    good = np.linspace(1.0, 2.0, 12)
    outs = [np.full(good.shape, 3.0 + k) for k in range(3)]
    name = data.draw(st.sampled_from(sorted(GOOD_CALLS)))
    codes = np.array(data.draw(st.lists(st.integers(0, 3), min_size=12, max_size=12)))
    codes -= codes.min()  # the least code is 0, so that the bad codes' least is the message's
    make, error, words = data.draw(st.sampled_from(BAD_CODES))
    keywords = GOOD_CALLS[name](good, outs) | {"groups": make(codes), "threads": data.draw(st.sampled_from([1, 2]))}
    if data.draw(st.booleans()):
        keywords |= {"groups": codes, "lengths": [12]}
        error, words = ValueError, "arguments 'lengths' and 'groups': expected one of them, got both"
    before = [bits(a).copy() for a in (good, *outs)]
    with pytest.raises(error) as raised:
        getattr(bb, name)(**keywords)
    assert words in str(raised.value) and "groups" in str(raised.value)
    assert all(np.array_equal(bits(a), b) for a, b in zip((good, *outs), before))


@pytest.mark.parametrize("convert", [
    lambda a: __import__("pandas").Series(a),
    lambda a: __import__("polars").Series(a).to_numpy(),
    lambda a: __import__("pyarrow").array(a),
    lambda a: a.tolist(),
    lambda a: memoryview(a),
], ids=["pandas Series", "polars to_numpy", "pyarrow array", "list", "memoryview"])
def test_other_array_types_give_the_numpy_result(convert):
    prices = np.array([1.0, 2.0, np.nan, 4.0, 8.0, -0.0, 3.0])
    try:
        given = convert(prices)
    except ImportError as missing:
        pytest.skip(str(missing))
    assert np.array_equal(bits(bb.ema(given, 2)), bits(bb.ema(prices, 2)))


def test_concurrent_calls_share_out_the_helper_threads():
    # One call at a time has the helper threads; the others start threads of their own.
    close = np.random.default_rng(3).normal(100.0, 1.0, (64, 300))
    alone = bits(bb.ema(close, 10))
    results = []

    def caller():
        results.extend(bits(bb.ema(close, 10, threads=2)) for _ in range(20))

    callers = [threading.Thread(target=caller) for _ in range(4)]
    for thread in callers:
        thread.start()
    for thread in callers:
        thread.join()
    assert len(results) == 80 and all(np.array_equal(r, alone) for r in results)


def test_a_child_process_computes_on_helper_threads_of_its_own():
    script = """if True:
        import os, warnings
        import numpy as np, brindlex_batch as bb
        warnings.simplefilter("ignore", DeprecationWarning)
        close = np.random.default_rng(3).normal(100.0, 1.0, (64, 300))
        parent = bb.sma(close, 5, threads=2)
        pid = os.fork()
        if pid == 0:
            os._exit(0 if np.array_equal(bb.sma(close, 5, threads=2), parent, equal_nan=True) else 3)
        assert os.waitpid(pid, 0)[1] == 0
    """
    subprocess.run([sys.executable, "-P", "-c", script], check=True, timeout=120)


def test_helper_threads_run_only_where_the_caller_may():
    """Helpers are kept off the caller's processor, but never moved outside the processors the
    caller may run on: a caller confined to one keeps its helpers there."""
    script = """if True:
        import os
        import numpy as np, brindlex_batch as bb
        def tasks():
            return {int(t) for t in os.listdir("/proc/self/task")}
        if len(os.sched_getaffinity(0)) > 1:
            close = np.random.default_rng(3).normal(100.0, 1.0, (64, 3000))
            before = tasks()
            alone = bb.ema(close, 10)
            assert np.array_equal(bb.ema(close, 10, threads=2), alone, equal_nan=True)
            helpers = tasks() - before
            cpu = min(os.sched_getaffinity(0))
            os.sched_setaffinity(0, {cpu})
            assert np.array_equal(bb.ema(close, 10, threads=2), alone, equal_nan=True)
            assert helpers and all(os.sched_getaffinity(t) == {cpu} for t in helpers)
    """
    subprocess.run([sys.executable, "-P", "-c", script], check=True, timeout=120,
                   env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})


def test_calls_bind_their_arguments_as_the_signature_says():
    """Plain calls bind in C++, every other call runs the Python definition: both take the same
    arguments the same way, and the functions look and pickle as the definitions do."""
    import inspect
    import pickle

    x = np.random.default_rng(7).normal(0, 1, 50).cumsum()
    want = [np.empty_like(x) for _ in range(3)]
    brindlex.indicator_macd(12, 26, 9, x, *want)
    by_position = bb.macd(x)
    # Defaults filled in, keywords in any order, a period as a NumPy integer (the definition's path).
    for got in (by_position, bb.macd(x, 12, signal_period=9), bb.macd(signal_period=9, data=x, slow_period=26),
                bb.macd(x, np.int64(12), 26, 9, threads=1, axis=-1), bb.macd(x, out=tuple(np.empty((3, 50))))):
        assert all(np.array_equal(bits(g), bits(w)) for g, w in zip(got, want))
    with pytest.raises(TypeError, match=r"macd\(\) got an unexpected keyword argument 'period'"):
        bb.macd(x, period=3)
    with pytest.raises(TypeError, match=r"sma\(\) got multiple values for argument 'period'"):
        bb.sma(x, 3, period=3)
    with pytest.raises(TypeError, match=r"atr\(\) takes from 3 to 4 positional arguments but 5 were given"):
        bb.atr(x, x, x, 3, -1)
    assert str(inspect.signature(bb.atr)) == "(high, low, close, period=14, *, axis=-1, lengths=None, groups=None, out=None, threads=1)"
    assert pickle.loads(pickle.dumps(bb.ema)) is bb.ema and bb.ema.__module__ == "brindlex_batch"
    assert "Exponential moving average" in bb.ema.__doc__

