"""Many series per call: each series computed exactly as brindlex computes it alone.

``sma``, ``ema``, ``macd`` and ``atr`` take one series (a one-dimensional array) or many: a
two-dimensional array whose ``axis`` is time (``axis=-1``, the default, one series per row;
``axis=0`` one series per column), or a long column cut into consecutive series by ``lengths``.
Every series' result equals, bit for bit, what ``brindlex.indicator_*`` gives on that series
alone, whatever the layout, the number of threads or the processor's vector instructions.

Inputs are anything NumPy can view or convert (``numpy.asarray``): NumPy arrays of any strides,
``Series.to_numpy()`` of pandas and polars, pandas and polars Series themselves, pyarrow arrays
(nulls become NaN), buffers; objects offering only DLPack go through ``numpy.from_dlpack``.
Integer and floating-point arrays other than float64 are converted to float64, as ``astype`` does
(exact for float32 and for integers up to 2**53). Boolean, complex, object, string and date-time
arrays are refused with ``TypeError``.

Results are new float64 arrays of the input's shape and memory order (a Fortran-ordered or
transposed input gives a Fortran-ordered result), or are written into ``out=``. A call that raises
has written nothing into ``out``.
"""

import operator
from collections.abc import Callable, Sequence
from typing import Any, Literal, NamedTuple, SupportsIndex, cast

import numpy as np
import numpy.typing as npt

from . import _native
from ._warmup import warmup

__all__ = ["MacdResult", "atr", "ema", "macd", "sma", "warmup"]


_FLOAT64 = np.dtype(np.float64)
_U64_MAX = 2**64 - 1
# More threads than this never help; helper threads stay for the process's lifetime, so a larger
# request is read as this one.
_MAX_THREADS = 256


class MacdResult(NamedTuple):
    """The three outputs of ``macd``, each of the input's shape."""

    macd: npt.NDArray[np.float64]
    signal: npt.NDArray[np.float64]
    hist: npt.NDArray[np.float64]


def _type_name(value: object) -> str:
    return type(value).__name__


def _period(value: SupportsIndex, name: str) -> int:
    try:
        period = operator.index(value)
    except TypeError:
        raise TypeError(f"argument '{name}': expected an integer period, "
                        f"got {_type_name(value)}") from None
    if not 0 <= period <= _U64_MAX:
        raise OverflowError(f"argument '{name}': expected a period from 0 to 2**64 - 1, "
                            f"got {period}")
    return period


def _threads(value: SupportsIndex) -> int:
    try:
        threads = operator.index(value)
    except TypeError:
        raise TypeError(f"argument 'threads': expected an integer, "
                        f"got {_type_name(value)}") from None
    if threads < 0:
        raise ValueError("argument 'threads': expected 0 (every core) or a count of threads, "
                         f"got {threads}")
    return min(threads, _MAX_THREADS)


def _time_axis(axis: SupportsIndex, ndim: int) -> int:
    try:
        index = operator.index(axis)
    except TypeError:
        raise TypeError(f"argument 'axis': expected an integer, got {_type_name(axis)}") from None
    if not -ndim <= index < ndim:
        raise ValueError(f"argument 'axis': expected an axis of {ndim}-dimensional data "
                         f"(from {-ndim} to {ndim - 1}), got {index}")
    return index % ndim


def _as_array(value: object, name: str) -> npt.NDArray[Any]:
    """The caller's object as an ndarray, converted only if NumPy must."""
    try:
        if hasattr(value, "__dlpack__") and not hasattr(value, "__array__"):
            return np.from_dlpack(cast(Any, value))
        return np.asarray(value)
    except TypeError as error:
        raise TypeError(f"argument '{name}': expected an array of numbers, got {_type_name(value)} "
                        f"({error})") from error
    except ValueError as error:
        raise ValueError(f"argument '{name}': {error}") from error


def _series(value: object, name: str) -> tuple[npt.NDArray[Any], npt.NDArray[np.float64]]:
    """The caller's array, for the overlap test with outputs, and the float64 array computed on."""
    # The usual argument, checked in a few attribute reads: the call's cost on small blocks.
    if (type(value) is np.ndarray and value.dtype == _FLOAT64 and value.flags.aligned
            and 0 < value.ndim < 3):
        return value, value
    array = _as_array(value, name)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"argument '{name}': expected real numbers (an integer or floating-point "
                        f"dtype), got dtype {array.dtype}")
    if array.ndim not in (1, 2):
        raise ValueError(f"argument '{name}': expected 1 or 2 dimensions, got {array.ndim}")
    if array.dtype != _FLOAT64 or not _whole_steps(array):
        return array, array.astype(np.float64)
    return array, array


def _whole_steps(array: npt.NDArray[Any]) -> bool:
    """Whether the kernels, which step through memory in whole float64 elements, can take it."""
    return bool(array.flags.aligned) or not any(stride % 8 for stride in array.strides)


