"""What the results were measured on: processor, system, versions, load."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
import time
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


def settled_load(limit: float, timeout: float, log=print) -> float:
    """The 1-minute load once it is at most `limit`, waiting up to `timeout` seconds for it: a
    benchmark run just before (scripts/bench runs them in a row) leaves its own load behind, which
    fades within a minute or two when nothing else runs."""
    waited, load = 0.0, one_minute_load()
    while load > limit and waited < timeout:
        if not waited:
            log(f"waiting up to {timeout:.0f} s for a 1-minute load of at most {limit} (now {load:.2f})")
        time.sleep(10)
        waited += 10
        load = one_minute_load()
    return load


class Others:
    """How many cores everything but this process kept busy, on average, from its making to
    `cores()`: the machine's busy time (/proc/stat) less this process's own (all its threads).
    The load average cannot tell a benchmark's own work from anyone else's; this can."""

    def __init__(self):
        self.start = self._now()

    @staticmethod
    def _now() -> tuple[float, float, float]:
        fields = [int(f) for f in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
        idle = fields[3] + fields[4]  # idle and waiting for I/O
        busy = (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")
        own = os.times()
        return time.monotonic(), busy, own.user + own.system + own.children_user + own.children_system

    def cores(self) -> float:
        (t0, busy0, own0), (t1, busy1, own1) = self.start, self._now()
        return max(0.0, (busy1 - busy0) - (own1 - own0)) / max(t1 - t0, 1e-9)


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
