"""Agreement on the bundled real bars: brindlex against the plain-loop rules and against each peer,
and what one injected NaN does to every contender."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import rules
from .contenders import OUTPUTS, Contender
from .series import Bars, Pool

# Where the NaN goes: past every warm-up, with a long tail after it.
INJECT_AT = 200


def _values(contender: Contender, bars: Bars) -> dict[str, np.ndarray]:
    args = contender.prepare(Pool([bars]))[0]
    return contender.values(args, contender.run(*args))


def rule_values(indicator: str, bars: Bars) -> dict[str, np.ndarray]:
    c, h, l = bars.close.tolist(), bars.high.tolist(), bars.low.tolist()
    if indicator == "sma":
        out = {"sma": rules.sma(20, c)}
    elif indicator == "ema":
        out = {"ema": rules.ema(20, c)}
    elif indicator == "macd":
        out = dict(zip(OUTPUTS["macd"], rules.macd(12, 26, 9, c)))
    else:
        out = {"atr": rules.atr(14, h, l, c)}
    return {k: np.array(v, dtype=np.float64) for k, v in out.items()}


def _first(a: np.ndarray) -> int | None:
    valued = np.flatnonzero(~np.isnan(a))
    return int(valued[0]) if len(valued) else None


@dataclass
class Comparison:
    """One contender's output against brindlex's over all tickers."""
    indicator: str
    label: str
    output: str
    first: set                  # first valued position of the contender, per ticker
    first_brindlex: set
    max_abs: float = 0.0
    max_rel: float = 0.0
    max_abs_late: float = 0.0   # from 300 bars after brindlex's first value on
    compared: int = 0
    bit_identical: bool = True  # same NaN positions and the same bits everywhere else
    failure: str = ""           # what the smoke pass found wrong, if anything
    definition: str = ""


LATE = 300


def compare(ref: np.ndarray, got: np.ndarray, row: Comparison, scale: float, check) -> None:
    both = ~np.isnan(ref) & ~np.isnan(got)
    row.bit_identical &= bool(np.array_equal(np.isnan(ref), np.isnan(got)) and np.array_equal(
        ref[both].view(np.uint64), got[both].view(np.uint64)))
    f_ref, f_got = _first(ref), _first(got)
    row.first.add(f_got)
    row.first_brindlex.add(f_ref)
    if not both.any():
        return
    diff = np.abs(ref - got)
    size = np.maximum(np.abs(ref), np.abs(got))
    rel = np.divide(diff, size, out=np.zeros_like(diff), where=size > 0)
    row.compared += int(both.sum())
    row.max_abs = max(row.max_abs, float(diff[both].max()))
    row.max_rel = max(row.max_rel, float(rel[both].max()))
    late = both.copy()
    late[:(f_ref or 0) + LATE] = False
    if late.any():
        row.max_abs_late = max(row.max_abs_late, float(diff[late].max()))
    if check is None or row.failure:
        return
    if check.same_start and f_ref != f_got:
        row.failure = f"first value at {f_got}, brindlex at {f_ref}"
        return
    window = both.copy()
    window[:(f_ref or 0) + check.after] = False
    if window.any() and diff[window].max() > check.tol * scale:
        worst = float(diff[window].max())
        row.failure = f"differs by {worst:.3g} (> {check.tol:g} x {scale:g})"


def spoiled(bars: Bars, field: str, k: int = INJECT_AT) -> Bars:
    """The same bars with a NaN at position k of one of the three series."""
    copy = Bars(**{name: getattr(bars, name).copy() for name in ("high", "low", "close")})
    getattr(copy, field)[k] = np.nan
    return copy


def compare_all(contenders: list[Contender], series: dict[str, Bars],
                rules_only: dict[str, Bars]) -> list[Comparison]:
    """brindlex (allocating row) against the rule loops and every peer, per output; the series
    of `rules_only` (with NaNs, where the definitions part ways) against the rule loops only."""
    rows: dict[tuple, Comparison] = {}
    for indicator in OUTPUTS:
        group = [c for c in contenders if c.indicator == indicator]
        reference = next(c for c in group if c.is_brindlex and "allocates" in c.label)
        everyone = [("plain-Python loop", None, "", {}),
                    *((c.label, c, c.definition, c.checks) for c in group if c is not reference)]
        for name, bars in [*series.items(), *rules_only.items()]:
            ref = _values(reference, bars)
            scale = float(np.max(np.abs(bars.close)))
            others = everyone if name in series else everyone[:1]
            for label, contender, definition, checks in others:
                got = (rule_values(indicator, bars) if contender is None
                       else _values(contender, bars))
                for output in OUTPUTS[indicator]:
                    row = rows.setdefault((indicator, label, output), Comparison(
                        indicator, label, output, set(), set(), definition=definition))
                    compare(ref[output], got[output], row, scale, checks.get(output))
                    if contender is None and not row.bit_identical and not row.failure:
                        row.failure = "not bit-identical to brindlex"
                    if contender is not None and contender.is_brindlex and not row.bit_identical:
                        row.failure = "the two brindlex rows differ"
    return list(rows.values())


@dataclass
class Injection:
    indicator: str
    label: str
    where: str
    effects: dict[str, str]


def _ranges(positions: np.ndarray, k: int, n: int) -> str:
    spans, start = [], None
    for i, p in enumerate(positions):
        if start is None:
            start = p
        if i + 1 == len(positions) or positions[i + 1] != p + 1:
            spans.append((start, p))
            start = None

    def at(p: int) -> str:
        return "k" if p == k else (f"k+{p - k}" if p > k else f"k-{k - p}")

    parts = []
    for a, b in spans:
        end = "end" if b == n - 1 else at(b)
        parts.append(at(a) if a == b else f"{at(a)}..{end}")
    return ", ".join(parts)


def describe(clean: np.ndarray, dirty: np.ndarray, k: int) -> str:
    """What a NaN at position k changed: where new NaNs appear, and how far values moved."""
    n = len(clean)
    new_nan = np.flatnonzero(np.isnan(dirty) & ~np.isnan(clean))
    text = f"NaN at {_ranges(new_nan, k, n)}" if len(new_nan) else "no NaN"
    both = ~np.isnan(clean) & ~np.isnan(dirty)
    moved = np.abs(clean - dirty)
    after = both.copy()
    after[:k] = False
    if np.any(moved[both & (np.arange(n) < k)] != 0):
        text += "; earlier values changed too"
    if not after.any():
        return text if len(new_nan) == 0 or new_nan[-1] == n - 1 else text + "; no later value"
    worst, last = float(moved[after].max()), float(moved[after][-1])
    if worst == 0:
        return text + "; other values unchanged"
    return text + f"; later values moved by up to {worst:.2g} ({last:.1g} at the end)"


def inject_nan(contenders: list[Contender], bars: Bars, k: int = INJECT_AT) -> list[Injection]:
    """Each contender run on clean bars and on the same bars with one NaN at position k: in the
    close for every indicator, and also in the high for ATR."""
    rows = []
    for indicator in OUTPUTS:
        group = [(c.label, c) for c in contenders if c.indicator == indicator]
        group.insert(0, ("plain-Python loop", None))
        targets = [("close", "close")] + ([("high", "high")] if indicator == "atr" else [])
        for field, where in targets:
            nan_bars = spoiled(bars, field, k)
            for label, contender in group:
                try:
                    if contender is None:
                        clean = rule_values(indicator, bars)
                        dirty = rule_values(indicator, nan_bars)
                    else:
                        clean, dirty = _values(contender, bars), _values(contender, nan_bars)
                    effects = {o: describe(clean[o], dirty[o], k) for o in OUTPUTS[indicator]}
                except Exception as error:
                    effects = {o: f"raises {type(error).__name__}: {error}"
                               for o in OUTPUTS[indicator]}
                rows.append(Injection(indicator, label, f"{where}[k]", effects))
    return rows