def _lengths(value: npt.ArrayLike | None,
             data: npt.NDArray[np.float64]) -> npt.NDArray[np.uint64] | None:
    if value is None:
        return None
    if data.ndim != 1:
        raise ValueError("argument 'lengths': only for one-dimensional data (a long column), "
                         f"got {data.ndim} dimensions")
    lengths = _as_array(value, "lengths")
    if lengths.ndim != 1:
        raise ValueError("argument 'lengths': expected a one-dimensional sequence, "
                         f"got {lengths.ndim} dimensions")
    if lengths.size == 0:
        return np.empty(0, np.uint64)
    if lengths.dtype.kind not in "iu":
        raise TypeError(f"argument 'lengths': expected integers, got dtype {lengths.dtype}")
    if lengths.dtype.kind == "i" and lengths.min() < 0:
        raise ValueError(f"argument 'lengths': expected lengths of 0 or more, got {lengths.min()}")
    return np.ascontiguousarray(lengths, dtype=np.uint64)


def _check_out(out: object, name: str, shape: tuple[int, ...],
               inputs: Sequence[tuple[str, npt.NDArray[Any]]]) -> npt.NDArray[np.float64]:
    if not isinstance(out, np.ndarray):
        raise TypeError(f"argument '{name}': expected a numpy.ndarray, got {_type_name(out)}")
    given = cast(npt.NDArray[Any], out)
    if given.dtype != np.float64:
        raise TypeError(f"argument '{name}': expected dtype float64, got {given.dtype}")
    if given.shape != shape:
        raise ValueError(f"argument '{name}': expected the input's shape {shape}, "
                         f"got {given.shape}")
    if not given.flags.writeable:
        raise ValueError(f"argument '{name}': the array is read-only")
    if not _distinct_elements(given):
        raise ValueError(f"argument '{name}': its elements may overlap each other "
                         "(a stride of 0 or too short)")
    for input_name, array in inputs:
        # Bounds of memory, not elements: outputs interleaved with an input are refused too.
        if np.may_share_memory(given, array):
            raise ValueError(f"argument '{name}': shares memory with argument '{input_name}'")
    return cast(npt.NDArray[np.float64], given)


def _distinct_elements(array: npt.NDArray[Any]) -> bool:
    """Whether no two elements share memory: each axis, taken by increasing step, steps past the
    whole span of the ones before it."""
    if array.size == 0:
        return True
    span = array.itemsize
    axes = sorted((abs(step), size) for step, size in zip(array.strides, array.shape) if size > 1)
    for step, size in axes:
        if step < span:
            return False
        span = step * size
    return True


def _outputs(out: object, names: Sequence[str], data: npt.NDArray[np.float64], by_runs: bool,
             inputs: Sequence[tuple[str, npt.NDArray[Any]]]
             ) -> tuple[list[npt.NDArray[np.float64]], list[npt.NDArray[np.float64]]]:
    """The arrays returned and, for each, the array the kernels write: the same one unless the
    caller's array has a layout the kernels cannot step through, then a new one copied over
    after."""
    if out is None:
        # One layout the runs can take; otherwise the input's order, which the kernels read and
        # write at the same speed.
        order: Literal["C", "K"] = "C" if by_runs else "K"
        results = [np.empty_like(data, order=order, subok=False) for _ in names]
        return results, results
    arrays: list[npt.NDArray[np.float64]] = []
    if len(names) == 1:
        arrays.append(_check_out(out, names[0], data.shape, inputs))
    else:
        given = _type_name(out)
        sequence = isinstance(out, tuple | list)
        items = cast(Sequence[object], out) if sequence else ()
        if not sequence or len(items) != len(names):
            raise TypeError(f"argument 'out': expected a tuple of {len(names)} arrays, got {given}")
        for name, item in zip(names, items):
            arrays.append(_check_out(item, name, data.shape, [*inputs, *zip(names, arrays)]))
    targets = [array if _steppable(array, by_runs) else np.empty_like(data, order="C", subok=False)
               for array in arrays]
    return arrays, targets


def _steppable(array: npt.NDArray[np.float64], by_runs: bool) -> bool:
    return bool(array.flags.c_contiguous) if by_runs else _whole_steps(array)


def _finish(results: list[npt.NDArray[np.float64]], targets: list[npt.NDArray[np.float64]]) -> None:
    for result, target in zip(results, targets):
        if target is not result:
            np.copyto(result, target)


def _layout(arrays: list[npt.NDArray[np.float64]], axis: SupportsIndex,
            lengths: npt.ArrayLike | None, threads: SupportsIndex
            ) -> tuple[list[npt.NDArray[np.float64]], int, npt.NDArray[np.uint64] | None, int]:
    """The arrays as the kernels take them, the time axis, the runs and the thread count."""
    time_axis = _time_axis(axis, arrays[0].ndim)
    runs = _lengths(lengths, arrays[0])
    if runs is not None:
        arrays = [np.ascontiguousarray(array) for array in arrays]
    return arrays, time_axis, runs, _threads(threads)


