"""Live bars: ns per `update` call of brindlex_stream from a Python loop, against TA-Lib's stream
handles, talipp and a native call in the same loop; `update_many` against brindlex's whole-series
call; and agreement on the bundled real bars.

Usage: python bench/stream.py [--quick] [--force] [--out DIR] [--missing DIST=REASON ...]

Every object is first fed 2,520 bars of history (untimed); the timed loop then feeds bars it has
never seen, one call per bar, the same `for` loop for every contender, in two forms: results
discarded, and results kept in a list (as a live system keeps them). The native call floor is
`math.copysign(x, 1.0)` in each loop; MACD's result kept is a tuple of three new floats, so its
floor kept builds and keeps one such tuple around the same call. The results are written only when the machine was quiet, as
in bench/batch.py (--force writes them anyway, marked, for development). --quick checks
agreement only (nothing timed or written) and exits with status 1 when a stream differs from
brindlex's whole-series result by one bit.
"""

from __future__ import annotations

import json
import math
import sys
from pathlib import Path

import numpy as np

from peerbench import grid, report, timing
from peerbench.contenders import INDICATORS, OUTPUTS, load_peers
from peerbench.series import Bars, Pool, random_bars, real_bars

SEED = 20_261_213
HISTORY = 2520
FEED = 1 << 18          # fresh bars fed by the timed loops, used in turn
MANY_SIZES = (10**2, 10**4, 10**6)
UPDATE_ROUNDS = 41    # cheap: a round of every update loop lasts well under 0.1 s
TALIB_HISTORY = 100     # bars a TA-Lib handle is opened on in the agreement check
PERIODS = {"sma": (20,), "ema": (20,), "macd": (12, 26, 9), "atr": (14,)}
# update's cost at most this many times the native call floor of the same loop.
FLOOR_TARGETS = {"sma": 1.3, "ema": 1.3, "macd": 1.6}
CLASSES = {"sma": "Sma", "ema": "Ema", "macd": "Macd", "atr": "Atr"}
LIBRARIES = {"brindlex": "brindlex", "brindlex_stream": "brindlex_stream",
             "ta-lib": "talib.stream", "talipp": "talipp.indicators"}

STREAM, TALIB, TALIPP, RECOMPUTE, FLOOR = (
    "brindlex_stream .update", "TA-Lib 0.8 stream handle .update", "talipp .add",
    f"brindlex, recomputing {HISTORY:,} bars per bar", "native call floor, math.copysign(x, 1.0)")
KEPT = ", results kept in a list"
STREAM_KEPT, TALIB_KEPT, FLOOR_KEPT = STREAM + KEPT, TALIB + KEPT, FLOOR + KEPT
# The floor of a kept result of MACD's kind: the call, and a new tuple of three new floats kept.
FLOOR_TRIPLE_KEPT = FLOOR + " in a tuple of three new floats" + KEPT
FLOOR_ROWS = (FLOOR, FLOOR_KEPT, FLOOR_TRIPLE_KEPT)
UPDATE_ROWS = [STREAM, TALIB, STREAM_KEPT, TALIB_KEPT, TALIPP, RECOMPUTE]
MANY, WHOLE = "brindlex_stream .update_many", "brindlex whole-series call (allocating)"


# ----------------------------------------------------------------------------------------------
# The loops: one for every contender taking a close, one for every contender taking a bar


def _feed(update, values) -> None:
    for x in values:
        update(x)


def _feed_bars(update, bars) -> None:
    for h, l, c in bars:
        update(h, l, c)


def _floor(values) -> None:
    copysign = math.copysign
    for x in values:
        copysign(x, 1.0)


def _floor_triple_kept(values) -> list:
    copysign = math.copysign
    kept = []
    append = kept.append
    for x in values:
        append((copysign(x, 1.0), x + 0.5, x - 0.5))
    return kept


def _kept(update, values) -> list:
    kept = []
    append = kept.append
    for x in values:
        append(update(x))
    return kept


def _kept_bars(update, bars) -> list:
    kept = []
    append = kept.append
    for h, l, c in bars:
        append(update(h, l, c))
    return kept


