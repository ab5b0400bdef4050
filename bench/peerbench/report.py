"""Tables, target checks, the plot and the results files of the peer benchmark."""

from __future__ import annotations

import re
import shutil
import textwrap
from dataclasses import dataclass, field
from pathlib import Path

from .agreement import LATE, Comparison, Injection
from .contenders import INDICATORS, PEERS, Contender
from .timing import Outcome, Scaling, Timing

ONCE, ALLOC = "brindlex (outputs reused)", "brindlex (allocates)"
RATIO_SIZES = (10**3, 10**5, 10**7)
PER_CALL_SIZES = (1, 10, 100)
PER_CALL_RATIO_N = 10


def table(headers: list[str], rows: list[list[str]], right_from: int = 1) -> str:
    """A Markdown table, padded so that it also reads well as plain text."""
    widths = [max(len(str(r[i])) for r in [headers, *rows]) for i in range(len(headers))]

    def line(cells):
        return "| " + " | ".join(
            str(c).rjust(w) if i >= right_from else str(c).ljust(w)
            for i, (c, w) in enumerate(zip(cells, widths))) + " |"
    rule = "| " + " | ".join(
        ("-" * (w - 1) + ":") if i >= right_from else "-" * w for i, w in enumerate(widths)) + " |"
    return "\n".join([line(headers), rule, *map(line, rows)])


def fmt(v: float) -> str:
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    if v >= 1:
        return f"{v:.2f}"
    return f"{v:.3f}"


def ratio_text(r: float) -> str:
    return f"{r:.0f}×" if r >= 100 else (f"{r:.1f}×" if r >= 10 else f"{r:.2f}×")


def wrap(text: str) -> str:
    return textwrap.fill(text, width=100, break_long_words=False, break_on_hyphens=False)


def size_label(n: int) -> str:
    exp = len(str(n)) - 1
    return f"10^{exp}" if n == 10**exp and n >= 100 else str(n)


@dataclass
class Results:
    contenders: list[Contender]
    timings: dict[tuple[str, str], dict[int, Outcome]]
    sizes: list[int]
    scaling: dict[tuple[str, str], Scaling | str]
    scaling_n: int
    comparisons: list[Comparison]
    injections: list[Injection]
    facts: dict[str, str]
    settings: str
    kernels: str = ""
    missing_rows: list[str] = field(default_factory=list)

    def ns(self, indicator: str, label: str, n: int) -> float | None:
        t = self.timings.get((indicator, label), {}).get(n)
        return t.median if isinstance(t, Timing) else None

    def group(self, indicator: str) -> list[Contender]:
        return [c for c in self.contenders if c.indicator == indicator]

    def peers(self, indicator: str) -> list[Contender]:
        return [c for c in self.group(indicator) if not c.is_brindlex]


# ----------------------------------------------------------------------------------------------
# Speed tables


def ns_tables(res: Results) -> str:
    sizes = [n for n in res.sizes if n >= 100]
    parts = []
    for indicator, title in INDICATORS.items():
        rows = []
        for c in res.group(indicator):
            cells, spread = [], 0.0
            for n in sizes:
                t = res.timings[c.key].get(n)
                if isinstance(t, Timing):
                    cells.append(fmt(t.median / n))
                    spread = max(spread, t.spread)
                else:
                    cells.append(t or "-")
            rows.append([c.label, *cells, f"{spread:.0%}"])
        parts.append(f"**{title}**, ns per element (median; spread = largest interquartile range "
                     f"over the median)\n\n" + table(["", *map(size_label, sizes), "spread"], rows))
    return "\n\n".join(parts)


def ratio_rows(res: Results, sizes, per_call: bool) -> list[list[str]]:
    rows = []
    for indicator, title in INDICATORS.items():
        for peer in res.peers(indicator):
            cells = []
            for n in sizes:
                mine, theirs = res.ns(indicator, ALLOC, n), res.ns(indicator, peer.label, n)
                cells.append(ratio_text(theirs / mine) if mine and theirs else "-")
            if per_call:
                theirs = res.ns(indicator, peer.label, PER_CALL_RATIO_N)
                t = res.timings[peer.key].get(PER_CALL_RATIO_N)
                for row in (ONCE, ALLOC):
                    mine = res.ns(indicator, row, PER_CALL_RATIO_N)
                    # Only the first word of a reason: the per-call table has the rest.
                    cells.append(ratio_text(theirs / mine) if mine and theirs else (
                        t.split()[0].rstrip(":") if isinstance(t, str) else "-"))
            rows.append([title, peer.label, *cells])
    return rows