def _moving_average(kernel: Callable[..., None], data: npt.ArrayLike, period: SupportsIndex,
                    axis: SupportsIndex, lengths: npt.ArrayLike | None,
                    out: npt.NDArray[np.float64] | None,
                    threads: SupportsIndex) -> npt.NDArray[np.float64]:
    original, array = _series(data, "data")
    (array,), time_axis, runs, count = _layout([array], axis, lengths, threads)
    p = _period(period, "period")
    results, targets = _outputs(out, ["out"], array, runs is not None, [("data", original)])
    kernel(array, targets[0], p, time_axis, runs, count)
    _finish(results, targets)
    return results[0]


def sma(data: npt.ArrayLike, period: SupportsIndex, *, axis: SupportsIndex = -1,
        lengths: npt.ArrayLike | None = None, out: npt.NDArray[np.float64] | None = None,
        threads: SupportsIndex = 1) -> npt.NDArray[np.float64]:
    """Simple moving average of every series, as ``brindlex.indicator_sma`` computes each.

    ``data``: one series (1-D) or many (2-D, ``axis`` naming time), or a long column cut by
    ``lengths`` (lengths of consecutive series, summing to ``len(data)``). ``period``: an integer
    from 0 to 2**64 - 1. ``out``: a writeable float64 array of ``data``'s shape sharing no memory
    with it. ``threads``: how many threads share the series (0: every core, at most 256); the
    interpreter lock is released while they compute. Returns ``out``, or a new array of
    ``data``'s shape.

    Raises ``TypeError`` (a non-integer period, axis or threads; data that are not real numbers;
    ``out`` not a float64 ndarray), ``OverflowError`` (a period below 0 or above 2**64 - 1) and
    ``ValueError`` (a shape, axis, ``lengths`` or ``out`` that does not fit, or ``out`` sharing
    memory with ``data``).
    """
    return _moving_average(_native.sma, data, period, axis, lengths, out, threads)


def ema(data: npt.ArrayLike, period: SupportsIndex, *, axis: SupportsIndex = -1,
        lengths: npt.ArrayLike | None = None, out: npt.NDArray[np.float64] | None = None,
        threads: SupportsIndex = 1) -> npt.NDArray[np.float64]:
    """Exponential moving average of every series, as ``brindlex.indicator_ema`` computes each.

    Arguments, result and exceptions as for ``sma``.
    """
    return _moving_average(_native.ema, data, period, axis, lengths, out, threads)


def macd(data: npt.ArrayLike, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26,
         signal_period: SupportsIndex = 9, *, axis: SupportsIndex = -1,
         lengths: npt.ArrayLike | None = None,
         out: tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]
         | None = None,
         threads: SupportsIndex = 1) -> MacdResult:
    """MACD line, signal line and histogram of every series, as ``brindlex.indicator_macd``
    computes each.

    Arguments as for ``sma``, with ``out`` a tuple of three arrays (MACD, signal, histogram) that
    share no memory with ``data`` nor with each other. Returns a ``MacdResult`` named tuple.
    Besides the exceptions of ``sma``, raises ``ValueError`` "Periods must be greater than 0" and
    "Fast period must be less than slow period", as brindlex does.
    """
    original, array = _series(data, "data")
    (array,), time_axis, runs, count = _layout([array], axis, lengths, threads)
    periods = [_period(p, name) for p, name in
               ((fast_period, "fast_period"), (slow_period, "slow_period"),
                (signal_period, "signal_period"))]
    results, targets = _outputs(out, ["out[0]", "out[1]", "out[2]"], array, runs is not None,
                                [("data", original)])
    fast, slow, signal = periods
    _native.macd(array, targets[0], targets[1], targets[2], fast, slow, signal, time_axis, runs,
                 count)
    _finish(results, targets)
    return MacdResult(*results)


def atr(high: npt.ArrayLike, low: npt.ArrayLike, close: npt.ArrayLike,
        period: SupportsIndex = 14, *, axis: SupportsIndex = -1,
        lengths: npt.ArrayLike | None = None, out: npt.NDArray[np.float64] | None = None,
        threads: SupportsIndex = 1) -> npt.NDArray[np.float64]:
    """Average true range of every series of bars, as ``brindlex.indicator_atr`` computes each.

    ``high``, ``low`` and ``close`` have one shape; arguments, result and exceptions otherwise as
    for ``sma``. The interpreter lock is released while it computes (``brindlex`` holds it).
    """
    bars = [_series(value, name)
            for value, name in ((high, "high"), (low, "low"), (close, "close"))]
    shapes = {array.shape for _, array in bars}
    if len(shapes) > 1:
        raise ValueError("arguments 'high', 'low' and 'close': expected one shape, got "
                         + ", ".join(str(array.shape) for _, array in bars))
    arrays, time_axis, runs, count = _layout([array for _, array in bars], axis, lengths, threads)
    p = _period(period, "period")
    inputs = [(name, original) for (original, _), name in zip(bars, ("high", "low", "close"))]
    results, targets = _outputs(out, ["out"], arrays[0], runs is not None, inputs)
    _native.atr(arrays[0], arrays[1], arrays[2], targets[0], p, time_axis, runs, count)
    _finish(results, targets)
    return results[0]