def _floor_kept(values) -> list:
    copysign = math.copysign
    kept = []
    append = kept.append
    for x in values:
        append(copysign(x, 1.0))
    return kept


class Stretch:
    """Consecutive items of a long list handed out in turn, so every call sees new bars."""

    def __init__(self, items: list):
        self.items, self.at = items, 0

    def take(self, k: int) -> list:
        if self.at + k > len(self.items):
            self.at = 0
        out = self.items[self.at:self.at + k]
        self.at += k
        return out


def feeder(key, update, items: list, loop=_feed) -> timing.Subject:
    stretch = Stretch(items)
    return timing.Subject(key, lambda k: lambda: loop(update, stretch.take(min(k, len(items)))))


# ----------------------------------------------------------------------------------------------
# Per-update subjects


def update_subjects(modules: dict, history: Bars, feed: Bars) -> list[timing.Subject]:
    closes = feed.close.tolist()
    bars = list(zip(feed.high.tolist(), feed.low.tolist(), closes))
    floor, floor_kept, floor_triple = Stretch(closes), Stretch(closes), Stretch(closes)
    subjects = [timing.Subject(("-", FLOOR), lambda k: lambda: _floor(floor.take(k))),
                timing.Subject(("-", FLOOR_KEPT), lambda k: lambda: _floor_kept(floor_kept.take(k))),
                timing.Subject(("-", FLOOR_TRIPLE_KEPT),
                               lambda k: lambda: _floor_triple_kept(floor_triple.take(k)))]
    bs, talib, talipp = (modules.get(d) for d in ("brindlex_stream", "ta-lib", "talipp"))
    for ind in INDICATORS:
        p, atr = PERIODS[ind], ind == "atr"
        items, loop, keep = (bars, _feed_bars, _kept_bars) if atr else (closes, _feed, _kept)
        past = (history.high, history.low, history.close) if atr else (history.close,)
        for row, kept_row, dist, make in (
                (STREAM, STREAM_KEPT, bs, lambda: getattr(bs, CLASSES[ind])(*p)),
                (TALIB, TALIB_KEPT, talib, lambda: getattr(talib, ind.upper())(*past, *p))):
            if not dist:
                continue
            for label, how in ((row, loop), (kept_row, keep)):
                handle = make()
                if dist is bs:
                    handle.update_many(*past)
                subjects.append(feeder((ind, label), handle.update, items, how))
        if talipp:
            subjects.append(talipp_subject(modules, ind, history, feed))
        if "brindlex" in modules:
            subjects.append(recompute_subject(modules["brindlex"], ind, history, feed))
    return subjects


def talipp_subject(modules: dict, ind: str, history: Bars, feed: Bars) -> timing.Subject:
    import talipp.ohlcv as ohlcv
    cls = getattr(modules["talipp"], ind.upper())
    if ind == "atr":
        # Bars as talipp's own objects, made before timing: open and volume play no part.
        def bar(h, l, c):
            return ohlcv.OHLCV(c, h, l, c, 0.0)
        past = [bar(*b) for b in zip(history.high.tolist(), history.low.tolist(),
                                     history.close.tolist())]
        items = [bar(*b) for b in zip(feed.high.tolist(), feed.low.tolist(), feed.close.tolist())]
    else:
        past, items = history.close.tolist(), feed.close.tolist()
    indicator = cls(*PERIODS[ind], input_values=past)
    return feeder((ind, TALIPP), indicator.add, items)


def recompute_subject(bx, ind: str, history: Bars, feed: Bars) -> timing.Subject:
    """What a brindlex user does today on every new bar: the whole window of history again."""
    fn, p, k = getattr(bx, f"indicator_{ind}"), PERIODS[ind], len(OUTPUTS[ind])
    arrays = [np.concatenate([getattr(history, f), getattr(feed, f)])
              for f in (("high", "low", "close") if ind == "atr" else ("close",))]
    outs = [np.empty(HISTORY) for _ in range(k)]

    def again(i: int) -> None:
        fn(*p, *(a[i:i + HISTORY] for a in arrays), *outs)
    return feeder((ind, RECOMPUTE), again, list(range(1, len(feed.close))))