def ratio_table(res: Results, sizes=RATIO_SIZES, per_call: bool = True) -> str:
    headers = ["", "peer", *(f"n = {size_label(n)}" for n in sizes)]
    if per_call:
        headers += [f"per call (n = {PER_CALL_RATIO_N}), reused", "allocating"]
    return table(headers, ratio_rows(res, sizes, per_call), right_from=2)


def per_call_table(res: Results) -> str:
    rows = []
    for indicator, title in INDICATORS.items():
        for c in res.group(indicator):
            cells = []
            for n in PER_CALL_SIZES:
                t = res.timings[c.key].get(n)
                cells.append(fmt(t.median / 1000) if isinstance(t, Timing) else (t or "-"))
            rows.append([title, c.label, *cells])
    return table(["", "", *(f"n = {n}" for n in PER_CALL_SIZES)], rows, right_from=2)


def scaling_table(res: Results) -> str:
    rows = []
    for c in res.contenders:
        s = res.scaling.get(c.key)
        if s is None:
            continue
        if isinstance(s, str):
            rows.append([INDICATORS[c.indicator], c.label, "-", "-", s])
        else:
            rows.append([INDICATORS[c.indicator], c.label, fmt(s.one / 1e6), fmt(s.two / 1e6),
                         ratio_text(s.ratio)])
    return table(["", "", "1 thread, M elem/s", "2 threads, M elem/s", "2 / 1"], rows,
                 right_from=2)


# ----------------------------------------------------------------------------------------------
# Targets


def kernel_floors(text: str) -> dict[tuple[str, int], tuple[float, float]]:
    """(kernel, n) -> (ns per element, floor ns per element), read from bench_kernels' table."""
    found = {}
    for m in re.finditer(r"^(sma|ema|macd|atr)\s+\S+\s+1e(\d+)\s+([\d.]+)\s+([\d.]+)", text, re.M):
        found.setdefault((m[1], 10 ** int(m[2])), (float(m[3]), float(m[4])))
    return found


def targets(res: Results) -> list[str]:
    lines = []
    sizes = [n for n in res.sizes if n >= 100]
    for indicator in ("sma", "ema", "macd"):
        misses = []
        for peer in res.peers(indicator):
            for n in sizes:
                mine, theirs = res.ns(indicator, ALLOC, n), res.ns(indicator, peer.label, n)
                if mine and theirs and theirs < mine:
                    once = res.ns(indicator, ONCE, n)
                    misses.append(f"{peer.label} at {size_label(n)}: {theirs / n:.3g} against "
                                  f"{mine / n:.3g} ns/element ({theirs / mine:.2f}×; outputs "
                                  f"reused: {once / n:.3g})")
        verdict = "met" if not misses else "MISSED: " + "; ".join(misses)
        lines.append(f"- {INDICATORS[indicator]} at least 1.0× every peer at every n "
                     f"(allocating row): {verdict}")
    for indicator, title in INDICATORS.items():
        talib = "TA-Lib " + indicator.upper()
        parts, worst = [], float("inf")
        for row in (ONCE, ALLOC):
            ratios = []
            for n in PER_CALL_SIZES:
                mine, theirs = res.ns(indicator, row, n), res.ns(indicator, talib, n)
                if mine and theirs:
                    ratios.append(f"{ratio_text(theirs / mine)} at n = {n}")
                    worst = min(worst, theirs / mine) if row == ONCE else worst
            if ratios:
                parts.append(f"{'outputs reused' if row == ONCE else 'allocating'} "
                             + ", ".join(ratios))
        if parts:
            verdict = "ok" if worst >= 10 else "MISS"
            lines.append(f"- {title} per call, at least 10× TA-Lib at n ≤ 100: {verdict} with "
                         f"outputs reused; " + "; ".join(parts))
    for indicator, title in INDICATORS.items():
        s = res.scaling.get((indicator, ONCE))
        if isinstance(s, Scaling):
            note = " (computed with the interpreter lock held: not expected to scale)" \
                if indicator == "atr" else ""
            lines.append(f"- {title}, 2 threads at least 1.9× one: {ratio_text(s.ratio)} "
                         f"{'ok' if s.ratio >= 1.9 else 'MISS'}{note}")
    floors = kernel_floors(res.kernels)
    for n in (10**5, 10**6, 10**7):
        mine, talib = res.ns("atr", ALLOC, n), res.ns("atr", "TA-Lib ATR", n)
        if not (mine and talib):
            continue
        floor = floors.get(("atr", n))
        floor_text = (f"; bench_kernels in the same run: chain floor {floor[1]:.3g} "
                      f"ns/element, kernel {floor[0]:.3g} on its own bars" if floor else "")
        lines.append(f"- ATR 14 at {size_label(n)}: brindlex {mine / n:.3g} ns/element, TA-Lib "
                     f"{talib / n:.3g} ({talib / mine:.2f}×){floor_text}. From 10^5 on the target "
                     f"is the floor, not TA-Lib: the order of ATR's operations is fixed, and its "
                     f"chain (a subtraction, a multiplication, an addition) sets the pace.")
    return lines


