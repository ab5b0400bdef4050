"""One bar at a time, bit for bit as brindlex computes the whole series."""

from typing import Final, Self, SupportsIndex, final

from _typeshed import structseq
import numpy
import numpy.typing


@final
class Sma():
    """
    Simple moving average of the last `period` bars, one bar at a time.

    Every value equals what brindlex.indicator_sma gives at that position over all the bars
    committed so far, bit for bit. Memory: the last `period` bars (only those seen so far).
    """

    def __init__(self, period: SupportsIndex) -> None: ...

    @property
    def period(self) -> int:
        """The period the stream was made with."""

    @property
    def value(self) -> float:
        """The value the last update returned (NaN before any)."""

    def update_many(self, data: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]:
        """
        Commits the bars of `data` (any one-dimensional array-like of real numbers) in order and
        returns their values as a new float64 array, as update would have one by one.
        """

    @property
    def count(self) -> int:
        """The number of bars committed so far."""

    @property
    def ready(self) -> bool:
        """True once the warm-up is over and the first value has appeared."""

    def copy(self) -> Sma:
        """
        An independent stream in the same state: updating one leaves the other as it was.
        """

    def __copy__(self) -> Sma: ...

    def __deepcopy__(self, memo: dict[int, object], /) -> Self: ...

    def __repr__(self) -> str: ...

    def __getstate__(self) -> tuple[int, bytes]:
        """The state as (format version, bytes): exact to the bit, for pickling."""

    def __reduce__(self) -> tuple[object, tuple[type[Self]], tuple[int, bytes]]: ...

    def __setstate__(self, state: tuple[int, bytes], /) -> None:
        """
        Restores a state that __getstate__ gave, on an object made by __new__ alone (as pickle does).
        """

    def update(self, x: float, /) -> float:
        """
        Commits the bar `x` and returns the new average (NaN while fewer than `period` bars have come).
        """

    def peek(self, x: float, /) -> float:
        """
        What update(x) would return, without committing: for a bar still forming.
        """

@final
class Ema():
    """
    Exponential moving average with weight 2 / (period + 1), one bar at a time.

    Every value equals what brindlex.indicator_ema gives at that position over all the bars
    committed so far, bit for bit. Memory: O(1) whatever the period.
    """

    def __init__(self, period: SupportsIndex) -> None: ...

    @property
    def period(self) -> int:
        """The period the stream was made with."""

    @property
    def value(self) -> float:
        """The value the last update returned (NaN before any)."""

    def update_many(self, data: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]:
        """
        Commits the bars of `data` (any one-dimensional array-like of real numbers) in order and
        returns their values as a new float64 array, as update would have one by one.
        """

    @property
    def count(self) -> int:
        """The number of bars committed so far."""

    @property
    def ready(self) -> bool:
        """True once the warm-up is over and the first value has appeared."""

    def copy(self) -> Ema:
        """
        An independent stream in the same state: updating one leaves the other as it was.
        """

    def __copy__(self) -> Ema: ...

    def __deepcopy__(self, memo: dict[int, object], /) -> Self: ...

    def __repr__(self) -> str: ...

    def __getstate__(self) -> tuple[int, bytes]:
        """The state as (format version, bytes): exact to the bit, for pickling."""

    def __reduce__(self) -> tuple[object, tuple[type[Self]], tuple[int, bytes]]: ...

    def __setstate__(self, state: tuple[int, bytes], /) -> None:
        """
        Restores a state that __getstate__ gave, on an object made by __new__ alone (as pickle does).
        """

    def update(self, x: float, /) -> float:
        """
        Commits the bar `x` and returns the new average (NaN before the seed, and for a NaN or infinite bar, which is skipped).
        """

    def peek(self, x: float, /) -> float:
        """
        What update(x) would return, without committing: for a bar still forming.
        """

@final
class MacdValues(structseq[float], tuple[float, float, float]):
    """MACD line, signal line and histogram of one bar (NaN where there is no value)."""
    __match_args__: Final = ("macd", "signal", "hist")
    @property
    def macd(self) -> float:
        """The MACD line: fast average minus slow average."""
    @property
    def signal(self) -> float:
        """The signal line: an exponential average of the MACD line."""
    @property
    def hist(self) -> float:
        """The histogram: MACD line minus signal line."""

