"""SMA, EMA, MACD and ATR over one-dimensional float64 NumPy arrays, bit-reproducible.

Every function checks its arguments, writes its results into output arrays that the caller
allocated (one-dimensional, C-contiguous, writeable ``float64``, as long as the input) and returns
``None``. Positions without a value hold NaN with the bit pattern 0x7FF8000000000000. A call that
raises has written nothing. Periods are integers from 0 to 2**64 - 1 (``bool`` and NumPy integers
work too); a negative period or one of 2**64 or more raises ``OverflowError``.

Common exceptions of all four functions:

- ``TypeError``: a missing, surplus or misnamed argument; a period that is not an integer; an array
  argument that is not a one-dimensional ``float64`` ``numpy.ndarray`` ("argument 'data': 'Series'
  object cannot be converted to 'PyArray<T, D>'" means: pass ``series.to_numpy(np.float64)``).
- ``OverflowError``: a negative period, or one of 2**64 or more.
- ``ValueError``: a non-contiguous array, arrays of different lengths, or a read-only output.
- ``BufferError``: an input array that other native code in the process holds borrowed for
  writing.
"""

from typing import SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

__all__ = ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]

_Float64Vector: TypeAlias = npt.NDArray[np.float64]

def indicator_sma(period: SupportsIndex, data: _Float64Vector, output: _Float64Vector) -> None:
    """Simple moving average: ``output[i]`` is the mean of ``data[i - period + 1 : i + 1]``.

    A running sum times ``1 / period``, rolled along the series. Warm-up: ``output[:period - 1]``
    is NaN and the first value is at ``period - 1``; a period of 0 or above ``len(data)`` gives
    all NaN. A NaN at position k makes every value from ``max(k, period - 1)`` on NaN, also after
    it leaves the window; an infinity gives infinite values while it is in the window and NaN
    after. With ``output`` the very array passed as ``data`` every value is NaN. The interpreter
    lock is released while it computes.

    Raises ``TypeError``, ``OverflowError`` (negative period), ``ValueError`` ("Input array must
    be C-contiguous and float64", "Output array must be C-contiguous and float64", "Output array
    length must match input", "Output array must be writeable") and ``BufferError``.
    """

def indicator_ema(period: SupportsIndex, data: _Float64Vector, output: _Float64Vector) -> None:
    """Exponential moving average with weight ``2 / (period + 1)`` on the newest value.

    Seeded with the plain mean of the first ``period`` consecutive finite values, which end at
    ``period - 1`` when the series starts finite: that is where the warm-up ends. NaN and
    infinite values before the seed only move it later; after the seed each one gives NaN at its
    own position and is skipped, the average going on from its last value. A period of 0, above
    ``len(data)``, or no ``period`` consecutive finite values gives all NaN. With ``output`` the
    very array passed as ``data`` every value is NaN. The interpreter lock is released while it
    computes.

    Raises ``TypeError``, ``OverflowError`` (negative period), ``ValueError`` (the messages of
    ``indicator_sma``) and ``BufferError``.
    """

def indicator_macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: _Float64Vector,
    macd_output: _Float64Vector,
    signal_output: _Float64Vector,
    hist_output: _Float64Vector,
) -> None:
    """MACD line (fast minus slow exponential average), its signal line and their difference.

    Both averages are seeded at ``slow_period - 1`` with the means of the values ending there, so
    the MACD line starts at ``slow_period - 1``; the signal line (an exponential average of the
    MACD line) starts at ``slow_period + signal_period - 2`` with the MACD value there, where the
    histogram is exactly 0. A NaN input after ``slow_period - 1`` gives NaN at its own position
    in all three outputs and is skipped; one at or before it makes every output entirely NaN. An
    infinity is not skipped: from its position on every output is NaN (the MACD and signal lines
    are infinite instead when it lies in the slow seed window only). An output that is also
    ``data`` makes every output all NaN; outputs sharing one array keep the value written last
    (MACD, then signal, then histogram). The interpreter lock is released while it computes.

    Raises ``TypeError``, ``OverflowError`` (negative period), ``BufferError`` and ``ValueError``:
    "Periods must be greater than 0", "Fast period must be less than slow period", "All output
    arrays must have the same length as input data", "Input array must be C-contiguous", and
    "MACD output array must be C-contiguous" or "... must be writeable" (likewise "Signal ..." and
    "Histogram ...").
    """

def indicator_atr(
    period: SupportsIndex,
    high: _Float64Vector,
    low: _Float64Vector,
    close: _Float64Vector,
    output: _Float64Vector,
) -> None:
    """Average true range of bars given as ``high``, ``low`` and ``close``.

    The true range of bar i >= 1 is the largest of ``high[i] - low[i]``, ``|high[i] -
    close[i - 1]|`` and ``|low[i] - close[i - 1]|``; bar 0's high and low and the last close are
    never read. The first value, at ``period``, is the mean of the true ranges of bars 1 to
    ``period``; after it, ``atr += (tr - atr) * (1 / period)``. Warm-up: ``output[:period]`` is
    NaN; a period of 0 or of at least ``len(high)`` gives all NaN. One NaN among ``high[i]``,
    ``low[i]`` and ``close[i - 1]`` is ignored by the maximum; two make the true range NaN and the
    average NaN from that bar on. An infinite price makes the first average that includes it
    infinite and every later one NaN. An output that is also an input is filled with NaN before
    the inputs are read, and as ``close`` it then feeds earlier results back: use a separate
    array. Computed with the interpreter lock held.

    Raises ``TypeError``, ``OverflowError`` (negative period), ``BufferError`` and ``ValueError``:
    "High (or Low, Close, Output) array must be C-contiguous and float64", "All arrays must have
    the same length", "Output array must be writeable".
    """
