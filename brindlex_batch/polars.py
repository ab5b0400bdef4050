"""The indicators as polars expressions, every group of a long frame in one call of the kernels.

Importing this module registers the expression namespace ``bx``::

    pl.col("close").bx.sma(20, by="ticker")
    pl.col("close").bx.macd(12, 26, 9, by="ticker")           # struct {macd, signal, hist}
    brindlex_batch.polars.atr("high", "low", "close", 14, by="ticker")

``by`` (a column name or an expression) splits the column into one series per key, the rows of a
key in frame order; keys need not be adjacent. Without it the whole column is one series. A null
input is NaN to the kernels; every NaN of a result comes back as null, unless
``nan_as_null=False``, which keeps the NaN bits. The module-level functions are the same
expressions for code that type-checks (type checkers do not see registered namespaces).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TypeAlias

import numpy as np
import numpy.typing as npt
import polars as pl

import brindlex_batch

from ._grouping import Layout, compute_long

__all__ = ["BrindlexExpr", "atr", "ema", "macd", "sma"]

IntoExpr: TypeAlias = str | pl.Expr
# One call of the companion module: the input arrays and the series' lengths (None: one series).
_Kernel: TypeAlias = Callable[[Sequence[npt.NDArray[np.float64]], npt.NDArray[np.integer] | None],
                              Sequence[npt.NDArray[np.float64]]]
MACD_FIELDS = ("macd", "signal", "hist")
MACD_DTYPE = pl.Struct({field: pl.Float64 for field in MACD_FIELDS})
_EMPTY = np.empty(0, dtype=np.float64)


def _expr(column: IntoExpr) -> pl.Expr:
    return pl.col(column) if isinstance(column, str) else column


def _values(series: pl.Series) -> npt.NDArray[np.float64]:
    """The series as float64, nulls as NaN (no copy for a float64 column of one chunk without nulls)."""
    if not series.dtype.is_numeric():
        raise TypeError(f"column {series.name!r}: expected real numbers, got {series.dtype}")
    values: npt.NDArray[np.float64] = series.cast(pl.Float64).to_numpy()
    return values


def _layout(keys: pl.Series) -> Layout:
    rows = len(keys)
    if rows == 0:
        return Layout(None, np.zeros(0, dtype=np.int64))
    # A key that differs from the row before starts a run, and the groups are adjacent when no
    # key heads two runs. Comparing neighbours costs far less than hashing every key; where the
    # runs are few, hashing their heads settles it, and where they are many, the grouping below
    # hashes every key anyway and says it too.
    starts = (keys.slice(1).ne_missing(keys.slice(0, rows - 1)).arg_true() + 1).to_numpy()
    runs = len(starts) + 1
    if runs <= rows // 16 and keys.gather(starts).append(keys.head(1)).n_unique() == runs:
        return Layout(None, np.diff(starts, prepend=0, append=rows))
    # Within a group, polars keeps the rows in frame order.
    groups = keys.to_frame("key").with_row_index("row").group_by("key").agg("row").get_column("row")
    if len(groups) == runs:
        return Layout(None, np.diff(starts, prepend=0, append=rows))
    return Layout(groups.explode().to_numpy(), groups.list.len().to_numpy())


def _result(name: str, outputs: Sequence[npt.NDArray[np.float64]], nan_as_null: bool) -> pl.Series:
    if len(outputs) == 1:
        return pl.Series(name, outputs[0], dtype=pl.Float64, nan_to_null=nan_as_null)
    fields = dict(zip(MACD_FIELDS, outputs))
    return pl.DataFrame(fields, schema=MACD_DTYPE.to_schema(), nan_to_null=nan_as_null).to_struct(name)


def _indicator(inputs: Sequence[IntoExpr], by: IntoExpr | None, kernel: _Kernel,
               dtype: pl.DataType, nan_as_null: bool) -> pl.Expr:
    kernel([_EMPTY] * len(inputs), None)  # bad periods fail here, not when the query runs
    count = len(inputs)
    exprs = [_expr(column) for column in inputs]
    if by is not None:
        exprs.append(_expr(by))

    # polars passes the declared dtype to functions that take it.
    def compute(series: Sequence[pl.Series], return_dtype: object = None) -> pl.Series:
        columns = [_values(column) for column in series[:count]]
        if by is None:
            outputs = kernel(columns, None)
        else:
            outputs = compute_long(_layout(series[count]), kernel, columns)
        return _result(series[0].name, outputs, nan_as_null)

    return pl.map_batches(exprs, compute, return_dtype=dtype)


def sma(column: IntoExpr, period: int, *, by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
    """Simple moving average of the column, per key of ``by``."""
    return _indicator([column], by, lambda c, lengths: (
        brindlex_batch.sma(c[0], period, lengths=lengths),), pl.Float64(), nan_as_null)


def ema(column: IntoExpr, period: int, *, by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
    """Exponential moving average of the column, per key of ``by``."""
    return _indicator([column], by, lambda c, lengths: (
        brindlex_batch.ema(c[0], period, lengths=lengths),), pl.Float64(), nan_as_null)


def macd(column: IntoExpr, fast_period: int = 12, slow_period: int = 26, signal_period: int = 9, *,
         by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
    """MACD of the column, per key of ``by``: a struct of ``macd``, ``signal`` and ``hist``."""
    return _indicator([column], by, lambda c, lengths: brindlex_batch.macd(
        c[0], fast_period, slow_period, signal_period, lengths=lengths), MACD_DTYPE, nan_as_null)


def atr(high: IntoExpr, low: IntoExpr, close: IntoExpr, period: int = 14, *,
        by: IntoExpr | None = None, nan_as_null: bool = True) -> pl.Expr:
    """Average true range, per key of ``by``; named ``atr``."""
    return _indicator([high, low, close], by, lambda c, lengths: (
        brindlex_batch.atr(c[0], c[1], c[2], period, lengths=lengths),), pl.Float64(), nan_as_null).alias("atr")


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