@final
class Macd():
    """
    MACD (fast average minus slow average), its signal line and histogram, one bar at a time.

    Every value equals what brindlex.indicator_macd gives at that position over all the bars
    committed so far, bit for bit. Memory: the last slow_period - 1 bars (only those seen so far),
    which a re-seed of the averages after a NaN may need at any time.
    """

    def __init__(self, fast_period: SupportsIndex = 12, slow_period: SupportsIndex = 26, signal_period: SupportsIndex = 9) -> None: ...

    @property
    def fast_period(self) -> int:
        """The fast average's period."""

    @property
    def slow_period(self) -> int:
        """The slow average's period."""

    @property
    def signal_period(self) -> int:
        """The signal line's period."""

    @property
    def value(self) -> MacdValues:
        """The values the last update returned (NaN before any)."""

    def update_many(self, data: numpy.typing.ArrayLike) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
        """
        Commits the bars of `data` (any one-dimensional array-like of real numbers) in order and
        returns the MACD line, signal line and histogram as three new float64 arrays.
        """

    @property
    def count(self) -> int:
        """The number of bars committed so far."""

    @property
    def ready(self) -> bool:
        """True once the warm-up is over and the first value has appeared."""

    def copy(self) -> Macd:
        """
        An independent stream in the same state: updating one leaves the other as it was.
        """

    def __copy__(self) -> Macd: ...

    def __deepcopy__(self, memo: dict[int, object], /) -> Self: ...

    def __repr__(self) -> str: ...

    def __getstate__(self) -> tuple[int, bytes]:
        """The state as (format version, bytes): exact to the bit, for pickling."""

    def __reduce__(self) -> tuple[object, tuple[type[Self]], tuple[int, bytes]]: ...

    def __setstate__(self, state: tuple[int, bytes], /) -> None:
        """
        Restores a state that __getstate__ gave, on an object made by __new__ alone (as pickle does).
        """

    def update(self, x: float, /) -> MacdValues:
        """
        Commits the bar `x` and returns MacdValues(macd, signal, hist) (NaN where there is no value: the warm-up, a NaN bar).
        """

    def peek(self, x: float, /) -> MacdValues:
        """
        What update(x) would return, without committing: for a bar still forming.
        """

@final
class Atr():
    """
    Average true range of high, low and close bars, one bar at a time.

    Every value equals what brindlex.indicator_atr gives at that position over all the bars
    committed so far, bit for bit. Memory: O(1) whatever the period.
    """

    def __init__(self, period: SupportsIndex = 14) -> None: ...

    @property
    def period(self) -> int:
        """The period the stream was made with."""

    @property
    def value(self) -> float:
        """The value the last update returned (NaN before any)."""

    def update_many(self, high: numpy.typing.ArrayLike, low: numpy.typing.ArrayLike, close: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]:
        """
        Commits the bars of `high`, `low` and `close` (one-dimensional array-likes of real numbers,
        all of one length) in order and returns their values as a new float64 array.
        """

    @property
    def count(self) -> int:
        """The number of bars committed so far."""

    @property
    def ready(self) -> bool:
        """True once the warm-up is over and the first value has appeared."""

    def copy(self) -> Atr:
        """
        An independent stream in the same state: updating one leaves the other as it was.
        """

    def __copy__(self) -> Atr: ...

    def __deepcopy__(self, memo: dict[int, object], /) -> Self: ...

    def __repr__(self) -> str: ...

    def __getstate__(self) -> tuple[int, bytes]:
        """The state as (format version, bytes): exact to the bit, for pickling."""

    def __reduce__(self) -> tuple[object, tuple[type[Self]], tuple[int, bytes]]: ...

    def __setstate__(self, state: tuple[int, bytes], /) -> None:
        """
        Restores a state that __getstate__ gave, on an object made by __new__ alone (as pickle does).
        """

    def update(self, high: float, low: float, close: float, /) -> float:
        """
        Commits the bar and returns the new average true range (NaN for the first `period` bars).
        """

    def peek(self, high: float, low: float, close: float, /) -> float:
        """
        What update(high, low, close) would return, without committing: for a bar still forming.
        """
