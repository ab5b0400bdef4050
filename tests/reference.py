"""Plain Python transcriptions of the four indicators, the oracle for the property tests.

Python floats are IEEE-754 doubles and every operation below is a single rounding, so each line
reproduces the native kernel's operation order exactly; only NaN payloads may differ. Each function
writes into the lists it is given in the same order of reads and writes as the kernel, so passing
one list as an input and as an output reproduces what aliased arrays give. Every stored marker
is the object MARKER.
"""

import math
import struct



class _Marker(float):
    """The NaN marker as the kernels store it; told apart from NaNs of the arithmetic by identity,
    since |inf - inf| can give the very same bits."""


MARKER = _Marker(struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000))[0])
U64 = (1 << 64) - 1


def sma(p, data, out):
    n = len(data)
    out[:] = [MARKER] * n
    if (p - 1) & U64 >= n:
        return out
    s = -0.0
    for k in range(p):
        s = s + data[k]
    inv = 1.0 / float(p)
    out[p - 1] = inv * s
    for i in range(p, n):
        d = data[i] - data[i - p]
        s = s + d
        out[i] = inv * s
    return out


def ema(p, data, out):
    n = len(data)
    out[:] = [MARKER] * n
    if (p - 1) & U64 >= n:
        return out
    start = next((j for j in range(n - p + 1)
                  if all(math.isfinite(v) for v in data[j:j + p])), None)
    if start is None:
        return out
    s = -0.0
    for k in range(p):
        s = s + data[start + k]
    value = s / float(p)
    out[start + p - 1] = value
    alpha = 2.0 / (float(p) + 1.0)
    beta = 1.0 - alpha
    for i in range(start + p, n):
        x = data[i]
        if math.isfinite(x):
            value = (value * beta) + (x * alpha)
            out[i] = value
    return out


def macd(f, s, g, data, macd_out, signal_out, hist_out):
    fa, sa, ga = (2.0 / (float(p) + 1.0) for p in (f, s, g))
    fb, sb, gb = 1.0 - fa, 1.0 - sa, 1.0 - ga
    fast = slow = signal = MARKER
    signal_start = (s + g - 2) & U64
    for i in range(len(data)):
        x = data[i]
        if math.isnan(x) or i < s - 1:
            macd_out[i] = signal_out[i] = hist_out[i] = MARKER
            continue
        if math.isnan(fast):
            fs = -0.0
            for k in range(f):
                fs = fs + data[i - k]
            ss = -0.0
            for k in range(s):
                ss = ss + data[i - k]
            fast, slow = fs / float(f), ss / float(s)
        else:
            slow = (slow * sb) + (x * sa)
            fast = (fast * fb) + (x * fa)
        m = fast - slow
        if not math.isnan(signal):
            signal = (signal * gb) + (ga * m)
        elif i >= signal_start:
            signal = m
        macd_out[i] = m
        signal_out[i] = signal
        hist_out[i] = MARKER if math.isnan(signal) else m - signal
    return macd_out, signal_out, hist_out


def _max_ignoring_nan(a, b):
    return b if (b > a or math.isnan(a)) else a


def true_range(high, low, prev_close):
    return _max_ignoring_nan(_max_ignoring_nan(high - low, abs(high - prev_close)),
                             abs(low - prev_close))


def atr(p, high, low, close, out):
    n = len(high)
    out[:] = [MARKER] * n
    if p == 0 or p >= n:
        return out
    inv = 1.0 / float(p)
    s = 0.0
    for i in range(1, p + 1):
        s = s + true_range(high[i], low[i], close[i - 1])
    value = s / float(p)
    out[p] = value
    for j in range(p + 1, n):
        d = true_range(high[j], low[j], close[j - 1]) - value
        d = d * inv
        value = value + d
        out[j] = value
    return out
