"""How many leading positions of each indicator's output hold no value, for an input without NaN."""

from __future__ import annotations

import itertools
import operator
from collections.abc import Sequence
from typing import Any, Literal, overload

import numpy as np

import brindlex_batch

from . import _native
from ._sweep import is_sweep, sweep_values

__all__ = ["warmup"]

# Each indicator's number of input arrays, and its periods' defaults (None: the period is required).
_INDICATORS: dict[str, tuple[int, tuple[int | None, ...]]] = {
    "sma": (1, (None,)),
    "ema": (1, (None,)),
    "atr": (3, (14,)),
    "macd": (1, (12, 26, 9)),
}


def _periods(indicator: str, given: tuple[Any, ...]) -> tuple[Any, ...]:
    """The periods with their defaults filled in, checked by the indicator's own function on empty
    arrays, so that a period (or a sweep) refused here is refused there, with the same exception
    and message."""
    inputs, defaults = _INDICATORS[indicator]
    if len(given) > len(defaults) or None in defaults[len(given):]:
        required = sum(d is None for d in defaults)
        counts = f"{required} to {len(defaults)}" if required < len(defaults) else str(required)
        plural = "s" if len(defaults) > 1 else ""
        raise TypeError(f"warmup({indicator!r}, ...) takes {counts} period{plural}, got {len(given)}")
    periods = given + defaults[len(given):]
    # Looked up when called: the package imports this module before it defines the functions.
    getattr(brindlex_batch, indicator)(*(np.empty(0) for _ in range(inputs)), *periods)
    return periods


def _one(indicator: str, periods: tuple[Any, ...]) -> int | None | dict[str, int]:
    """The warm-up of one combination of checked periods."""
    if indicator == "macd":
        _, slow, signal = (operator.index(p) for p in periods)
        # For a huge signal period the kernels' start wraps, and the signal then starts with the line.
        signal_start = max(slow - 1, _native.macd_signal_start(slow, signal))
        return {"macd": slow - 1, "signal": signal_start, "hist": signal_start}
    period = operator.index(periods[0])
    if period == 0:
        return None
    return period if indicator == "atr" else period - 1


def _nested(flat: list[Any], lengths: list[int]) -> list[Any]:
    """A flat list in row-major order as nested lists, one level per length."""
    if len(lengths) == 1:
        return flat
    step = len(flat) // lengths[0] if lengths[0] else 0
    return [_nested(flat[i * step:(i + 1) * step], lengths[1:]) for i in range(lengths[0])]


def _swept(indicator: str, periods: tuple[Any, ...]) -> list[Any] | dict[str, list[Any]]:
    """The warm-ups of every combination of a sweep, nested as the sweep's leading axes."""
    values = [sweep_values(p, "period") for p in periods]
    lengths = [len(v) for v in values if v is not None]
    combos = itertools.product(*(v if v is not None else [p] for v, p in zip(values, periods)))
    each = [_one(indicator, c) for c in combos]
    if indicator == "macd":
        return {k: _nested([w[k] for w in each], lengths) for k in ("macd", "signal", "hist")}  # type: ignore[index]
    return _nested(each, lengths)


# A sweep: one or more periods given as sequences, answered as nested lists in the sweep's shape.
Sweep = Sequence[int]


@overload
def warmup(indicator: Literal["sma", "ema", "atr"], /, *periods: int) -> int | None: ...
@overload
def warmup(indicator: Literal["macd"], /, *periods: int) -> dict[str, int]: ...
@overload
def warmup(indicator: Literal["sma", "ema", "atr"], /, *periods: int | Sweep) -> int | None | list[Any]: ...
@overload
def warmup(indicator: Literal["macd"], /, *periods: int | Sweep) -> dict[str, int] | dict[str, list[Any]]: ...


def warmup(indicator: str, /, *periods: int | Sweep) -> int | None | dict[str, int] | list[Any] | dict[str, list[Any]]:
    """The number of leading positions that hold no value, for an input without NaN or infinity.

    SMA and EMA: ``period - 1``; ATR: ``period`` (bar 0 has no true range); MACD, a mapping: the
    line ``slow_period - 1``, the signal line and the histogram ``slow_period + signal_period -
    2``. A series that is not longer than that holds no value at all. ``None`` says that the
    period gives no value at any position, whatever the length (period 0 of SMA, EMA and ATR).
    Periods and their defaults are those of the indicator functions, and are checked as they
    check them. With sequences of periods (a sweep), nested lists of these, one level per swept
    argument in argument order, as the sweep's results are laid out (MACD: a mapping of such
    lists)."""
    if indicator not in _INDICATORS:
        raise ValueError(f"argument 'indicator': expected 'sma', 'ema', 'macd' or 'atr',"
                         f" got {indicator!r}")
    checked = _periods(indicator, periods)
    return _swept(indicator, checked) if is_sweep(checked) else _one(indicator, checked)
