"""
Many series per call, bit for bit as brindlex computes each. Private: the functions of brindlex_batch, which call these with every argument given.
"""

from collections.abc import Sequence
from typing import Literal, SupportsIndex

import numpy
import numpy.typing

from brindlex_batch import MacdResult


def sma(data: numpy.typing.ArrayLike, period: SupportsIndex | Sequence[SupportsIndex], axis: SupportsIndex, lengths: numpy.typing.ArrayLike | None, groups: numpy.typing.ArrayLike | None, out: numpy.typing.NDArray[numpy.float64] | None, threads: SupportsIndex, /) -> numpy.typing.NDArray[numpy.float64]:
    """
    Simple moving average of every series of `data`, as brindlex_batch.sma.
    """

def ema(data: numpy.typing.ArrayLike, period: SupportsIndex | Sequence[SupportsIndex], axis: SupportsIndex, lengths: numpy.typing.ArrayLike | None, groups: numpy.typing.ArrayLike | None, out: numpy.typing.NDArray[numpy.float64] | None, threads: SupportsIndex, /) -> numpy.typing.NDArray[numpy.float64]:
    """
    Exponential moving average of every series of `data`, as brindlex_batch.ema.
    """

def macd(data: numpy.typing.ArrayLike, fast_period: SupportsIndex | Sequence[SupportsIndex], slow_period: SupportsIndex | Sequence[SupportsIndex], signal_period: SupportsIndex | Sequence[SupportsIndex], axis: SupportsIndex, lengths: numpy.typing.ArrayLike | None, groups: numpy.typing.ArrayLike | None, out: tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]] | None, threads: SupportsIndex, /) -> MacdResult:
    """
    MACD line, signal line and histogram of every series of `data` as a brindlex_batch.MacdResult, as
    brindlex_batch.macd.
    """

def atr(high: numpy.typing.ArrayLike, low: numpy.typing.ArrayLike, close: numpy.typing.ArrayLike, period: SupportsIndex | Sequence[SupportsIndex], axis: SupportsIndex, lengths: numpy.typing.ArrayLike | None, groups: numpy.typing.ArrayLike | None, out: numpy.typing.NDArray[numpy.float64] | None, threads: SupportsIndex, /) -> numpy.typing.NDArray[numpy.float64]:
    """Average true range of every series of bars, as brindlex_batch.atr."""

def fast_front(definition: object, native: object) -> object:
    """
    The public function of that Python definition whose plain calls go straight to the native function.
    """

def macd_signal_start(slow_period: int, signal_period: int) -> int:
    """Where MACD's signal line starts, as the kernels compute it."""

def input_array(data: numpy.typing.ArrayLike, name: str) -> numpy.typing.NDArray[numpy.float64]:
    """
    The float64 array a call computes on for the argument `name`, converted once: what the
    sweeps of brindlex_batch hand to each period's call.
    """

def sma_sweep(data: numpy.typing.NDArray[numpy.float64], periods: numpy.typing.NDArray[numpy.uint64], out: numpy.typing.NDArray[numpy.float64], threads: int) -> None:
    """
    Row k of `out`: the SMA of `data` with periods[k]; every argument already checked by the caller.
    """

def ema_sweep(data: numpy.typing.NDArray[numpy.float64], periods: numpy.typing.NDArray[numpy.uint64], out: numpy.typing.NDArray[numpy.float64], threads: int) -> None:
    """
    Row k of `out`: the EMA of `data` with periods[k]; every argument already checked by the caller.
    """

def macd_sweep(data: numpy.typing.NDArray[numpy.float64], periods: numpy.typing.NDArray[numpy.uint64], macd: numpy.typing.NDArray[numpy.float64], signal: numpy.typing.NDArray[numpy.float64], hist: numpy.typing.NDArray[numpy.float64], threads: int) -> None:
    """
    Row k of the outputs: MACD of `data` with periods[3k..3k+2] (fast, slow, signal); every argument
    already checked by the caller.
    """

def atr_sweep(high: numpy.typing.NDArray[numpy.float64], low: numpy.typing.NDArray[numpy.float64], close: numpy.typing.NDArray[numpy.float64], periods: numpy.typing.NDArray[numpy.uint64], out: numpy.typing.NDArray[numpy.float64], threads: int) -> None:
    """
    Row k of `out`: the ATR of the bars with periods[k]; every argument already checked by the caller.
    """

def _available_targets() -> list[str]:
    """
    Names of the kernels' code paths this processor runs, the one chosen by default last.
    """

def _force_target(name: str) -> None:
    """
    Runs every kernel of every later call on the named code path, for tests of each path;
    'default' gives back the default choice.
    """

def _force_streaming(on: bool) -> None:
    """
    While on, every later call writes with streaming stores every output it can, however small,
    for tests of that path.
    """

def group_string_keys(stream: object, codes_only: bool, sorted: bool = False) -> tuple[numpy.typing.NDArray[numpy.unsignedinteger], Literal['runs', 'turns', 'codes'], int] | None:
    """
    Groups the rows of a string column given as an Arrow stream capsule ("arrow_array_stream"): (lengths, 'runs', missing) where every key's rows form one run; (codes, 'turns', missing) where the rows take turns through the keys, each once a turn in the same order, codes being the first turn's; else (codes, 'codes', missing), a code per row. missing is the code of the rows without a key (-1: none). With codes_only, always a code per row. None for a column of other types. With sorted, the keys are taken to be sorted (as polars' sorted flag says), and each key's run is searched for rather than read through.
    """