# ----------------------------------------------------------------------------------------------
# update_many against the whole-series call


def many_subjects(modules: dict, pool: Pool) -> list[timing.Subject]:
    bs, bx = modules.get("brindlex_stream"), modules["brindlex"]
    subjects = []
    for ind in INDICATORS:
        p, k = PERIODS[ind], len(OUTPUTS[ind])
        args = [(b.high, b.low, b.close) if ind == "atr" else (b.close,) for b in pool.bars]
        fn = getattr(bx, f"indicator_{ind}")

        def whole(*a, fn=fn, p=p, k=k):
            outs = [np.empty_like(a[-1]) for _ in range(k)]
            fn(*p, *a, *outs)
            return outs
        subjects.append(timing.pooled((ind, WHOLE), whole, args))
        if bs:
            s = getattr(bs, CLASSES[ind])(*p)
            subjects.append(timing.pooled((ind, MANY), s.update_many, args))
    return subjects


# ----------------------------------------------------------------------------------------------
# Agreement on the real bars


def _bits(a) -> np.ndarray:
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def agreement(modules: dict) -> tuple[list[list[str]], list[str]]:
    """Rows of the agreement table and the failures among them."""
    bs, bx, talib = modules.get("brindlex_stream"), modules["brindlex"], modules.get("ta-lib")
    rows, failures = [], []
    series = real_bars()
    for ind in INDICATORS:
        p, names = PERIODS[ind], OUTPUTS[ind]
        same_update = same_many = True
        worst = dict.fromkeys(names, 0.0)
        compared = 0
        for ticker, bars in series.items():
            args = (bars.high, bars.low, bars.close) if ind == "atr" else (bars.close,)
            outs = [np.empty(len(bars)) for _ in names]
            getattr(bx, f"indicator_{ind}")(*p, *args, *outs)
            if not bs:
                continue
            s = getattr(bs, CLASSES[ind])(*p)
            stepped = [s.update(*(float(a[i]) for a in args)) for i in range(len(bars))]
            stepped = [np.array([v[j] for v in stepped]) for j in range(len(names))] \
                if len(names) > 1 else [np.array(stepped)]
            many = getattr(bs, CLASSES[ind])(*p).update_many(*args)
            many = list(many) if len(names) > 1 else [many]
            same_update &= all(np.array_equal(_bits(a), _bits(b)) for a, b in zip(stepped, outs))
            same_many &= all(np.array_equal(_bits(a), _bits(b)) for a, b in zip(many, outs))
            if talib:
                handle = getattr(talib, ind.upper())(*(a[:TALIB_HISTORY] for a in args), *p)
                for i in range(TALIB_HISTORY, len(bars)):
                    theirs = handle.update(*(float(a[i]) for a in args))
                    theirs = theirs if len(names) > 1 else (theirs,)
                    for j, name in enumerate(names):
                        if not (math.isnan(theirs[j]) or math.isnan(stepped[j][i])):
                            worst[name] = max(worst[name], abs(theirs[j] - stepped[j][i]))
                            compared += 1
        if not bs:
            rows.append([INDICATORS[ind], "brindlex_stream not installed", "-", "-"])
            continue
        for label, same in (("update, bar by bar", same_update), ("update_many, whole", same_many)):
            rows.append([INDICATORS[ind], label, "bit-identical" if same else "DIFFERS", ""])
            if not same:
                failures.append(f"{INDICATORS[ind]} {label}: differs from brindlex")
        if talib:
            rows.append([INDICATORS[ind], f"TA-Lib handle, from bar {TALIB_HISTORY} on",
                         ", ".join(f"{n} {worst[n]:.2g}" for n in names),
                         TALIB_NOTES[ind]])
    return rows, failures


TALIB_NOTES = {
    "sma": "same definition; rounding differences only (another order of additions)",
    "ema": "same definition and seed: last-bit differences only",
    "macd": "TA-Lib seeds the signal with the mean of the first 9 MACD values, brindlex with the "
            "one MACD value at position 33; the gap shrinks by 0.8 a bar",
    "atr": "same definition: last-bit differences only",
}


