"""brindlex_stream: any split of a series into update, update_many, peeks, copies and pickles gives brindlex's whole-series values bit for bit."""

import copy
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import brindlex
import brindlex_stream
from conftest import EMULATED, NAN_MARKER, SANITIZED, bits

EXAMPLES = 60 if SANITIZED else 150 if EMULATED else 400  # emulated ARM64 runs some 30 times slower
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
TOP = 2**64 - 1

# NaNs with and without a payload: arithmetic carries payloads along, the rules write the marker.
INPUT_NAN = float(np.array([0x7FF8000000000001], dtype=np.uint64).view(np.float64)[0])
SPECIAL = [INPUT_NAN, np.nan, np.inf, -np.inf, -0.0, 0.0, 1e308, -1e308]
values = st.one_of(*[st.floats(-1e3, 1e3, width=64)] * 4, st.sampled_from(SPECIAL))
periods = st.one_of(st.integers(0, 12), st.integers(0, 60), st.sampled_from([TOP, TOP - 1, 2**63]),
                    st.integers(0, TOP))


def same(got, want):
    """Bits equal, or both NaN: a NaN of arithmetic has no fixed bits."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    agree = np.where(np.isnan(want), np.isnan(got), bits(got) == bits(want))
    return got.shape == want.shape and bool(agree.all())


def written_markers(name, params, columns, want):
    """Where the rules themselves write the marker (not arithmetic), one mask per output."""
    n = len(columns[0])
    i = np.arange(n)
    if name == "sma":
        return [(i < params[0] - 1) | (params[0] == 0)]
    if name == "ema":  # every NaN: the warm-up, skipped bars, no seed
        return [np.isnan(want[0])]
    if name == "atr":
        return [(i < params[0]) | (params[0] == 0)]
    rest = np.isnan(columns[0]) | (i < params[1] - 1)  # MACD: a NaN bar, the warm-up
    return [rest, rest, rest | np.isnan(want[1])]


@st.composite
def macd_periods(draw):
    f = draw(st.one_of(st.integers(1, 6), st.integers(1, TOP - 1)))
    s = draw(st.one_of(st.integers(f + 1, min(f + 30, TOP)), st.integers(f + 1, TOP)))
    # Around the bound s + g - 2 that wraps past 2^64 - 1.
    wrap = 2**64 - s + 2
    g = draw(st.one_of(st.integers(1, 12), st.integers(max(1, wrap - 2), TOP).filter(lambda g: g <= TOP),
                       st.integers(1, TOP)))
    return f, s, g


def whole_series(name, params, columns):
    n = len(columns[0])
    outputs = [np.empty(n) for _ in range(3 if name == "macd" else 1)]
    getattr(brindlex, f"indicator_{name}")(*params, *columns, *outputs)
    return outputs


def as_list(name, value):
    return list(value) if name == "macd" else [value]


def state(stream):
    return stream.__getstate__()


def drive(stream, name, columns, ops, data):
    """Feeds the bars through the drawn operations; returns the values, one array per output."""
    n = len(columns[0])
    width = 3 if name == "macd" else 1
    got = [[] for _ in range(width)]
    i = 0
    for op in ops:
        if op == "update" and i < n:
            for k, v in enumerate(as_list(name, stream.update(*(c[i] for c in columns)))):
                got[k].append(v)
            i += 1
        elif op == "many":
            j = data.draw(st.integers(i, n))
            for k, v in enumerate(as_list(name, stream.update_many(*(c[i:j] for c in columns)))):
                got[k].extend(v.tolist())
            i = j
        elif op == "peek":
            # A forming bar: random, then the real one, which must give what update will give.
            forming = [data.draw(values) for _ in columns]
            before = state(stream)
            stream.peek(*forming)
            if i < n:
                stream_copy = stream.copy()
                assert all(same(np.array([a]), np.array([b])) for a, b in zip(
                    as_list(name, stream.peek(*(c[i] for c in columns))),
                    as_list(name, stream_copy.update(*(c[i] for c in columns)))))
            assert state(stream) == before
        elif op == "fork":
            # The fork goes on; the original takes a junk bar, which must not reach the fork.
            twin = data.draw(st.sampled_from([stream.copy, lambda: copy.copy(stream), lambda: copy.deepcopy(stream),
                                              lambda: pickle.loads(pickle.dumps(stream))]))()
            assert state(twin) == state(stream) and repr(twin) == repr(stream)
            stream.update(*[data.draw(values) for _ in columns])
            stream = twin
    rest = [c[i:] for c in columns]
    for k, v in enumerate(as_list(name, stream.update_many(*rest))):
        got[k].extend(v.tolist())
    assert stream.count == n
    return stream, [np.array(g, dtype=np.float64) for g in got]


operations = st.lists(st.sampled_from(["update", "update", "many", "peek", "fork"]), max_size=30)


def check(stream, name, params, columns, ops, data):
    stream, got = drive(stream, name, columns, ops, data)
    want = whole_series(name, params, columns)
    for g, w, marked in zip(got, want, written_markers(name, params, columns, want)):
        assert same(g, w), (params, columns, g, w)
        assert (bits(g)[marked] == NAN_MARKER).all() and (bits(w)[marked] == NAN_MARKER).all()
    last = as_list(name, stream.value)
    assert all(same(np.array([v]), w[-1:] if len(w) else np.array([np.nan])) for v, w in zip(last, want))


@SETTINGS
@given(name=st.sampled_from(["sma", "ema"]), period=periods, x=st.lists(values, max_size=70),
       ops=operations, data=st.data())
def test_sma_and_ema_equal_the_whole_series(name, period, x, ops, data):
    cls = brindlex_stream.Sma if name == "sma" else brindlex_stream.Ema
    check(cls(period), name, (period,), [np.array(x, dtype=np.float64)], ops, data)


@SETTINGS
@given(params=macd_periods(), x=st.lists(values, max_size=70), ops=operations, data=st.data())
def test_macd_equals_the_whole_series(params, x, ops, data):
    check(brindlex_stream.Macd(*params), "macd", params, [np.array(x, dtype=np.float64)], ops, data)



@SETTINGS
@given(x=st.lists(values, min_size=1, max_size=60), holds=st.lists(st.integers(0, 4), min_size=60, max_size=60))
def test_macd_values_held_by_the_caller_never_change(x, holds):
    """However a result is held (whole, one field, unpacked, hashed, or not at all), later updates
    and peeks leave it as it was returned."""
    stream = brindlex_stream.Macd(2, 4, 2)
    held = []
    for i, v in enumerate(x):
        r = stream.peek(v) if holds[i] == 4 else stream.update(v)
        seen = bits(np.array(r))
        kept = [r, r.hist, tuple(r), (hash(r), r), None][holds[i]]
        del r
        held.append((kept, seen))
    for kept, seen in held:
        if isinstance(kept, float):
            assert bits(np.array([kept]))[0] == seen[2]
        elif isinstance(kept, tuple) and isinstance(kept[0], int):
            assert hash(kept[1]) == kept[0] and (bits(np.array(kept[1])) == seen).all()
        elif kept is not None:
            assert (bits(np.array(kept)) == seen).all()

@SETTINGS
@given(period=periods, bars=st.lists(st.tuples(values, values, values), max_size=60), ops=operations,
       data=st.data())
def test_atr_equals_the_whole_series(period, bars, ops, data):
    columns = [np.array(c, dtype=np.float64).reshape(-1) for c in zip(*bars)] or [np.empty(0)] * 3
    check(brindlex_stream.Atr(period), "atr", (period,), columns, ops, data)


STREAMS = {"sma": (brindlex_stream.Sma, 1), "ema": (brindlex_stream.Ema, 1), "macd": (brindlex_stream.Macd, 1),
           "atr": (brindlex_stream.Atr, 3)}


@st.composite
def any_stream(draw):
    """A stream class with its periods and bars for it, with or without NaN and infinities."""
    name = draw(st.sampled_from(sorted(STREAMS)))
    cls, inputs = STREAMS[name]
    params = draw(macd_periods()) if name == "macd" else (draw(st.one_of(st.integers(0, 12), periods)),)
    bars = st.floats(-1e3, 1e3, width=64) if draw(st.booleans()) else values
    n = draw(st.integers(0, 60))
    columns = [np.array(draw(st.lists(bars, min_size=n, max_size=n)), dtype=np.float64) for _ in range(inputs)]
    return name, cls, params, columns


def first_value(name, params, columns):
    """The bar of the first value: the first number the whole-series kernel writes (for MACD on
    the signal line, the last to appear). EMA and MACD seed on numbers and wait for them; the
    warm-up of SMA and ATR is a count of bars, after which a NaN in the window gives a NaN of
    arithmetic (whose bits may even be the marker's): theirs is found on bars of zeros."""
    if name in ("sma", "atr"):
        columns = [np.zeros_like(c) for c in columns]
    want = whole_series(name, params, columns)[1 if name == "macd" else 0]
    missing = np.isnan(want)
    return int(np.argmin(missing)) if not missing.all() else len(want)


@SETTINGS
@given(case=any_stream(), split=st.integers(0, 60))
def test_ready_turns_true_at_the_first_value(case, split):
    """`ready` is false before the first value and true from its bar on, whether the bars come
    one at a time or as a stretch."""
    name, cls, params, columns = case
    first = first_value(name, params, columns)
    stream = cls(*params)
    assert not stream.ready
    seen = []
    for bar in zip(*columns):
        stream.update(*bar)
        seen.append(stream.ready)
    assert seen == [i >= first for i in range(len(seen))]
    at = min(split, len(columns[0]))
    stretched = cls(*params)
    stretched.update_many(*(c[:at] for c in columns))
    assert stretched.ready == (at > first)


def test_long_stretches_match_the_kernels():
    """Beyond what the properties draw: long clean and NaN-sprinkled series, where update_many's
    fast loops run for thousands of bars, split at random."""
    rng = np.random.default_rng(7)
    for nan_share in (0.0, 0.001, 0.3):
        x = 100 + rng.normal(0, 1, 20_000).cumsum()
        x[rng.random(x.size) < nan_share] = INPUT_NAN
        high, low = x + rng.uniform(0, 2, x.size), x - rng.uniform(0, 2, x.size)
        cuts = np.sort(rng.integers(0, x.size, 6))
        for stream, name, params, columns in [
            (brindlex_stream.Sma(20), "sma", (20,), [x]), (brindlex_stream.Ema(20), "ema", (20,), [x]),
            (brindlex_stream.Macd(12, 26, 9), "macd", (12, 26, 9), [x]),
            (brindlex_stream.Atr(14), "atr", (14,), [high, low, x]),
        ]:
            got = [np.concatenate(parts) for parts in zip(*(
                as_list(name, stream.update_many(*(c[a:b] for c in columns)))
                for a, b in zip([0, *cuts], [*cuts, x.size])))]
            for g, w in zip(got, whole_series(name, params, columns)):
                assert same(g, w)


BAD_CALLS = {
    "sma": [lambda s: s.update("1.0"), lambda s: s.update(1j), lambda s: s.update(), lambda s: s.update(1.0, 2.0),
            lambda s: s.update_many(np.ones(3, complex)), lambda s: s.update_many(np.ones((2, 2))),
            lambda s: s.update_many(["a"]), lambda s: s.update_many(None), lambda s: s.peek(None),
            lambda s: s.update_many(np.array([1.0, object()], dtype=object))],
    "atr": [lambda s: s.update(1.0, 2.0), lambda s: s.update(1.0, 2.0, "3"),
            lambda s: s.update_many([1.0], [1.0, 2.0], [1.0]), lambda s: s.update_many([1.0], [1.0], [1j])],
}


@settings(max_examples=EXAMPLES // 4, deadline=None)
@given(which=st.sampled_from(["sma", "ema", "macd", "atr"]), x=st.lists(values, min_size=1, max_size=40),
       split=st.integers(0, 40), bad=st.integers(0, 9), data=st.data())
def test_failed_calls_change_nothing(which, x, split, bad, data):
    """A refused call raises a clear exception, leaves the state as it was, and the next bar
    gets the value it would have got."""
    make = {"sma": lambda: brindlex_stream.Sma(3), "ema": lambda: brindlex_stream.Ema(3),
            "macd": lambda: brindlex_stream.Macd(2, 5, 3), "atr": lambda: brindlex_stream.Atr(3)}[which]
    columns = [np.array(x)] * (3 if which == "atr" else 1)
    calls = BAD_CALLS["atr" if which == "atr" else "sma"]
    stream, control = make(), make()
    for s in (stream, control):
        s.update_many(*(c[:split] for c in columns))
    before = state(stream)
    with pytest.raises((TypeError, ValueError)) as raised:
        calls[bad % len(calls)](stream)
    assert str(raised.value)
    assert state(stream) == before
    for s in (stream, control):
        s.update_many(*(c[split:] for c in columns))
    assert state(stream) == state(control)


def test_bad_periods_are_refused_as_brindlex_refuses_them():
    x, out = np.ones(3), np.empty(3)
    for args in [(-1,), (2**64,), (1.5,), ("3",), (np.ones(2),)]:
        with pytest.raises(Exception) as ours:
            brindlex_stream.Sma(*args)
        with pytest.raises(Exception) as theirs:
            brindlex.indicator_sma(*args, x, out)
        assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))
    for f, s, g in [(0, 3, 1), (3, 3, 1), (4, 3, 1), (1, 3, 0)]:
        with pytest.raises(ValueError) as ours:
            brindlex_stream.Macd(f, s, g)
        with pytest.raises(ValueError) as theirs:
            brindlex.indicator_macd(f, s, g, x, out, out, out)
        assert str(ours.value) == str(theirs.value)


def test_states_that_do_not_fit_are_refused():
    stream = brindlex_stream.Macd()
    stream.update_many(np.arange(40.0))
    version, words = stream.__getstate__()
    for bad in [(version + 1, words), (version, words[:-8]), (version, words[:-3]), (version, b"\xff" * 8 + words[8:]),
                (version,), "state"]:
        fresh = brindlex_stream.Macd.__new__(brindlex_stream.Macd)
        with pytest.raises(ValueError):
            fresh.__setstate__(bad)
