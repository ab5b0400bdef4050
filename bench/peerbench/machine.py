"""What the results were measured on: processor, system, versions, load."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


# The instruction sets the kernels are dispatched on, as /proc/cpuinfo names them.
FLAGS = ("sse2", "sse4_2", "avx", "avx2", "fma", "avx512f", "avx512dq", "avx512vl")


def cpu_flags() -> list[str]:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                have = set(line.split(":", 1)[1].split())
                return [f for f in FLAGS if f in have]
    except OSError:
        pass
    return []


def one_minute_load() -> float:
    return os.getloadavg()[0]


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f} / {five:.2f} / {fifteen:.2f}"


def checkout() -> str:
    """The commit brindlex was built from, marked when the work tree had changes."""
    def git(*args: str) -> str:
        return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True,
                              check=False).stdout.strip()
    commit = git("rev-parse", "--short", "HEAD")
    if not commit:
        return "unknown"
    # Only what goes into the module counts: results and docs change with every run.
    changed = git("status", "--porcelain", "--", "core", "module", "runtime", "CMakeLists.txt",
                  "pyproject.toml")
    return commit + (" with local changes to the module's sources" if changed else "")


def version(dist: str) -> str:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return "?"


def describe(peers: list[str], absent: dict[str, str],
             polars_threads: int | None) -> dict[str, str]:
    facts = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": f"{cpu_model()}, {os.cpu_count()} logical cores"
               + (f" ({', '.join(cpu_flags())})" if cpu_flags() else ""),
        "system": f"{platform.system()} {platform.release()}",
        "python": f"CPython {platform.python_version()}",
        "brindlex": f"{version('brindlex')} (checkout {checkout()})",
    }
    for dist in peers:
        if dist == "brindlex":
            continue
        facts[dist] = f"missing: {absent[dist]}" if dist in absent else version(dist)
    if polars_threads is not None:
        facts["polars"] += f" (thread pool of {polars_threads})"
    return facts