# ----------------------------------------------------------------------------------------------
# Report


def _ns(res: dict, key) -> float | None:
    t = res.get(key)
    return t.median if isinstance(t, timing.Timing) else None


def update_table(res: dict, absent: dict) -> str:
    rows = []
    for row in UPDATE_ROWS:
        cells = []
        for ind in INDICATORS:
            t = res.get((ind, row))
            cells.append(grid.cell(t, 1) or "not installed")
        rows.append([row, *cells])
    for row in FLOOR_ROWS:
        rows.append([row, grid.cell(res.get(("-", row)), 1) or "-", "", "", ""])
    return report.table(["ns per update", *INDICATORS.values()], rows)


def many_table(res: dict) -> str:
    rows = []
    for n in MANY_SIZES:
        for row in (MANY, WHOLE):
            cells = [report.fmt(_ns(res[n], (ind, row)) / n) if _ns(res[n], (ind, row))
                     else "-" for ind in INDICATORS]
            rows.append([report.size_label(n), row, *cells])
    return report.table(["n", "ns per element", *INDICATORS.values()], rows, right_from=2)


def targets(res: dict, many: dict) -> list[str]:
    lines = []

    def ratio_line(label, row, want, mine_row=STREAM):
        parts, ok = [], True
        for ind in INDICATORS:
            mine, theirs = _ns(res, (ind, mine_row)), _ns(res, (ind, row))
            if mine and theirs:
                parts.append(f"{INDICATORS[ind]} {report.ratio_text(theirs / mine)}")
                ok &= theirs / mine >= want
        if parts:
            lines.append(f"- {label} (≥ {want}×): " + ", ".join(parts)
                         + (" — met" if ok else " — MISSED"))
    ratio_line("update against TA-Lib's handle, results discarded", TALIB, 1.8)
    ratio_line("update against TA-Lib's handle, results kept in a list", TALIB_KEPT, 1.8,
               STREAM_KEPT)
    ratio_line("update against talipp", TALIPP, 10)
    # Each result over the floor that makes and keeps what it returns: a float, or for MACD kept a
    # tuple of three.
    for row, floor_rows in ((STREAM, {i: FLOOR for i in FLOOR_TARGETS}),
                            (STREAM_KEPT, {i: FLOOR_TRIPLE_KEPT if i == "macd" else FLOOR_KEPT
                                           for i in FLOOR_TARGETS})):
        floors = {i: _ns(res, ("-", f)) for i, f in floor_rows.items()}
        mine = {i: _ns(res, (i, row)) for i in FLOOR_TARGETS}
        if all(floors.values()) and all(mine.values()):
            ns = " / ".join(f"{f:.0f}" for f in dict.fromkeys(floors.values()))
            lines.append(f"- {row} over the native call floor in the same loop, {ns} ns ("
                         + ", ".join(f"{INDICATORS[i]} ≤ {w}×" for i, w in FLOOR_TARGETS.items())
                         + "): " + ", ".join(f"{INDICATORS[i]} {mine[i] / floors[i]:.2f}×" for i in mine)
                         + (" — met" if all(mine[i] / floors[i] <= w for i, w in FLOOR_TARGETS.items())
                            else " — MISSED"))
    differ = [f"{INDICATORS.get(k[0], '')} {k[1]}: ".lstrip() + " / ".join(f"{r:.0f}" for r in t.runs)
              for k, t in res.items() if isinstance(t, timing.Timing) and t.disagrees(grid.MARGIN)]
    if differ:
        lines.append(f"- runs disagreeing by more than {100 * grid.MARGIN:.0f} % (ns per update, "
                     "each run): " + "; ".join(differ))
    parts, ok = [], True
    for n in MANY_SIZES:
        for ind in INDICATORS:
            a, b = _ns(many[n], (ind, MANY)), _ns(many[n], (ind, WHOLE))
            if a and b:
                parts.append(f"{INDICATORS[ind]} at {report.size_label(n)} {a / b:.2f}×")
                ok &= n < 10**4 or a / b <= 1.10
    if parts:
        lines.append("- update_many over the whole-series call (≤ 1.10× at n ≥ 10^4): "
                     + ", ".join(parts) + (" — met" if ok else " — MISSED"))
    return lines