# ----------------------------------------------------------------------------------------------
# Agreement tables


def _first_text(values: set) -> str:
    shown = sorted(values, key=lambda v: (v is None, v or 0))
    return "/".join("none" if v is None else str(v) for v in shown)


def agreement_table(res: Results) -> str:
    rows = []
    for c in res.comparisons:
        if c.label == "plain-Python loop":
            verdict = "bit-identical" if c.bit_identical else "DIFFERS"
        elif c.failure:
            verdict = "FAIL: " + c.failure
        else:
            verdict = "bit-identical" if c.bit_identical else ""
        rows.append([INDICATORS[c.indicator], c.label, c.output, _first_text(c.first_brindlex),
                     _first_text(c.first), f"{c.max_abs:.2g}", f"{c.max_rel:.2g}",
                     f"{c.max_abs_late:.2g}", verdict])
    return table(["", "against brindlex", "output", "first value: brindlex", "theirs",
                  "max abs diff", "max rel diff", f"max abs, {LATE} bars on", "note"], rows,
                 right_from=3)


def injection_table(res: Results) -> str:
    rows = [[INDICATORS[r.indicator], r.label, r.where, output, effect]
            for r in res.injections for output, effect in r.effects.items()]
    return table(["", "", "NaN in", "output", "effect"], rows, right_from=99)


def definitions(res: Results) -> str:
    lines = [
        "brindlex, for reference: SMA is a running sum (updated by the entering minus the leaving "
        "value) times 1/20, NaN before the first full window and, after a NaN or infinity, for "
        "good. EMA has weight 2/21 and is seeded by the mean of the first 20 consecutive finite "
        "values; non-finite inputs after the seed are skipped. MACD seeds both averages at "
        "position 25 with the means of the 12 and 26 values ending there and the signal line "
        "with the one MACD value at position 33; NaN inputs are skipped. ATR is the mean of the "
        "true ranges of bars 1-14 (bar 0 has none) at position 14, then smoothed by 1/14; a "
        "single NaN among a bar's high, low and previous close is ignored by the maximum.",
        "",
    ]
    for indicator, title in INDICATORS.items():
        for c in res.peers(indicator):
            if c.definition:
                lines.append(f"- {title}, {c.label}: {c.definition}")
    return "\n".join(lines)


def agreement_failures(res: Results) -> list[str]:
    return [f"{INDICATORS[c.indicator]} {c.label} {c.output}: {c.failure}"
            for c in res.comparisons if c.failure]


# ----------------------------------------------------------------------------------------------
# Files


def machine_table(res: Results) -> str:
    return table(["", ""], [[k, v] for k, v in res.facts.items()], right_from=99)


