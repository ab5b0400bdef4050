"""
Many series per call, bit for bit as brindlex computes each. Private: brindlex_batch checks the caller's arguments, converts them and never passes overlapping arrays.
"""

from typing import Annotated

import numpy
from numpy.typing import NDArray


def sma(data: Annotated[NDArray[numpy.float64], dict(device='cpu', writable=False)], out: Annotated[NDArray[numpy.float64], dict(device='cpu')], period: int, time_axis: int, lengths: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)] | None, threads: int) -> None:
    """Simple moving average of every series of `data` into `out`."""

def ema(data: Annotated[NDArray[numpy.float64], dict(device='cpu', writable=False)], out: Annotated[NDArray[numpy.float64], dict(device='cpu')], period: int, time_axis: int, lengths: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)] | None, threads: int) -> None:
    """Exponential moving average of every series of `data` into `out`."""

def macd(data: Annotated[NDArray[numpy.float64], dict(device='cpu', writable=False)], macd_out: Annotated[NDArray[numpy.float64], dict(device='cpu')], signal_out: Annotated[NDArray[numpy.float64], dict(device='cpu')], hist_out: Annotated[NDArray[numpy.float64], dict(device='cpu')], fast_period: int, slow_period: int, signal_period: int, time_axis: int, lengths: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)] | None, threads: int) -> None:
    """MACD line, signal line and histogram of every series of `data`."""

def atr(high: Annotated[NDArray[numpy.float64], dict(device='cpu', writable=False)], low: Annotated[NDArray[numpy.float64], dict(device='cpu', writable=False)], close: Annotated[NDArray[numpy.float64], dict(device='cpu', writable=False)], out: Annotated[NDArray[numpy.float64], dict(device='cpu')], period: int, time_axis: int, lengths: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)] | None, threads: int) -> None:
    """Average true range of every series of bars into `out`."""

def _macd_signal_start(slow_period: int, signal_period: int) -> int:
    """Where MACD's signal line starts, as the kernels compute it."""

def _available_targets() -> list[str]:
    """
    Names of the kernels' code paths this processor runs, the one chosen by default last.
    """

def _force_target(name: str) -> None:
    """Runs every later call on the named code path, for tests of each path."""
