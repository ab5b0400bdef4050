"""The four indicators as plain Python loops, written from brindlex's documented rules.

A Python float is an IEEE-754 double and every operation below rounds once, in the order the
rules give, so a correct native result equals these loops bit for bit. The agreement check
compares the two and takes neither for right: `check_examples` first holds these loops against
results worked out by hand.
"""

from __future__ import annotations

import math

NAN = float("nan")


def sma(period: int, data) -> list[float]:
    """Mean of the last `period` values: a running sum, started at -0.0 and updated by the
    difference of the entering and leaving values, times 1/period. NaN before the first full
    window; no value gets special treatment, so a NaN or infinity stays in the sum for good."""
    n = len(data)
    out = [NAN] * n
    if period == 0 or period > n:
        return out
    total = -0.0
    for k in range(period):
        total = total + data[k]
    inv = 1.0 / float(period)
    out[period - 1] = inv * total
    for i in range(period, n):
        d = data[i] - data[i - period]
        total = total + d
        out[i] = inv * total
    return out


def ema(period: int, data) -> list[float]:
    """Weight 2/(period + 1), seeded by the mean (a true division) of the first `period`
    consecutive finite values; NaN before the seed and wherever the input is not finite, which
    is skipped: the next finite value blends with the last average as if nothing were missing."""
    n = len(data)
    out = [NAN] * n
    if period == 0 or period > n:
        return out
    run, start = 0, None
    for i in range(n):
        run = run + 1 if math.isfinite(data[i]) else 0
        if run == period:
            start = i - period + 1
            break
    if start is None:
        return out
    total = -0.0
    for k in range(period):
        total = total + data[start + k]
    value = total / float(period)
    out[start + period - 1] = value
    alpha = 2.0 / (float(period) + 1.0)
    beta = 1.0 - alpha
    for i in range(start + period, n):
        x = data[i]
        if math.isfinite(x):
            value = (value * beta) + (x * alpha)
            out[i] = value
    return out


def macd(fast: int, slow: int, signal: int, data) -> tuple[list[float], list[float], list[float]]:
    """Fast minus slow exponential average, both seeded at position slow - 1 with the mean of the
    values ending there (summed from the newest back); the signal line is seeded with the one
    MACD value at position slow + signal - 2; NaN inputs are skipped, infinities are not."""
    n = len(data)
    line, sig, hist = [NAN] * n, [NAN] * n, [NAN] * n
    fa, sa, ga = (2.0 / (float(p) + 1.0) for p in (fast, slow, signal))
    fb, sb, gb = 1.0 - fa, 1.0 - sa, 1.0 - ga
    f_ema = s_ema = g_ema = NAN
    for i in range(n):
        x = data[i]
        if math.isnan(x) or i < slow - 1:
            continue
        if math.isnan(f_ema):
            total = -0.0
            for k in range(fast):
                total = total + data[i - k]
            f_ema = total / float(fast)
            total = -0.0
            for k in range(slow):
                total = total + data[i - k]
            s_ema = total / float(slow)
        else:
            s_ema = (s_ema * sb) + (x * sa)
            f_ema = (f_ema * fb) + (x * fa)
        m = f_ema - s_ema
        line[i] = m
        if not math.isnan(g_ema):
            g_ema = (g_ema * gb) + (ga * m)
        elif i >= slow + signal - 2:
            g_ema = m
        sig[i] = g_ema
        if not math.isnan(g_ema):
            hist[i] = m - g_ema
    return line, sig, hist


def _max_ignoring_nan(a: float, b: float) -> float:
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return b if b > a else a


def true_range(high: float, low: float, previous_close: float) -> float:
    """max(high - low, |high - previous close|, |low - previous close|), a NaN term ignored."""
    tr = _max_ignoring_nan(high - low, abs(high - previous_close))
    return _max_ignoring_nan(tr, abs(low - previous_close))


def atr(period: int, high, low, close) -> list[float]:
    """Mean of the true ranges of bars 1 to `period` (bar 0 has none), first at position
    `period`, then atr + (tr - atr) * (1/period) per bar; nothing is skipped or reset."""
    n = len(close)
    out = [NAN] * n
    if period == 0 or period >= n:
        return out
    inv = 1.0 / float(period)
    total = 0.0
    for i in range(1, period + 1):
        total = total + true_range(high[i], low[i], close[i - 1])
    value = total / float(period)
    out[period] = value
    for j in range(period + 1, n):
        d = true_range(high[j], low[j], close[j - 1]) - value
        d = d * inv
        value = value + d
        out[j] = value
    return out


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
