"""The indicators of pandas Series and DataFrames: long frames grouped by key, wide frames by column.

A Series is one series, or with ``by=`` (keys, one per row, or the name of an index level) one
series per key, the rows of a key in frame order; keys need not be adjacent. As in pandas' own groupby, rows whose key is missing
(NaN, None, ``pd.NA``, a missing category, or no key for the row's label) get NaN, unless
``dropna=False``, which makes them one series of their own. A DataFrame is wide: one series per column, its rows
the time axis. Results are new objects aligned on the input's index, in its row order; missing
values (NaN, ``pd.NA``) are NaN to the kernels, and positions without a value are NaN.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, TypeAlias, cast, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

import brindlex_batch
from brindlex_batch import _native

__all__ = ["atr", "ema", "macd", "sma"]

# One call of the companion module: the input arrays, the time axis and each row's group code
# (None: one series per column).
_Kernel: TypeAlias = Callable[[Sequence[npt.NDArray[np.float64]], int, npt.NDArray[np.integer] | None],
                              Sequence[npt.NDArray[np.float64]]]
MACD_COLUMNS = ("macd", "signal", "hist")


def _values(data: pd.Series[Any] | pd.DataFrame, argument: str) -> npt.NDArray[np.float64]:
    """The values as float64, missing values as NaN: a view where pandas holds float64 already."""
    dtypes = data.dtypes if isinstance(data, pd.DataFrame) else [data.dtype]
    for dtype in dtypes:
        if not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype) or \
                pd.api.types.is_complex_dtype(dtype):
            raise TypeError(f"argument '{argument}': expected real numbers, got dtype {dtype}")
    return data.to_numpy(dtype=np.float64, na_value=np.nan)


def _labelled(value: object, argument: str) -> pd.Series[Any] | pd.DataFrame:
    if isinstance(value, pd.DataFrame):
        return value
    if isinstance(value, pd.Series):
        series: pd.Series[Any] = cast(Any, value)  # pandas-stubs leave the element type open
        return series
    raise TypeError(f"argument '{argument}': expected a pandas Series or DataFrame, got {type(value).__name__}")


def _codes(by: object, index: pd.Index[Any]) -> tuple[npt.NDArray[np.integer], npt.NDArray[np.bool_] | None]:
    """Each row's group code, for ``groups=``, with the rows whose key is missing given a code of
    their own, and those rows (None when there are none). A Series of keys is aligned on the
    data's index, and a string names an index level, as groupby takes them."""
    keys: pd.Series[Any] | pd.Index[Any] | npt.NDArray[Any]
    if isinstance(by, str):
        if by not in index.names:
            raise KeyError(f"argument 'by': {by!r} names no level of the index (levels: {list(index.names)})")
        keys = index.get_level_values(by)
    elif isinstance(by, pd.Series):
        series: pd.Series[Any] = cast(Any, by)
        keys = series if series.index.equals(index) else series.reindex(index)
    elif isinstance(by, pd.Index):
        labels: pd.Index[Any] = cast(Any, by)
        keys = labels
    else:
        keys = np.asarray(by)
    if keys.ndim != 1 or len(keys) != len(index):
        raise ValueError(f"argument 'by': expected one key per row ({len(index)}), got shape {keys.shape}")
    codes: npt.NDArray[np.integer]
    grouped = _arrow_string_codes(keys)
    if grouped is not None:
        codes, missing = grouped
        return codes, (codes == missing if missing >= 0 else None)
    if not isinstance(keys, np.ndarray) and isinstance(keys.dtype, pd.CategoricalDtype):
        # Categories already number their rows.
        categorical = cast(pd.Categorical, keys.array)
        codes, count = categorical.codes, len(categorical.categories)
    else:
        codes, uniques = pd.factorize(keys)
        count = len(uniques)
    # Both mark a missing key -1: the code after the others.
    absent = codes < 0
    if not absent.any():
        return codes, None
    return np.where(absent, count, codes), absent


def _arrow_string_codes(keys: pd.Series[Any] | pd.Index[Any] | npt.NDArray[Any]
                        ) -> tuple[npt.NDArray[np.integer], int] | None:
    """Keys that pandas holds as Arrow strings (its string dtypes stored in pyarrow), grouped in
    one native pass over them where they lie: each row's code, and the code of the missing keys
    (-1: none). None for keys held otherwise."""
    if isinstance(keys, np.ndarray):
        return None
    dtype = keys.dtype
    if isinstance(dtype, pd.StringDtype):
        arrow = str(dtype.storage).startswith("pyarrow")
    else:
        arrow = isinstance(dtype, pd.ArrowDtype) and str(dtype) in ("string[pyarrow]", "large_string[pyarrow]",
                                                                  "string_view[pyarrow]")
    if not arrow:
        return None
    found = _native.group_string_keys(keys.array.__arrow_array__().__arrow_c_stream__(), True)
    if found is None:
        return None
    codes, _, missing = found
    return codes, missing


