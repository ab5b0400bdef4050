"""The four indicators as plain Python loops, written from brindlex's documented rules.

The loops are the test suite's own oracle (tests/reference.py): a Python float is an IEEE-754
double and every operation there rounds once, in the order the rules give, so a correct native
result equals them bit for bit. The agreement check compares the two and takes neither for right:
`check_examples` first holds the loops against results worked out by hand.
"""

from __future__ import annotations

import importlib.util
import math
from pathlib import Path

ORACLE = Path(__file__).resolve().parents[2] / "tests" / "reference.py"


def _load_oracle():
    # Loaded from its file under a name of its own: the tests' folder never joins the import
    # path, so none of its modules can shadow another.
    spec = importlib.util.spec_from_file_location("brindlex_bench_reference", ORACLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


reference = _load_oracle()

NAN = float("nan")


def sma(period: int, data) -> list[float]:
    return reference.sma(period, data, [])


def ema(period: int, data) -> list[float]:
    return reference.ema(period, data, [])


def macd(fast: int, slow: int, signal: int, data) -> tuple[list[float], list[float], list[float]]:
    n = len(data)
    return reference.macd(fast, slow, signal, data, [NAN] * n, [NAN] * n, [NAN] * n)


def atr(period: int, high, low, close) -> list[float]:
    return reference.atr(period, high, low, close, [])


def _same(got: list[float], want: list[float]) -> bool:
    return len(got) == len(want) and all(
        (math.isnan(g) and math.isnan(w)) or (g == w and math.copysign(1, g) == math.copysign(1, w))
        for g, w in zip(got, want))


def check_examples() -> list[str]:
    """The loops against small cases worked out by hand; returns what fails (nothing, if sound)."""
    nan = NAN
    high = [10.0, 12.0, 11.0, 15.0, 14.0]
    low = [9.0, 10.0, 10.0, 12.0, 13.0]
    close = [9.5, 11.0, 10.5, 14.0, 13.5]
    # True ranges of bars 1..4: max(2, 2.5, 0.5) = 2.5, max(1, 0, 1) = 1, 4.5 and 1. With p = 3:
    # (2.5 + 1 + 4.5) / 3, then 8/3 + (1 - 8/3) * (1/3), each step rounded once.
    third = 1.0 / 3.0
    cases = {
        "sma [1..5], 3": (sma(3, [1.0, 2.0, 3.0, 4.0, 5.0]), [nan, nan, 2.0, 3.0, 4.0]),
        # 0.3333333333333333 * 5: the reciprocal, not the quotient 5 / 3.
        "sma [1, 2, 2], 3": (sma(3, [1.0, 2.0, 2.0]), [nan, nan, third * 5.0]),
        "ema [1..6], 3": (ema(3, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]), [nan, nan, 2.0, 3.0, 4.0, 5.0]),
        # Seed window 3, 4, 5 (mean 4); +inf skipped; 8 blends with 5: 5 * 0.5 + 8 * 0.5.
        "ema skips": (ema(3, [1.0, nan, 3.0, 4.0, 5.0, 6.0, math.inf, 8.0]),
                      [nan, nan, nan, nan, 4.0, 5.0, nan, 6.5]),
        "macd [1..6], 2/3/2": (list(macd(2, 3, 2, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0])),
                               [[nan, nan, 0.5, 0.5, 0.5, 0.5], [nan, nan, nan, 0.5, 0.5, 0.5],
                                [nan, nan, nan, 0.0, 0.0, 0.0]]),
        "atr, 3": (atr(3, high, low, close),
                   [nan, nan, nan, 8.0 / 3.0, 8.0 / 3.0 + (1.0 - 8.0 / 3.0) * third]),
        "atr, 1": (atr(1, high, low, close), [nan, 2.5, 1.0, 4.5, 1.0]),
        # high[2] missing: bar 2's range is |10 - 11| = 1, so the seed is (2.5 + 1) / 2.
        "atr ignores one NaN": (atr(2, [10.0, 12.0, nan, 15.0, 14.0], low, close),
                                [nan, nan, 1.75, 3.125, 2.0625]),
    }
    failed = []
    for name, (got, want) in cases.items():
        pairs = zip(got, want) if name.startswith("macd") else [(got, want)]
        if not all(_same(g, w) for g, w in pairs):
            failed.append(f"{name}: {got} != {want}")
    return failed
