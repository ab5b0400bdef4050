"""Many series per call: each series computed exactly as brindlex computes it alone.

``sma``, ``ema``, ``macd`` and ``atr`` take one series (a one-dimensional array) or many: a
two-dimensional array whose ``axis`` is time (``axis=-1``, the default, one series per row;
``axis=0`` one series per column), or a long column cut into consecutive series by ``lengths``,
or grouped by ``groups``: one integer code per row, the rows of a code forming one series in row
order, wherever they lie.
Every series' result equals, bit for bit, what ``brindlex.indicator_*`` gives on that series
alone, whatever the layout, the number of threads or the processor's vector instructions.

Inputs are anything NumPy can view or convert (``numpy.asarray``): NumPy arrays of any strides,
``Series.to_numpy()`` of pandas and polars, pandas and polars Series themselves, pyarrow arrays
(nulls become NaN), buffers; objects offering DLPack and none of the protocols ``numpy.asarray``
reads in place (buffer, ``__array__``, ``__array_interface__``, ``__array_struct__``) go through
``numpy.from_dlpack``. Integer and floating-point arrays other than float64 are converted to
float64, as ``astype`` does (exact for float32 and for integers up to 2**53). Boolean, complex, object, string and date-time
arrays are refused with ``TypeError``.

Every period argument takes one period or a one-dimensional sequence of them, a sweep: the
result then gains leading axes, one per swept argument in argument order, over every combination
of their values (``ema(close, [5, 10, 20])`` on a ``(T, N)`` array gives ``(3, T, N)``), and each
slice equals, bit for bit, the call with that combination's periods.

Results are new float64 arrays of the input's shape and memory order (a Fortran-ordered or
transposed input gives a Fortran-ordered result), or are written into ``out=``. A call that raises
has written nothing into ``out``.
"""

from pathlib import Path as _Path
from typing import TYPE_CHECKING, NamedTuple, SupportsIndex

import numpy as np
import numpy.typing as npt

try:
    from . import _native
except ImportError as _import_error:  # run from a checkout's root, this source folder hides the installed package
    if list(_Path(__file__).parent.glob("_native.*.so")):
        raise
    raise ImportError(f"brindlex_batch was imported from its source folder {__path__[0]}, which holds no "
                      "compiled module: Python looks in the current directory first. Run Python from "
                      "another directory, or with -P, to import the installed package.") from _import_error
from ._sweep import Period, is_sweep as _is_sweep, swept_call as _swept_call
from ._warmup import warmup

__all__ = ["MacdResult", "Period", "atr", "ema", "macd", "sma", "warmup"]


class MacdResult(NamedTuple):
    """The three outputs of ``macd``, each of the input's shape (with the sweep's axes first)."""

    macd: npt.NDArray[np.float64]
    signal: npt.NDArray[np.float64]
    hist: npt.NDArray[np.float64]



def sma(data: npt.ArrayLike, period: Period, *, axis: SupportsIndex = -1,
        lengths: npt.ArrayLike | None = None, groups: npt.ArrayLike | None = None,
        out: npt.NDArray[np.float64] | None = None,
        threads: SupportsIndex = 1) -> npt.NDArray[np.float64]:
    """Simple moving average of every series, as ``brindlex.indicator_sma`` computes each.

    ``data``: one series (1-D) or many (2-D, ``axis`` naming time), or a long column cut by
    ``lengths`` (lengths of consecutive series, summing to ``len(data)``), or a long column grouped
    by ``groups`` (one code per row, integers of any dtype from 0 up, not necessarily sorted,
    adjacent or dense: the rows of each code form one series, in row order, and each row's result
    is its series' value). ``lengths`` and ``groups`` exclude each other. ``period``: an integer
    from 0 to 2**64 - 1, or a one-dimensional sequence of them (a sweep: the result gains a leading
    axis, slice ``i`` computed with ``period[i]``). ``out``: a writeable float64 array of the
    result's shape sharing no memory with ``data``. ``threads``: how many threads share the series (0: every core, at most 256); the
    interpreter lock is released while they compute. Returns ``out``, or a new array of
    ``data``'s shape.

    Raises ``TypeError`` (a non-integer period, axis or threads; data that are not real numbers;
    ``lengths`` or ``groups`` not integers; ``out`` not a float64 ndarray), ``OverflowError`` (a
    period below 0 or above 2**64 - 1) and ``ValueError`` (a shape, axis, ``lengths``, ``groups``
    or ``out`` that does not fit, a negative code, both ``lengths`` and ``groups``, ``out``
    sharing memory with ``data``, or a period sequence of sequences). A sweep's messages name the
    combination of periods refused.
    """
    try:
        return _native.sma(data, period, axis, lengths, groups, out, threads)
    except TypeError:  # a sequence of periods, or an error the sweep's checks raise again
        if not _is_sweep((period,)):
            raise
    return _swept_call(_native.sma, [("data", data)], [("period", period)], axis, lengths, groups, out, threads, 1)[0]


