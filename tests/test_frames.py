"""The DataFrame fronts give, group by group and in any row order, exactly brindlex's results."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import brindlex
import brindlex_batch
from conftest import NAN_MARKER, SANITIZED, bits, same_values

try:
    import pyarrow

    ARROW = True
except ImportError:
    ARROW = False

# Each example builds DataFrames; under the sanitizers every allocation is checked, so fewer.
SCALE = 6 if SANITIZED else 1


@pytest.fixture(scope="module")
def pl():
    polars = pytest.importorskip("polars")
    import brindlex_batch.polars  # noqa: F401  (registers the namespace)

    return polars


@pytest.fixture(scope="module")
def pd():
    return pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def bxd(pd):
    import brindlex_batch.pandas

    return brindlex_batch.pandas


def plain(high, low, close, periods):
    """Each output of one brindlex call per indicator, on one group's bars."""
    (sma, ema, atr), (fast, slow, signal) = periods
    out = {name: np.full_like(close, 1.0) for name in ("sma", "ema", "macd", "signal", "hist", "atr")}
    brindlex.indicator_sma(sma, close, out["sma"])
    brindlex.indicator_ema(ema, close, out["ema"])
    brindlex.indicator_macd(fast, slow, signal, close, out["macd"], out["signal"], out["hist"])
    brindlex.indicator_atr(atr, high, low, close, out["atr"])
    return out


@st.composite
def long_frames(draw):
    """Bars of a few groups, each group's rows in time order but the groups interleaved at random,
    taking turns as dates do, or adjacent, with NaN, infinities and missing values (`missing`: True) sprinkled over the
    prices. Groups are numbered in `keys`; the last one's key is sometimes the missing key, drawn
    by key_column."""
    lengths = draw(st.lists(st.integers(0, 40), min_size=1, max_size=4))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    keys = np.repeat(np.arange(len(lengths)), lengths)
    order = draw(st.sampled_from(["adjacent", "shuffled", "dates"]))
    if order == "shuffled":
        keys = rng.permutation(keys)
    elif order == "dates":  # a panel appended date by date: every group once a date
        keys = np.tile(np.arange(len(lengths)), max(lengths))
    close = 100 + rng.normal(0, 1, len(keys)).cumsum()
    spread = rng.uniform(0.1, 1.0, len(keys))
    prices = {"high": close + spread, "low": close - spread, "close": close}
    missing = {}
    for name, column in prices.items():
        column[rng.random(len(keys)) < 0.04] = np.nan
        column[rng.random(len(keys)) < 0.01] = rng.choice([np.inf, -np.inf])
        missing[name] = rng.random(len(keys)) < 0.04
    fast, longer = draw(st.integers(1, 8)), draw(st.integers(1, 20))
    periods = (tuple(draw(st.integers(0, 30)) for _ in range(3)), (fast, fast + longer, draw(st.integers(1, 10))))
    return keys, prices, missing, periods


# Keys of each kind: integers (negative ones too), strings, categories, floats. Where `null_key`,
# group `last` has the missing key (None, NaN, pd.NA or a missing category).
KEY_KINDS = ["int", "negative int", "string", "long string", "categorical", "float"]


def key_column(lib, kind, keys, null_key):
    """Keys of the kind for the group numbers `keys`, as a polars or pandas Series."""
    pl_or_pd = lib.__name__
    last = keys.max(initial=0)
    absent = null_key & (keys == last)
    if kind in ("int", "negative int"):
        values = keys * 1000 - (5_000 if kind == "negative int" else 0)
    elif kind == "float":
        values = keys * 0.5
    else:  # keys of up to 12 characters lie in place in an Arrow string view, longer ones beside it
        name = "a ticker named at length " if kind == "long string" else "k"
        values = np.array([f"{name}{k}" for k in keys], dtype=object)
    if pl_or_pd == "polars":
        column = lib.Series("key", values, strict=False).set(lib.Series(absent), None)
        return column.cast(lib.Categorical) if kind == "categorical" else column
    dtype = {"int": "Int64", "negative int": "Int64", "float": None, "string": object,
             "long string": "string[pyarrow]" if ARROW else object, "categorical": "category"}[kind]
    column = lib.Series(values, dtype=dtype)
    column[absent] = None
    return column


