"""The indicators as polars expressions, every group of a long frame in one call of the kernels.

Importing this module registers the expression namespace ``bx``::

    pl.col("close").bx.sma(20, by="ticker")
    pl.col("close").bx.macd(12, 26, 9, by="ticker")           # struct {macd, signal, hist}
    brindlex_batch.polars.atr("high", "low", "close", 14, by="ticker")

``by`` (a column name or an expression) splits the column into one series per key, the rows of a
key in frame order; keys need not be adjacent. Without it the whole column is one series, and
``.over(keys)`` straight on the expression is the same as ``by=keys``, in one call. A null
input is NaN to the kernels; every NaN of a result comes back as null, unless
``nan_as_null=False``, which keeps the NaN bits. The module-level functions are the same
expressions for code that type-checks (type checkers do not see registered namespaces).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, TypeAlias, TypedDict

import numpy as np
import numpy.typing as npt
import polars as pl

import brindlex_batch
from brindlex_batch import _native

if TYPE_CHECKING:
    from polars._typing import IntoExpr as AnyIntoExpr, WindowMappingStrategy

__all__ = ["BrindlexExpr", "atr", "ema", "macd", "sma"]

IntoExpr: TypeAlias = str | pl.Expr


class _Grouping(TypedDict, total=False):
    """How the rows form series, as the keyword arguments of one call (none: one series; `axis`:
    the columns reshaped to a block of one series a column, see _turns)."""

    lengths: npt.NDArray[np.integer]
    groups: npt.NDArray[np.integer]
    axis: int


# One call of the companion module: the input arrays and their grouping.
_Kernel: TypeAlias = Callable[[Sequence[npt.NDArray[np.float64]], _Grouping], Sequence[npt.NDArray[np.float64]]]
MACD_FIELDS = ("macd", "signal", "hist")
MACD_DTYPE = pl.Struct({field: pl.Float64 for field in MACD_FIELDS})
_EMPTY = np.empty(0, dtype=np.float64)


def _expr(column: IntoExpr) -> pl.Expr:
    return pl.col(column) if isinstance(column, str) else column


def _values(series: pl.Series) -> npt.NDArray[np.float64]:
    """The series as float64, nulls as NaN (no copy for a float64 column of one chunk without nulls)."""
    # A float64 column, the usual case, skips the check and the cast: under .over() this runs once
    # per group, and the cast alone costs more than the group's kernel call on short groups.
    if series.dtype != pl.Float64:
        if not series.dtype.is_numeric():
            raise TypeError(f"column {series.name!r}: expected real numbers, got {series.dtype}")
        series = series.cast(pl.Float64)
    values: npt.NDArray[np.float64] = series.to_numpy()
    return values


def _grouping(keys: pl.Series) -> tuple[_Grouping, int]:
    """How the keys' rows form series: the lengths of their runs where each key is one run of rows
    (a frame sorted by key: the column is then cut as it lies, with no pass over codes), else a
    code per row. Beside it, the number of keys the rows take turns through (0: they do not)."""
    if keys.dtype == pl.String:
        # One native pass over polars' own string views: runs of one key cost a comparison of
        # neighbours, rows in date order a comparison with the row a date before, and keys in no
        # order are hashed once each (several times faster than finding runs with rle(), and no
        # slower than a categorical cast).
        # A column polars knows to be sorted (sorted by polars, or declared so with set_sorted, which
        # polars trusts as well) has each key's run searched for, not read through.
        flags = keys.flags
        found = _native.group_string_keys(keys.__arrow_c_stream__(), False,
                                          flags["SORTED_ASC"] or flags["SORTED_DESC"])
        if found is not None:
            array, layout, _ = found
            if layout == "turns":
                return {"axis": 0}, len(array)
            return ({"lengths": array} if layout == "runs" else {"groups": array}), 0
    return _other_grouping(keys), 0


def _turns(columns: Sequence[npt.NDArray[np.float64]], turns: int) -> list[npt.NDArray[np.float64]]:
    """Rows that take turns through `turns` keys, each key once a turn and in the same order (a
    panel appended date by date): the column is a block of one series a column as it lies, given
    to the kernels with no code per row (their outputs, a block too, are the column again)."""
    return [column.reshape(-1, turns) for column in columns] if turns else list(columns)


def _other_grouping(keys: pl.Series) -> _Grouping:
    """Keys of any other type, or strings the native pass cannot number: runs found with polars'
    rle where the keys come in runs, else codes."""
    rows = len(keys)
    # Keys that already change often in the first rows are interleaved: no pass over all of them
    # to find their runs.
    head = keys.head(4096)
    if rows and head.rle_id()[-1] < len(head) // 16:
        runs = keys.rle()
        if len(runs) <= rows // 16 and runs.struct.field("value").n_unique() == len(runs):
            return {"lengths": runs.struct.field("len").to_numpy()}
    return {"groups": _codes(keys)}


def _codes(keys: pl.Series) -> npt.NDArray[np.integer]:
    """Each row's group code for ``groups=``, equal codes for equal keys and null a key of its own,
    made by polars' own operations: integers as they are, categories by their physical codes,
    strings through a categorical cast."""
    dtype = keys.dtype
    if dtype == pl.Boolean:
        keys = keys.cast(pl.UInt8)
    elif dtype.is_temporal() or isinstance(dtype, (pl.Categorical, pl.Enum)):
        keys = keys.to_physical()
    elif dtype == pl.String:
        keys = _string_codes(keys)
    if not keys.dtype.is_integer():
        return _first_rows(keys)
    return _integer_codes(keys)


def _integer_codes(keys: pl.Series) -> npt.NDArray[np.integer]:
    """Integer keys as codes: shifted to start at 0 when some are negative; null, if any, the code
    after the largest."""
    least, most = keys.min(), keys.max()
    if least is None:  # every key null, or none at all: one group
        return np.zeros(len(keys), dtype=np.uint8)
    assert isinstance(least, int) and isinstance(most, int)
    if least < 0:
        if most - least >= 2**63:
            return _first_rows(keys)
        keys, most = keys.cast(pl.Int64) - least, most - least
    if keys.null_count():
        if most >= 2**63 - 1:
            return _first_rows(keys)
        keys = keys.cast(pl.Int64).fill_null(most + 1)
    return keys.to_numpy()


def _string_codes(keys: pl.Series) -> pl.Series:
    """Strings numbered by a categorical cast, which hashes each key once (the fastest of polars'
    own ways measured, ahead of a join on the unique keys and of replace): the way left for more
    keys than the native pass numbers."""
    return keys.cast(pl.Categorical).to_physical()


def _first_rows(keys: pl.Series) -> npt.NDArray[np.integer]:
    """Any other keys: each row's code is its key's first row, as polars groups them."""
    rows = keys.to_frame("key").with_row_index("row")
    codes: npt.NDArray[np.integer] = rows.select(pl.col("row").first().over("key")).to_series().to_numpy()
    return codes


def _result(name: str, outputs: Sequence[npt.NDArray[np.float64]], nan_as_null: bool) -> pl.Series:
    # Series made from the float64 arrays as they are: naming a dtype, or a frame from a dict with
    # a schema, sends polars through slower construction paths (the latter some hundred times
    # slower for MACD's struct).
    # One output is named as it is made: a rename afterwards costs about a sixth of making the
    # result (under .over(), once per group).
    if len(outputs) == 1:
        return pl.Series(name, outputs[0], nan_to_null=nan_as_null)
    columns = [pl.Series(field, values, nan_to_null=nan_as_null) for field, values in zip(MACD_FIELDS, outputs)]
    return pl.DataFrame(columns).to_struct(name)


def _indicator(inputs: Sequence[IntoExpr], by: IntoExpr | None, kernel: _Kernel,
               dtype: pl.DataType, nan_as_null: bool, name: str | None = None) -> pl.Expr:
    kernel([_EMPTY] * len(inputs), {})  # bad periods fail here, not when the query runs
    count = len(inputs)
    exprs = [_expr(column) for column in inputs]
    if by is not None:
        exprs.append(_expr(by))

    # polars passes the declared dtype to functions that take it.
    def compute(series: Sequence[pl.Series], return_dtype: object = None) -> pl.Series:
        columns = [_values(column) for column in series[:count]]
        grouping, turns = (_Grouping(), 0) if by is None else _grouping(series[count])
        outputs = kernel(_turns(columns, turns), grouping)
        return _result(series[0].name, [output.reshape(-1) for output in outputs], nan_as_null)

    expr = pl.map_batches(exprs, compute, return_dtype=dtype)
    if name is not None:
        expr = expr.alias(name)
    if by is not None:
        return expr
    return _Ungrouped.wrap(expr, lambda key: _indicator(inputs, key, kernel, dtype, nan_as_null, name))


class _Ungrouped(pl.Expr):
    """An indicator over the whole column, whose ``.over(keys)`` is the same indicator with
    ``by=keys``: one call of the kernels for every group, where polars would call the function once
    per group and pay the front's fixed cost on each. The results are the same either way."""

    _grouped: Callable[[pl.Expr], pl.Expr]

    @classmethod
    def wrap(cls, expr: pl.Expr, grouped: Callable[[pl.Expr], pl.Expr]) -> _Ungrouped:
        wrapped = cls._from_pyexpr(expr._pyexpr)
        assert isinstance(wrapped, _Ungrouped)
        wrapped._grouped = grouped
        return wrapped

    def alias(self, name: str) -> pl.Expr:
        # Naming the result is so common before .over() that it keeps the one call.
        grouped = self._grouping()
        if grouped is None:
            return super().alias(name)
        return _Ungrouped.wrap(super().alias(name), lambda key: grouped(key).alias(name))

    def _grouping(self) -> Callable[[pl.Expr], pl.Expr] | None:
        # A copy or an unpickled expression holds only polars' own state: it keeps polars' window.
        return getattr(self, "_grouped", None)

    def over(self, partition_by: AnyIntoExpr | Iterable[AnyIntoExpr] = None, *more_exprs: AnyIntoExpr,
             order_by: AnyIntoExpr | Iterable[AnyIntoExpr] = None, descending: bool = False,
             nulls_last: bool = False, mapping_strategy: WindowMappingStrategy = "group_to_rows") -> pl.Expr:
        # Only column names and expressions, alone or in a list or tuple, are taken apart here;
        # an iterator is read once, and passed on as the list it was.
        given = ([] if partition_by is None else list(partition_by)
                 if isinstance(partition_by, (list, tuple, Iterator))
                 else [partition_by]) + list(more_exprs)
        keys = [_expr(key) for key in given if isinstance(key, (str, pl.Expr))]
        # Literal keys, or a key naming several columns (polars then expands the window into several
        # results), keep polars' own window.
        grouped = self._grouping()
        if (grouped is None or not keys or len(keys) < len(given) or order_by is not None
                or mapping_strategy != "group_to_rows" or any(key.meta.has_multiple_outputs() for key in keys)):
            return super().over(given or None, order_by=order_by, descending=descending,
                                nulls_last=nulls_last, mapping_strategy=mapping_strategy)
        # Several keys group by their combination.
        return grouped(keys[0] if len(keys) == 1 else pl.struct(keys))


