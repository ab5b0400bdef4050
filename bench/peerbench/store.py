"""The measured results as JSON, so that the tables can be rendered again without timing again."""

from __future__ import annotations

import dataclasses
import json
from pathlib import Path

from .agreement import Comparison, Injection
from .contenders import Contender
from .report import Results
from .timing import Scaling, Timing


def _outcome(value) -> dict:
    if isinstance(value, str):
        return {"reason": value}
    return dataclasses.asdict(value)


def save(res: Results, path: Path) -> None:
    data = {
        "contenders": [{"indicator": c.indicator, "label": c.label, "peer": c.peer,
                        "definition": c.definition} for c in res.contenders],
        "timings": [{"indicator": k[0], "label": k[1], "n": n, **_outcome(v)}
                    for k, by_n in res.timings.items() for n, v in by_n.items()],
        "sizes": res.sizes,
        "scaling": [{"indicator": k[0], "label": k[1], **_outcome(v)}
                    for k, v in res.scaling.items()],
        "scaling_n": res.scaling_n,
        "comparisons": [{**dataclasses.asdict(c), "first": sorted(c.first, key=str),
                         "first_brindlex": sorted(c.first_brindlex, key=str)}
                        for c in res.comparisons],
        "injections": [dataclasses.asdict(i) for i in res.injections],
        "facts": res.facts,
        "settings": res.settings,
        "kernels": res.kernels,
    }
    path.write_text(json.dumps(data, indent=1, ensure_ascii=False) + "\n")


def load(path: Path) -> Results:
    data = json.loads(path.read_text())
    contenders = [Contender(c["indicator"], c["label"], c["peer"], None, None, None,
                            c["definition"]) for c in data["contenders"]]
    timings: dict = {c.key: {} for c in contenders}
    for t in data["timings"]:
        key = (t["indicator"], t["label"])
        timings.setdefault(key, {})[t["n"]] = t["reason"] if "reason" in t else Timing(
            t["median"], t["low"], t["high"], t["rounds"], t["batch"])
    scaling = {(s["indicator"], s["label"]): s["reason"] if "reason" in s else Scaling(
        s["one"], s["two"]) for s in data["scaling"]}
    comparisons = [Comparison(**{**c, "first": set(c["first"]),
                                 "first_brindlex": set(c["first_brindlex"])})
                   for c in data["comparisons"]]
    injections = [Injection(**i) for i in data["injections"]]
    return Results(contenders, timings, data["sizes"], scaling, data["scaling_n"], comparisons,
                   injections, data["facts"], data["settings"], kernels=data["kernels"])