def ema(data: npt.ArrayLike, period: Period, *, axis: SupportsIndex = -1,
        lengths: npt.ArrayLike | None = None, groups: npt.ArrayLike | None = None,
        out: npt.NDArray[np.float64] | None = None, threads: SupportsIndex = 1) -> npt.NDArray[np.float64]:
    """Exponential moving average of every series, as ``brindlex.indicator_ema`` computes each.

    Arguments, result and exceptions as for ``sma``.
    """
    try:
        return _native.ema(data, period, axis, lengths, groups, out, threads)
    except TypeError:
        if not _is_sweep((period,)):
            raise
    return _swept_call(_native.ema, [("data", data)], [("period", period)], axis, lengths, groups, out, threads, 1)[0]


def macd(data: npt.ArrayLike, fast_period: Period = 12, slow_period: Period = 26,
         signal_period: Period = 9, *, axis: SupportsIndex = -1,
         lengths: npt.ArrayLike | None = None, groups: npt.ArrayLike | None = None,
         out: tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]
         | None = None,
         threads: SupportsIndex = 1) -> MacdResult:
    """MACD line, signal line and histogram of every series, as ``brindlex.indicator_macd``
    computes each.

    Arguments as for ``sma``, with ``out`` a tuple of three arrays (MACD, signal, histogram) that
    share no memory with ``data`` nor with each other. Returns a ``MacdResult`` named tuple.
    Besides the exceptions of ``sma``, raises ``ValueError`` "Periods must be greater than 0" and
    "Fast period must be less than slow period", as brindlex does; in a sweep, for any combination,
    named in the message, before anything is computed.
    """
    try:
        return _native.macd(data, fast_period, slow_period, signal_period, axis, lengths, groups, out, threads)
    except TypeError:
        if not _is_sweep((fast_period, slow_period, signal_period)):
            raise
    periods = [("fast_period", fast_period), ("slow_period", slow_period), ("signal_period", signal_period)]
    return MacdResult(*_swept_call(_native.macd, [("data", data)], periods, axis, lengths, groups, out, threads, 3))


def atr(high: npt.ArrayLike, low: npt.ArrayLike, close: npt.ArrayLike,
        period: Period = 14, *, axis: SupportsIndex = -1,
        lengths: npt.ArrayLike | None = None, groups: npt.ArrayLike | None = None,
        out: npt.NDArray[np.float64] | None = None, threads: SupportsIndex = 1) -> npt.NDArray[np.float64]:
    """Average true range of every series of bars, as ``brindlex.indicator_atr`` computes each.

    ``high``, ``low`` and ``close`` have one shape; arguments, result and exceptions otherwise as
    for ``sma``. The interpreter lock is released while it computes (``brindlex`` holds it).
    """
    try:
        return _native.atr(high, low, close, period, axis, lengths, groups, out, threads)
    except TypeError:
        if not _is_sweep((period,)):
            raise
    inputs = [("high", high), ("low", low), ("close", close)]
    return _swept_call(_native.atr, inputs, [("period", period)], axis, lengths, groups, out, threads, 1)[0]


# Plain calls (integer periods, known keywords) bind their arguments in C++ and go straight to the
# kernels, which saves the interpreter's frame of the definitions above: a tenth of a microsecond,
# a third of a short call's cost. Every other call, sweeps included, runs the definitions.
if not TYPE_CHECKING:
    sma, ema, macd, atr = (_native.fast_front(f, n) for f, n in (
        (sma, _native.sma), (ema, _native.ema), (macd, _native.macd), (atr, _native.atr)))