def expected(keys, prices, missing, periods):
    """brindlex's outputs group by group, put back in the frame's rows; missing prices read as NaN."""
    nan = {name: np.where(missing[name], np.nan, column) for name, column in prices.items()}
    out = {name: np.empty(len(keys)) for name in ("sma", "ema", "macd", "signal", "hist", "atr")}
    for key in np.unique(keys):
        rows = np.flatnonzero(keys == key)
        for name, values in plain(*(nan[n][rows] for n in ("high", "low", "close")), periods).items():
            out[name][rows] = values
    return out


@settings(max_examples=150 // SCALE, deadline=None)
@given(frame=long_frames(), nan_as_null=st.booleans(), lazy=st.booleans(), kind=st.sampled_from(KEY_KINDS),
       null_key=st.booleans(), over=st.booleans())
def test_polars_matches_brindlex_per_group(pl, frame, nan_as_null, lazy, kind, null_key, over):
    import brindlex_batch.polars as bxp

    keys, prices, missing, periods = frame
    (sma, ema, atr), (fast, slow, signal) = periods
    bars = pl.DataFrame({"key": key_column(pl, kind, keys, null_key), **{
        name: pl.Series(name, column).set(pl.Series(missing[name]), None)
        for name, column in prices.items()}})
    options = {"nan_as_null": nan_as_null} if over else {"by": "key", "nan_as_null": nan_as_null}
    window = (lambda expr: expr.over("key")) if over else (lambda expr: expr)
    query = (bars.lazy() if lazy else bars).select(
        window(pl.col("close").bx.sma(sma, **options).alias("sma")),
        window(pl.col("close").bx.ema(ema, **options)).alias("ema"),
        window(pl.col("close").bx.macd(fast, slow, signal, **options)).struct.unnest(),
        window(bxp.atr("high", "low", pl.col("close"), atr, **options)))
    result = query.collect(engine="streaming") if lazy else query
    for name, want in expected(keys, prices, missing, periods).items():
        got = result[name]
        if nan_as_null:
            assert np.array_equal(got.is_null().to_numpy(), np.isnan(want)), name
            got, want = got.drop_nulls(), want[~np.isnan(want)]
        assert same_values(got.to_numpy(), want), name


@settings(max_examples=150 // SCALE, deadline=None)
@given(frame=long_frames(), keys_as=st.sampled_from(["series", "array", "shuffled index", "unlabelled rows"]),
       kind=st.sampled_from(KEY_KINDS), null_key=st.booleans(), dropna=st.booleans())
def test_pandas_matches_brindlex_per_group(pd, bxd, frame, keys_as, kind, null_key, dropna):
    """Rows whose key is missing, or who have no key for their label, get NaN; with
    dropna=False they are one group of their own, as in pandas' groupby."""
    keys, prices, missing, periods = frame
    (sma, ema, atr), (fast, slow, signal) = periods
    index = pd.Index(np.random.default_rng(len(keys)).permutation(len(keys)) * 10)
    # A missing price as NaN in one column, as pd.NA of a nullable column in the others.
    bars = pd.DataFrame({name: pd.array(np.where(missing[name], np.nan, column), dtype="Float64" if name != "close" else None)
                         for name, column in prices.items()}, index=index)
    bars.loc[missing["close"], "close"] = np.nan
    labels = key_column(pd, kind, keys, null_key).set_axis(index)
    by = {"series": labels, "array": labels.array,
          "shuffled index": labels.sample(frac=1.0, random_state=1),
          "unlabelled rows": labels.dropna().sample(frac=1.0, random_state=2)}[keys_as]
    options = {"by": by, "dropna": dropna}
    results = {"sma": bxd.sma(bars["close"], sma, **options), "ema": bxd.ema(bars["close"], ema, **options),
               **bxd.macd(bars["close"], fast, slow, signal, **options),
               "atr": bxd.atr(bars["high"], bars["low"], bars["close"], atr, **options)}
    keyless = null_key & (keys == keys.max(initial=0))
    for name, want in expected(keys, prices, missing, periods).items():
        if dropna:
            want[keyless] = np.nan
        assert results[name].index.equals(index)
        assert same_values(results[name].to_numpy(), want), name
    assert results["sma"].name == f"sma_{sma}" and results["atr"].name == f"atr_{atr}"


class TestPolarsMissingValues:
    def test_a_null_input_is_nan_to_the_kernels(self, pl):
        with_null = pl.DataFrame({"x": [1.0, None, 3.0, 4.0, 5.0]})
        with_nan = pl.DataFrame({"x": [1.0, np.nan, 3.0, 4.0, 5.0]})
        ema = pl.col("x").bx.ema(2, nan_as_null=False)
        assert np.array_equal(bits(with_null.select(ema).to_series().to_numpy()),
                              bits(with_nan.select(ema).to_series().to_numpy()))

    def test_nan_comes_back_as_null_or_keeps_its_bits(self, pl):
        frame = pl.DataFrame({"x": [1.0, 2.0, 3.0, np.nan, 5.0]})
        assert frame.select(pl.col("x").bx.sma(2)).to_series().to_list() == [None, 1.5, 2.5, None, None]
        kept = frame.select(pl.col("x").bx.sma(2, nan_as_null=False)).to_series().to_numpy()
        assert bits(kept)[0] == NAN_MARKER and np.isnan(kept[3:]).all()

    def test_a_null_key_is_a_key_of_its_own(self, pl):
        frame = pl.DataFrame({"key": ["a", None, "a", None, "a"], "x": [1.0, 10.0, 2.0, 20.0, 3.0]})
        assert frame.select(pl.col("x").bx.sma(2, by="key")).to_series().to_list() == [None, None, 1.5, 15.0, 2.5]

    def test_dates_taking_turns_are_each_keys_own_series(self, pl):
        """A panel appended date by date, read as a block of one series per key, gives what the same
        frame sorted by key gives."""
        import brindlex_batch.polars as bxp

        close = 100 + np.random.default_rng(5).normal(0, 1, 120).cumsum()
        close[7] = np.nan
        frame = pl.DataFrame({"key": np.tile(["b", "a", "c"], 40), "high": close + 1, "low": close - 1,
                              "close": close}).with_row_index()
        exprs = ("index", pl.col("close").bx.sma(5, by="key"), pl.col("close").bx.macd(3, 6, 4, by="key").alias("m"),
                 bxp.atr("high", "low", "close", 5, by="key"))
        by_key = frame.sort("key", maintain_order=True).select(*exprs).sort("index")
        assert frame.select(*exprs).equals(by_key)

    def test_over_is_polars_own_over_in_one_call(self, pl):
        """`.over()` straight on an indicator runs as `by=`; polars' own window, calling it once per
        group, gives the same, null keys and several keys included."""
        import copy

        import brindlex_batch.polars as bxp

        frame = pl.DataFrame({"key": [1, 2, None, 2, 1, None, 1], "side": ["a", "b", "a", "b", "b", "a", "a"],
                              "x": [1.0, 9, 2, 8, 4, np.nan, 8]})
        for keys in ("key", ["key", pl.col("side")]):
            for expr in (pl.col("x").bx.ema(2).alias("e"), pl.col("x").bx.macd(1, 2, 2),
                         bxp.atr("x", "x", "x", 2, nan_as_null=False)):
                fast, slow = frame.select(expr.over(keys)), frame.select(pl.Expr.over(expr, keys))
                assert ".over(" not in str(expr.over(keys))  # no window: the keys went to the one call
                assert fast.equals(slow), (keys, expr)
                # A copy holds polars' state only, and keeps polars' window.
                assert frame.select(copy.copy(expr).over(keys)).equals(slow)

    def test_a_streaming_query_hands_over_whole_columns(self, pl):
        x = np.random.default_rng(3).normal(0, 1, 300_000).cumsum()
        frame = pl.LazyFrame({"key": np.repeat([7, 3, 5], 100_000), "x": x})
        got = frame.select(pl.col("x").bx.ema(20, nan_as_null=False).alias("one"),
                           pl.col("x").bx.ema(20, by="key", nan_as_null=False).alias("each")).collect(engine="streaming")
        assert np.array_equal(bits(got["one"].to_numpy()), bits(brindlex_batch.ema(x, 20)))
        assert np.array_equal(bits(got["each"].to_numpy()), bits(brindlex_batch.ema(x, 20, lengths=[100_000] * 3)))

    def test_bad_periods_fail_when_the_expression_is_built(self, pl):
        with pytest.raises(ValueError, match="Periods must be greater than 0"):
            pl.col("x").bx.macd(0, 26, 9)
        with pytest.raises(OverflowError):
            pl.col("x").bx.sma(-1)


class TestPandas:
    def test_nothing_of_the_callers_is_written(self, pd, bxd):
        values = np.arange(30.0)
        values.flags.writeable = False  # as copy-on-write hands out a column's values
        close = pd.Series(values, copy=False)
        for result in (bxd.sma(close, 3, by=np.arange(30) % 2), bxd.ema(close, 3)):
            result.iloc[:] = -1.0
        assert np.array_equal(close.to_numpy(), np.arange(30.0))

    def test_a_missing_key_gets_nan_or_is_a_key_of_its_own(self, pd, bxd):
        close = pd.Series([1.0, 10.0, 2.0, 20.0, 3.0])
        got = bxd.sma(close, 2, by=["a", None, "a", np.nan, "a"], dropna=False)
        np.testing.assert_array_equal(got.to_numpy(), [np.nan, np.nan, 1.5, 15.0, 2.5])
        got = bxd.sma(close, 2, by=["a", None, "a", np.nan, "a"])
        np.testing.assert_array_equal(got.to_numpy(), [np.nan, np.nan, 1.5, np.nan, 2.5])
        # Keys for the first rows only: the others have none, as after groupby's alignment.
        got = bxd.sma(close, 2, by=pd.Series(["a", "b", "a"]))
        want = close.groupby(pd.Series(["a", "b", "a"])).transform(lambda c: c.rolling(2).mean())
        np.testing.assert_array_equal(got.to_numpy(), want.reindex(close.index).to_numpy())

    def test_by_names_an_index_level_as_groupby_does(self, pd, bxd):
        index = pd.MultiIndex.from_product([["b", "a"], range(6)], names=["ticker", "date"])
        close = pd.Series(np.random.default_rng(5).normal(0, 1, 12).cumsum(), index=index)
        got = bxd.ema(close, 3, by="ticker")
        assert np.array_equal(bits(got.to_numpy()), bits(bxd.ema(close, 3, by=index.get_level_values(0)).to_numpy()))
        assert np.array_equal(bits(got.to_numpy()), bits(bxd.ema(close.droplevel("date"), 3, by="ticker").to_numpy()))
        with pytest.raises(KeyError, match="argument 'by'"):
            bxd.ema(close, 3, by="exchange")

    def test_a_wide_frame_is_one_series_per_column(self, pd, bxd):
        wide = pd.DataFrame(np.random.default_rng(4).normal(0, 1, (50, 3)).cumsum(axis=0),
                            columns=["a", "b", "c"], index=pd.date_range("2024-01-01", periods=50))
        lines = bxd.macd(wide, 3, 7, 4)
        for ticker in wide.columns:
            for name, line in bxd.macd(wide[ticker], 3, 7, 4).items():
                assert np.array_equal(bits(lines[name][ticker].to_numpy()), bits(line.to_numpy()))
        assert bxd.atr(wide, wide - 1, wide, 5).index.equals(wide.index)

    def test_refuses_what_it_cannot_read(self, pd, bxd):
        close = pd.Series([1.0, 2.0, 3.0])
        with pytest.raises(TypeError, match="argument 'data'"):
            bxd.sma(pd.Series(["1", "2", "3"]), 2)
        with pytest.raises(ValueError, match="argument 'low'"):
            bxd.atr(close, close.set_axis([3, 4, 5]), close)
        with pytest.raises(ValueError, match="argument 'by'"):
            bxd.sma(close, 2, by=[1, 2])



@pytest.mark.skipif(not ARROW, reason="needs pyarrow")
@settings(max_examples=300 // SCALE, deadline=None)
@given(keys=st.lists(st.sampled_from([None, "", "a", "abcd", "abcde", "twelve chars", "thirteen char", "thirteen chas",
                                      "a key far longer than the rest"]), max_size=40),
       order=st.sampled_from(["drawn", "sorted", "turns", "turns then one out of turn", "turns, the last cut short"]), cut=st.integers(0, 40),
       start=st.integers(0, 3), codes_only=st.booleans(), layout=st.sampled_from(["string", "large_string", "string_view"]),
       repeat=st.integers(1, 9), with_missing=st.booleans(), told_sorted=st.booleans())
def test_string_keys_are_grouped_by_their_characters(keys, order, cut, start, codes_only, layout, repeat, with_missing,
                                                     told_sorted):
    """Rows get equal codes exactly where their keys are equal (missing ones alike), in every Arrow
    string layout, cut in chunks and offset in its buffers, sorted, in no order, or taking turns as
    in date order; lengths of runs come back exactly where every key's rows form one run, and one
    turn's codes only where the rows take turns through the keys. Sorted keys may be said to be
    sorted, as polars' flag says, and are then searched rather than read through."""
    keys = [key for key in keys if with_missing or key is not None for _ in range(repeat)]
    if order == "sorted":
        keys = sorted(keys, key=lambda key: (key is None, key or ""))
    elif order.startswith("turns"):
        keys = list(dict.fromkeys(keys)) * 3
        if keys and order.endswith("out of turn"):
            keys[-1] = keys[0]
        if order.endswith("short"):
            keys = keys[:-1]
    column = pyarrow.array(["pad"] * start + keys, type=getattr(pyarrow, layout)()).slice(start)
    chunks = pyarrow.chunked_array([column[:cut], column[cut:]], type=column.type)
    array, grouped_as, missing = brindlex_batch._native.group_string_keys(
        chunks.__arrow_c_stream__(), codes_only, told_sorted and order == "sorted")
    codes = {"runs": lambda: np.repeat(np.arange(len(array)), array.astype(np.int64)),
             "turns": lambda: np.tile(array, len(keys) // max(len(array), 1)), "codes": lambda: array}[grouped_as]()
    assert len(codes) == len(keys)
    assert len(set(zip(keys, codes.tolist()))) == len(set(keys)) == len(set(codes.tolist()))
    assert missing == (codes[keys.index(None)] if None in keys else -1)
    one_run_each = all(keys[i] == keys[i - 1] or keys[i] not in keys[:i] for i in range(1, len(keys)))
    assert (grouped_as == "runs") == (not codes_only and one_run_each)
    # Turns are found where one chunk holds keys present, compared whole (short in string views).
    found_turns = (order == "turns" and not one_run_each and not codes_only and None not in keys
                   and (cut == 0 or cut >= len(keys)) and (layout != "string_view" or max(map(len, keys)) <= 12))
    assert grouped_as == "turns" if found_turns else grouped_as != "turns" or order == "turns"


@settings(max_examples=100 // SCALE, deadline=None)
@given(period=st.integers(0, 40), fast=st.integers(1, 10), slow=st.integers(1, 20), signal=st.integers(1, 20),
       n=st.integers(0, 60))
def test_warmup_counts_the_leading_nans_of_the_kernels(period, fast, slow, signal, n):
    x = 100 + np.random.default_rng(n).normal(0, 1, n).cumsum()

    def leading_nans(values):
        return int(np.argmin(np.isnan(values))) if not np.isnan(values).all() else n

    expect = lambda count: n if count is None else min(count, n)  # noqa: E731
    assert leading_nans(brindlex_batch.sma(x, period)) == expect(brindlex_batch.warmup("sma", period))
    assert leading_nans(brindlex_batch.ema(x, period)) == expect(brindlex_batch.warmup("ema", period))
    assert leading_nans(brindlex_batch.atr(x + 1, x - 1, x, period)) == expect(brindlex_batch.warmup("atr", period))
    lines = brindlex_batch.macd(x, fast, fast + slow, signal)
    for name, count in brindlex_batch.warmup("macd", fast, fast + slow, signal).items():
        assert leading_nans(getattr(lines, name)) == expect(count)
