"""How many leading positions of each indicator's output hold no value, for an input without NaN."""

from __future__ import annotations

import operator
from typing import Any, Literal, overload

import numpy as np

import brindlex_batch

from . import _native

__all__ = ["warmup"]

# Each indicator's number of input arrays, and its periods' defaults (None: the period is required).
_INDICATORS: dict[str, tuple[int, tuple[int | None, ...]]] = {
    "sma": (1, (None,)),
    "ema": (1, (None,)),
    "atr": (3, (14,)),
    "macd": (1, (12, 26, 9)),
}


def _periods(indicator: str, given: tuple[Any, ...]) -> tuple[int, ...]:
    """The periods with their defaults filled in, checked by the indicator's own function on empty
    arrays, so that a period refused here is refused there, with the same exception and message."""
    inputs, defaults = _INDICATORS[indicator]
    if len(given) > len(defaults) or None in defaults[len(given):]:
        required = sum(d is None for d in defaults)
        counts = f"{required} to {len(defaults)}" if required < len(defaults) else str(required)
        plural = "s" if len(defaults) > 1 else ""
        raise TypeError(f"warmup({indicator!r}, ...) takes {counts} period{plural}, got {len(given)}")
    periods = given + defaults[len(given):]
    # Looked up when called: the package imports this module before it defines the functions.
    getattr(brindlex_batch, indicator)(*(np.empty(0) for _ in range(inputs)), *periods)
    return tuple(operator.index(p) for p in periods)


@overload
def warmup(indicator: Literal["sma", "ema", "atr"], /, *periods: int) -> int | None: ...
@overload
def warmup(indicator: Literal["macd"], /, *periods: int) -> dict[str, int]: ...


def warmup(indicator: str, /, *periods: int) -> int | None | dict[str, int]:
    """The number of leading positions that hold no value, for an input without NaN or infinity.

    SMA and EMA: ``period - 1``; ATR: ``period`` (bar 0 has no true range); MACD, a mapping: the
    line ``slow_period - 1``, the signal line and the histogram ``slow_period + signal_period -
    2``. A series that is not longer than that holds no value at all. ``None`` says that the
    period gives no value at any position, whatever the length (period 0 of SMA, EMA and ATR).
    Periods and their defaults are those of the indicator functions, and are checked as they
    check them."""
    if indicator not in _INDICATORS:
        raise ValueError(f"argument 'indicator': expected 'sma', 'ema', 'macd' or 'atr',"
                         f" got {indicator!r}")
    checked = _periods(indicator, periods)
    if indicator == "macd":
        _, slow, signal = checked
        # For a huge signal period the kernels' start wraps, and the signal then starts with the line.
        signal_start = max(slow - 1, _native.macd_signal_start(slow, signal))
        return {"macd": slow - 1, "signal": signal_start, "hist": signal_start}
    (period,) = checked
    if period == 0:
        return None
    return period if indicator == "atr" else period - 1