def _compute(inputs: Sequence[object], names: Sequence[str], by: object, dropna: bool,
             kernel: _Kernel) -> list[npt.NDArray[np.float64]]:
    data = [_labelled(value, name) for value, name in zip(inputs, names)]
    first = data[0]
    for other, name in zip(data[1:], names[1:]):
        if type(other) is not type(first):
            raise TypeError(f"argument '{name}': expected a {type(first).__name__} like '{names[0]}',"
                            f" got {type(other).__name__}")
        if not other.index.equals(first.index) or (isinstance(other, pd.DataFrame) and isinstance(
                first, pd.DataFrame) and not other.columns.equals(first.columns)):
            raise ValueError(f"argument '{name}': expected the labels of '{names[0]}'")
    columns = [_values(values, name) for values, name in zip(data, names)]
    if isinstance(first, pd.DataFrame):
        if by is not None:
            raise ValueError("argument 'by': a wide DataFrame holds one series per column;"
                             " 'by' groups the rows of a Series")
        return list(kernel(columns, 0, None))
    if by is None:
        return list(kernel(columns, -1, None))
    codes, absent = _codes(by, first.index)
    outputs = list(kernel(columns, -1, codes))
    if dropna and absent is not None:
        for output in outputs:
            output[absent] = np.nan
    return outputs


def _single(like: pd.Series[Any] | pd.DataFrame, values: npt.NDArray[np.float64], name: str) -> Any:
    if isinstance(like, pd.DataFrame):
        return pd.DataFrame(values, index=like.index, columns=like.columns, copy=False)
    return pd.Series(values, index=like.index, name=name, copy=False)


def _macd_frame(like: pd.Series[Any] | pd.DataFrame, lines: Sequence[npt.NDArray[np.float64]]) -> pd.DataFrame:
    if isinstance(like, pd.DataFrame):
        return pd.concat({column: pd.DataFrame(line, index=like.index, columns=like.columns, copy=False)
                          for column, line in zip(MACD_COLUMNS, lines)}, axis=1)
    return pd.DataFrame(dict(zip(MACD_COLUMNS, lines)), index=like.index, copy=False)


@overload
def sma(data: pd.Series[Any], period: int, *, by: Any = None, dropna: bool = True) -> pd.Series[float]: ...
@overload
def sma(data: pd.DataFrame, period: int, *, by: None = None, dropna: bool = True) -> pd.DataFrame: ...


def sma(data: pd.Series[Any] | pd.DataFrame, period: int, *, by: Any = None, dropna: bool = True) -> Any:
    """Simple moving average; a Series comes back named ``sma_<period>``. With ``by``, rows whose
    key is missing get NaN, or form one series of their own where ``dropna=False``."""
    (values,) = _compute([data], ["data"], by, dropna, lambda c, axis, groups: (
        brindlex_batch.sma(c[0], period, axis=axis, groups=groups),))
    return _single(data, values, f"sma_{period}")


@overload
def ema(data: pd.Series[Any], period: int, *, by: Any = None, dropna: bool = True) -> pd.Series[float]: ...
@overload
def ema(data: pd.DataFrame, period: int, *, by: None = None, dropna: bool = True) -> pd.DataFrame: ...


def ema(data: pd.Series[Any] | pd.DataFrame, period: int, *, by: Any = None, dropna: bool = True) -> Any:
    """Exponential moving average; a Series comes back named ``ema_<period>``."""
    (values,) = _compute([data], ["data"], by, dropna, lambda c, axis, groups: (
        brindlex_batch.ema(c[0], period, axis=axis, groups=groups),))
    return _single(data, values, f"ema_{period}")


def macd(data: pd.Series[Any] | pd.DataFrame, fast_period: int = 12, slow_period: int = 26,
         signal_period: int = 9, *, by: Any = None, dropna: bool = True) -> pd.DataFrame:
    """MACD line, signal line and histogram: columns ``macd``, ``signal`` and ``hist`` (for a wide
    frame, those three above the frame's own columns)."""
    lines = _compute([data], ["data"], by, dropna, lambda c, axis, groups: brindlex_batch.macd(
        c[0], fast_period, slow_period, signal_period, axis=axis, groups=groups))
    return _macd_frame(data, lines)


@overload
def atr(high: pd.Series[Any], low: pd.Series[Any], close: pd.Series[Any], period: int = 14, *,
        by: Any = None, dropna: bool = True) -> pd.Series[float]: ...
@overload
def atr(high: pd.DataFrame, low: pd.DataFrame, close: pd.DataFrame, period: int = 14, *,
        by: None = None, dropna: bool = True) -> pd.DataFrame: ...


def atr(high: pd.Series[Any] | pd.DataFrame, low: pd.Series[Any] | pd.DataFrame,
        close: pd.Series[Any] | pd.DataFrame, period: int = 14, *, by: Any = None,
        dropna: bool = True) -> Any:
    """Average true range of three Series (or three wide frames) with one index; a Series comes
    back named ``atr_<period>``."""
    (values,) = _compute([high, low, close], ["high", "low", "close"], by, dropna,
                         lambda c, axis, groups: (
                             brindlex_batch.atr(c[0], c[1], c[2], period, axis=axis, groups=groups),))
    return _single(high, values, f"atr_{period}")