def main() -> int:
    args = grid.arguments(__doc__).parse_args()
    modules, absent = load_peers(dict(m.split("=", 1) for m in args.missing), LIBRARIES)
    for dist, reason in absent.items():
        print(f"{dist}: {reason}", file=sys.stderr)
    if "brindlex" not in modules:
        return 2
    rows, failures = agreement(modules)
    agree = report.table(["", "against brindlex's whole-series result", "max abs diff", "note"],
                         rows, right_from=99)
    print(agree)
    if args.quick:
        print("\nFAILURES:\n  " + "\n  ".join(failures) if failures else "\nagreement: ok")
        return 1 if failures else 0
    rng = np.random.default_rng(SEED)
    quiet = grid.Quiet(args.force)
    history, feed = random_bars(HISTORY, rng), random_bars(FEED, rng)
    updates = timing.run(update_subjects(modules, history, feed), UPDATE_ROUNDS, grid.SAMPLE_NS,
                         grid.RUNS)
    many = {n: timing.run(many_subjects(modules, Pool.random(n, rng)),
                          21 if n < 10**6 else 9, grid.SAMPLE_NS) for n in MANY_SIZES}
    publish, note = quiet.verdict()
    facts = grid.describe(LIBRARIES, absent, quiet.load_at_start, modules, note)
    text = "\n".join([
        "# Live bars\n",
        "Produced by `bench/stream.py` (run by `scripts/bench`); do not edit by hand.\n",
        report.table(["", ""], [[k, v] for k, v in facts.items()], right_from=99),
        "\n" + report.wrap(
            f"ns per call from one Python `for` loop, the same loop for every row (medians over "
            f"{UPDATE_ROUNDS} rounds in two runs, ± the interquartile range over the median), "
            f"each object first fed {HISTORY:,} bars of history; every "
            f"timed call feeds a bar not seen before. MACD's update returns three values; talipp's .add "
            f"returns nothing (its value is read separately). ATR is fed three floats "
            f"(talipp: its OHLCV objects, made before timing)."),
        "\n## Targets\n", "\n".join(targets(updates, many)),
        "\n## ns per update\n", update_table(updates, absent),
        "\n## update_many against the whole-series call\n", many_table(many),
        "\n## Agreement on the bundled real bars\n", agree, "",
    ])
    print(text)
    print(note)
    if not publish:
        return 1 if failures else 0
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "stream.md").write_text(text)
    raw = {"facts": facts, "update": _raw(updates),
           "update_many": {str(n): _raw(r) for n, r in many.items()}}
    (args.out / "stream.json").write_text(json.dumps(raw, indent=1, ensure_ascii=False) + "\n")
    plot(updates, args.out / "stream.png", facts)
    print(f"wrote {args.out / 'stream.md'}, stream.json, stream.png")
    return 1 if failures else 0


def _raw(res: dict) -> list[dict]:
    return [{"indicator": k[0], "row": k[1],
             **({"reason": v} if isinstance(v, str) else v.__dict__)} for k, v in res.items()]


def plot(res: dict, path: Path, facts: dict) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(10, 5))
    width = 0.8 / len(UPDATE_ROWS)
    for j, row in enumerate(UPDATE_ROWS):
        ys = [_ns(res, (ind, row)) or 0.0 for ind in INDICATORS]
        ax.bar([i + j * width for i in range(len(INDICATORS))], ys, width, label=row)
    floor = _ns(res, ("-", FLOOR))
    if floor:
        ax.axhline(floor, color="black", ls=":", label=FLOOR)
    ax.set_xticks([i + 0.4 - width / 2 for i in range(len(INDICATORS))], list(INDICATORS.values()))
    ax.set_yscale("log")
    ax.set_ylabel("ns per update (median)")
    ax.legend(fontsize=8)
    ax.set_title(f"One bar at a time from Python\n{facts['cpu']}, {facts['python']}, load "
                 f"{facts['load at start']} → {facts['load at end']}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


if __name__ == "__main__":
    sys.exit(main())