def atr_note(res: Results) -> str:
    pairs = [(n, res.ns("atr", ALLOC, n), res.ns("atr", "TA-Lib ATR", n)) for n in RATIO_SIZES[1:]]
    pairs = [(n, mine / n, theirs / n) for n, mine, theirs in pairs if mine and theirs]
    if not pairs:
        return ""
    floors = kernel_floors(res.kernels)
    floor = [f"{floors[('atr', n)][1]:.3g}" for n, _, _ in pairs if ("atr", n) in floors]
    return ("ATR's order of operations is fixed: a subtraction, a multiplication and an addition "
            "on its dependency chain" + (f" (floor {' / '.join(floor)} ns per element)" if floor
                                         else "")
            + ", so from 10^5 on its target is that floor, not TA-Lib: brindlex "
            + " / ".join(f"{m:.3g}" for _, m, _ in pairs) + " against TA-Lib "
            + " / ".join(f"{t:.3g}" for _, _, t in pairs) + " ns per element at n = "
            + " / ".join(size_label(n) for n, _, _ in pairs) + ".")


def summary_block(res: Results, image: str) -> str:
    f = res.facts
    versions = ", ".join(f"{k} {v}" for k, v in f.items() if k in PEERS and k != "brindlex")
    own = "; ".join(
        f"{title} " + " / ".join(fmt(res.ns(ind, ALLOC, n) / n) if res.ns(ind, ALLOC, n) else "-"
                                 for n in RATIO_SIZES)
        for ind, title in INDICATORS.items())
    return "\n".join([
        f"![ns per element against n, one panel per indicator]({image})",
        "",
        wrap(f"Each ratio is the peer's median time over brindlex's (above 1×: brindlex is "
             f"faster), with brindlex allocating its outputs on every call as the peers do; per "
             f"call, at n = {PER_CALL_RATIO_N}, also with outputs allocated once and reused."),
        "",
        ratio_table(res),
        "",
        wrap(f"\"raises\": the peer refuses a series shorter than its period; \"n/a\": "
             f"the row has no result at that length. brindlex itself, allocating, in ns per "
             f"element at n = 10^3 / 10^5 / 10^7: {own}."),
        *([""] + [wrap(atr_note(res))] if atr_note(res) else []),
        "",
        wrap(f"Measured {f['date']} on {f['cpu']}, {f['system']}, {f['python']}; brindlex "
        f"{f['brindlex']}; {versions}. Load average (1/5/15 min) at the start "
        f"{f.get('load at start', '?')}, at the end {f.get('load at end', '?')}"
        f"{'; ' + f['idle'] if f.get('idle') else ''}."),
    ])


def markdown(res: Results) -> str:
    kernels = ""
    if res.kernels:
        floors = kernel_floors(res.kernels)
        rows = [[k.upper(), size_label(n), fmt(v[0]), fmt(v[1]), f"{v[0] / v[1]:.2f}"]
                for (k, n), v in floors.items()]
        kernels = ("\n\n## Kernels against their chain floors (bench_kernels, same run)\n\n"
                   + (table(["kernel", "n", "ns/element", "floor", "ratio"], rows) if rows else "")
                   + "\n\n<details><summary>bench_kernels output</summary>\n\n```text\n"
                   + res.kernels.strip() + "\n```\n\n</details>")
    return f"""# brindlex against its peers

Produced by `scripts/bench` (which runs `bench/peers.py`); do not edit by hand.

## Machine and versions

{machine_table(res)}

{res.settings}

## Targets

{chr(10).join(targets(res))}

## Ratios against each peer

The peer's median time over brindlex's (allocating its outputs on every call, as the peers do);
above 1× brindlex is faster.

{ratio_table(res, [n for n in res.sizes if n >= 100])}

## ns per element

![ns per element against n]({'peers.png'})

{ns_tables(res)}

## µs per call on short series

The cost of the Python loop and of calling a Python function, measured with an empty one in the
same rounds, is subtracted from every figure here and above. A peer that refuses a series shorter
than its period shows what it raises.

{per_call_table(res)}

## Two threads against one

Each thread computes on its own series (n = {size_label(res.scaling_n)}); throughput in million
elements per second, medians of alternating trials.

{scaling_table(res)}

## Agreement on the bundled real bars

The five tickers of `data/`, each run separately. "first value" is the first position holding a
value (the same for every ticker unless several are shown); differences are taken where both
sides have a value, relative to the larger magnitude; the next column starts {LATE} bars after
brindlex's first value, when differences of seeding have faded. The plain-Python loop is written
from brindlex's documented rules and compared bit for bit, also with the NaNs of the next table.

{agreement_table(res)}

### One injected NaN

A NaN at position k = 200 of one ticker's bars; the effect on each output against the clean run.

{injection_table(res)}

### Definitions

{definitions(res)}{kernels}
"""


