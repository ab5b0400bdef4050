"""Type stubs for brindlex: SMA, EMA, MACD and ATR written into caller-allocated float64 arrays.

Every function takes one-dimensional, C-contiguous ``numpy.float64`` arrays, writes its results into
the output arrays it is given and returns ``None``. Positions without a value hold NaN.
"""

from typing import Final, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__: Final[list[str]]

_Float64Vector = npt.NDArray[np.float64]

def indicator_sma(period: SupportsIndex, data: _Float64Vector, output: _Float64Vector) -> None:
    """Simple moving average of the last ``period`` values, NaN before the first full window."""

def indicator_ema(period: SupportsIndex, data: _Float64Vector, output: _Float64Vector) -> None:
    """Exponential moving average with weight 2 / (period + 1), seeded by the mean of the first
    ``period`` consecutive finite values; non-finite inputs after the seed are skipped."""

def indicator_macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: _Float64Vector,
    macd_output: _Float64Vector,
    signal_output: _Float64Vector,
    hist_output: _Float64Vector,
) -> None:
    """MACD line (fast minus slow EMA), its signal line and the histogram, in one pass.

    Needs ``0 < fast_period < slow_period`` and ``signal_period > 0``."""

def indicator_atr(
    period: SupportsIndex,
    high: _Float64Vector,
    low: _Float64Vector,
    close: _Float64Vector,
    output: _Float64Vector,
) -> None:
    """Average true range: the mean of the first ``period`` true ranges, then smoothed by
    1 / period. Computed with the interpreter lock held."""
