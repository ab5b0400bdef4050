"""The same bits on every architecture and code path: one digest of every indicator of the three modules."""

import csv
import hashlib
import pathlib

import brindlex
import brindlex_batch
import brindlex_stream
import numpy as np
from brindlex_batch import _native

# Produced on x86-64 (scalar, SSE2, AVX2 and AVX-512 targets) and on ARM64 (scalar and NEON
# targets) alike. It changes only when a result does: then every architecture must agree on the new one.
DIGEST = "e99f0147300be837e7541acb8b64f136a532939370dbf811f1ebbf77ba6e50e0"

BARS = pathlib.Path(__file__).parent.parent / "data" / "daily-ohlcv-5-tickers-2015-2017.csv"
CANONICAL_NAN = np.uint64(0x7FF8000000000000)


def bundled_bars():
    """Each ticker's high, low and close, parsed by Python's correctly rounded float()."""
    columns = {}
    with BARS.open(newline="") as f:
        for row in csv.DictReader(f):
            bars = columns.setdefault(row["ticker"], ([], [], []))
            for column, name in zip(bars, ("high", "low", "close")):
                column.append(float(row[name]))
    return [tuple(np.array(c) for c in bars) for bars in columns.values()]


def random_bars():
    """Bars made with integer draws and correctly rounded divisions only (no library's exp or log,
    whose last bits may differ between machines), then sprinkled with NaN, ±inf and -0.0."""
    rng = np.random.default_rng(19)
    made = []
    for n in (0, 1, 2, 3, 5, 13, 40, 97, 300):
        close = 100 + rng.integers(-5000, 5001, n) / 7
        high = close + rng.integers(0, 400, n) / 3
        low = close - rng.integers(0, 400, n) / 11
        for column in (high, low, close):
            hits = rng.integers(0, 8, n) == 0
            column[hits] = rng.choice([np.nan, np.inf, -np.inf, -0.0, 0.0], hits.sum())
        made.append((high, low, close))
    return made


SERIES = bundled_bars() + random_bars()


def periods(n):
    """Every class of period for a series of n values: none, the shortest, usual ones, the series'
    own length and around it, and far beyond it."""
    return sorted({0, 1, 2, 3, 9, 14, 26, max(n - 1, 0), n, n + 1, 2**40, 2**64 - 1})


def macd_periods(n):
    return [(12, 26, 9), (1, 2, 1), (0, 26, 9), (26, 12, 9), (3, 3, 1), (2, max(n, 3), 1), (2, 5, n + 1),
            (5, n + 2, 2), (1, 2**63, 1)]


class Digest:
    """sha256 over results: every number bit for bit, every NaN as one pattern (which operand's
    NaN an operation passes on is not fixed, and the positions of NaN are), every error by type."""

    def __init__(self):
        self.hash = hashlib.sha256()

    def add(self, *arrays):
        for a in arrays:
            b = np.ascontiguousarray(a, dtype="<f8").view("<u8").copy()
            b[np.isnan(np.asarray(a, dtype=np.float64)).ravel().reshape(b.shape)] = CANONICAL_NAN
            self.hash.update(str(b.shape).encode())
            self.hash.update(b.tobytes())

    def call(self, function, *args):
        try:
            result = function(*args)
        except (ValueError, OverflowError) as e:
            self.hash.update(type(e).__name__.encode())
            return
        self.add(*(result if isinstance(result, tuple) else (result,)))


def with_outputs(function, count, length):
    """brindlex's calling convention (the caller allocates) as a function returning its outputs."""
    def call(*args):
        outs = tuple(np.empty(length) for _ in range(count))
        function(*args, *outs)
        return outs
    return call


def digest_of_every_result():
    d = Digest()
    for high, low, close in SERIES:
        n = len(close)
        for p in periods(n):
            d.call(with_outputs(brindlex.indicator_sma, 1, n), p, close)
            d.call(with_outputs(brindlex.indicator_ema, 1, n), p, close)
            d.call(with_outputs(brindlex.indicator_atr, 1, n), p, high, low, close)
            d.call(brindlex_batch.sma, close, p)
            d.call(brindlex_batch.ema, close, p)
            d.call(brindlex_batch.atr, high, low, close, p)
            d.call(lambda p: brindlex_stream.Sma(p).update_many(close), p)
            d.call(lambda p: brindlex_stream.Ema(p).update_many(close), p)
            d.call(lambda p: brindlex_stream.Atr(p).update_many(high, low, close), p)
        for f, s, g in macd_periods(n):
            d.call(with_outputs(brindlex.indicator_macd, 3, n), f, s, g, close)
            d.call(lambda *q: tuple(brindlex_batch.macd(close, *q)), f, s, g)
            d.call(lambda *q: brindlex_stream.Macd(*q).update_many(close), f, s, g)
    # Many series at once, through the lanes: the bundled tickers as rows of one block, and every
    # series as runs of one long column.
    rows = min(len(c) for _, _, c in SERIES[:5])
    block = [np.stack([bars[i][:rows] for bars in SERIES[:5]]) for i in range(3)]
    column = [np.concatenate([bars[i] for bars in SERIES]) for i in range(3)]
    lengths = [len(bars[2]) for bars in SERIES]
    for p in (1, 2, 14, 26, rows + 1):
        d.call(brindlex_batch.sma, block[2], p)
        d.call(brindlex_batch.ema, block[2], p)
        d.call(brindlex_batch.atr, *block, p)
        d.call(lambda p: brindlex_batch.sma(column[2], p, lengths=lengths), p)
        d.call(lambda p: brindlex_batch.ema(column[2], p, lengths=lengths), p)
        d.call(lambda p: brindlex_batch.atr(*column, p, lengths=lengths), p)
    for q in ((12, 26, 9), (1, 2, 1), (5, 40, 7)):
        d.call(lambda *q: tuple(brindlex_batch.macd(block[2], *q)), *q)
        d.call(lambda *q: tuple(brindlex_batch.macd(column[2], *q, lengths=lengths)), *q)
    return d.hash.hexdigest()


def test_every_code_path_gives_the_recorded_digest():
    targets = _native._available_targets()
    try:
        digests = {}
        for target in targets:
            _native._force_target(target)
            digests[target] = digest_of_every_result()
    finally:
        _native._force_target("default")
    assert digests == dict.fromkeys(targets, DIGEST)