def sma(column: IntoExpr, period: int, *, by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
    """Simple moving average of the column, per key of ``by``."""
    return _indicator([column], by, lambda c, grouping: (
        brindlex_batch.sma(c[0], period, **grouping),), pl.Float64(), nan_as_null)


def ema(column: IntoExpr, period: int, *, by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
    """Exponential moving average of the column, per key of ``by``."""
    return _indicator([column], by, lambda c, grouping: (
        brindlex_batch.ema(c[0], period, **grouping),), pl.Float64(), nan_as_null)


def macd(column: IntoExpr, fast_period: int = 12, slow_period: int = 26, signal_period: int = 9, *,
         by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
    """MACD of the column, per key of ``by``: a struct of ``macd``, ``signal`` and ``hist``."""
    return _indicator([column], by, lambda c, grouping: brindlex_batch.macd(
        c[0], fast_period, slow_period, signal_period, **grouping), MACD_DTYPE, nan_as_null)


def atr(high: IntoExpr, low: IntoExpr, close: IntoExpr, period: int = 14, *,
        by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
    """Average true range, per key of ``by``; named ``atr``."""
    return _indicator([high, low, close], by, lambda c, grouping: (
        brindlex_batch.atr(c[0], c[1], c[2], period, **grouping),), pl.Float64(), nan_as_null, "atr")


@pl.api.register_expr_namespace("bx")
class BrindlexExpr:
    """``expr.bx``: the indicators of an expression's values."""

    def __init__(self, expr: pl.Expr) -> None:
        self._expr = expr

    def sma(self, period: int, *, by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
        return sma(self._expr, period, by=by, nan_as_null=nan_as_null)

    def ema(self, period: int, *, by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
        return ema(self._expr, period, by=by, nan_as_null=nan_as_null)

    def macd(self, fast_period: int = 12, slow_period: int = 26, signal_period: int = 9, *,
             by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
        return macd(self._expr, fast_period, slow_period, signal_period, by=by, nan_as_null=nan_as_null)