def plot(res: Results, path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [n for n in res.sizes if n >= 100]
    fig, axes = plt.subplots(2, 2, figsize=(12, 8.5), sharex=True)
    colours = {"ta-lib": "tab:blue", "tulipy": "tab:orange", "bottleneck": "tab:green",
               "pandas": "tab:red", "polars": "tab:purple", "numpy": "tab:brown"}
    for ax, (indicator, title) in zip(axes.flat, INDICATORS.items()):
        seen: set[str] = set()
        for c in res.group(indicator):
            points = [(n, res.ns(indicator, c.label, n) / n) for n in sizes
                      if res.ns(indicator, c.label, n)]
            if not points:
                continue
            x, y = zip(*points)
            if c.is_brindlex:
                style = dict(color="black", lw=2.6, marker="o", ms=4, zorder=3,
                             ls="--" if c.label == ONCE else "-")
            else:
                # A library's second row in one panel is dotted.
                style = dict(color=colours.get(c.peer, "tab:gray"), lw=1.3, marker=".", ms=6,
                             ls=":" if c.peer in seen else "-")
                seen.add(c.peer)
            ax.plot(x, y, label=c.label, **style)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7, loc="upper right")
        ax.set_ylabel("ns per element")
    for ax in axes[-1]:
        ax.set_xlabel("n (elements per call)")
    fig.suptitle(f"brindlex and peers, median ns per element, fresh series per call\n"
                 f"{res.facts['cpu']}, {res.facts['python']}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def update_block(path: Path, name: str, text: str) -> bool:
    """Replaces what stands between the block's begin and end markers; False if none."""
    begin, end = f"<!-- {name}:begin -->", f"<!-- {name}:end -->"
    if not path.exists():
        return False
    content = path.read_text()
    i, j = content.find(begin), content.find(end)
    if i < 0 or j < i:
        return False
    path.write_text(content[:i + len(begin)] + "\n" + text.strip() + "\n" + content[j:])
    return True


def write(res: Results, out: Path, root: Path, update_docs: bool) -> list[str]:
    """peers.md and peers.png under `out`; with `update_docs`, the README's and the docs page's
    blocks and the docs' copy of the plot. Returns what it wrote."""
    out.mkdir(parents=True, exist_ok=True)
    written = [out / "peers.md", out / "peers.png"]
    (out / "peers.md").write_text(markdown(res))
    plot(res, out / "peers.png")
    if update_docs:
        readme, page = root / "README.md", root / "docs" / "performance.md"
        if update_block(readme, "peers-summary", summary_block(res, "bench/results/peers.png")):
            written.append(readme)
        (root / "docs" / "assets").mkdir(parents=True, exist_ok=True)
        shutil.copyfile(out / "peers.png", root / "docs" / "assets" / "peers.png")
        written.append(root / "docs" / "assets" / "peers.png")
        details = "\n\n".join([
            "### Per call on short series, µs\n\n" + per_call_table(res),
            f"### Two threads against one (n = {size_label(res.scaling_n)})\n\n"
            + scaling_table(res),
            "### Targets\n\n" + "\n".join(targets(res)),
            "### Agreement on the bundled real bars\n\n" + agreement_table(res),
            "### One injected NaN (at position k = 200)\n\n" + injection_table(res),
            "### Definitions\n\n" + definitions(res),
        ])
        if update_block(page, "peers-summary", summary_block(res, "assets/peers.png")) \
                and update_block(page, "peers-details", details):
            written.append(page)
    return [str(p) for p in written]
