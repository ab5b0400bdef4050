"""The one timing core of the Python benchmarks: interleaved rounds of calls on fresh inputs.

A subject is anything to time. Asked for k calls, it sets up (untimed) the next k calls on inputs
it has not just run on, and hands back the function that makes them; the core times that
function. Each round times one batch per subject, the subjects in an order that turns from round
to round, so that load from other users of the machine falls on all of them alike. A batch lasts
at least `sample_ns`. The median over the rounds is kept, with the quartiles to show the noise,
and the minimum for the benchmarks that want the quietest moment of a busy machine.
"""

from __future__ import annotations

import dataclasses
import gc
import math
import statistics
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Hashable, Sequence

import numpy as np

from .contenders import Contender
from .series import Pool


@dataclass(frozen=True)
class Timing:
    """Nanoseconds per call over the rounds: median, quartiles and minimum."""
    median: float
    low: float
    high: float
    rounds: int
    batch: int
    best: float = math.nan
    runs: tuple[float, ...] = ()  # the median of each separate run, when there were several

    @property
    def spread(self) -> float:
        return (self.high - self.low) / self.median if self.median > 0 else math.inf

    def disagrees(self, margin: float) -> bool:
        """Whether the medians of its separate runs lie further apart than `margin` (0.1: 10 %)."""
        return len(self.runs) > 1 and max(self.runs) > (1 + margin) * min(self.runs)

    def minus(self, ns: float) -> Timing:
        """The same timing with a baseline cost (an empty call, say) taken off every figure."""
        return Timing(max(self.median - ns, 0.0), max(self.low - ns, 0.0),
                      max(self.high - ns, 0.0), self.rounds, self.batch, max(self.best - ns, 0.0),
                      tuple(max(r - ns, 0.0) for r in self.runs))


# A timing, or the reason a subject has none.
Outcome = Timing | str


@dataclass
class Subject:
    """What to time. `batch(k)` prepares the next k calls and returns the function making them."""
    key: Hashable
    batch: Callable[[int], Callable[[], Any]]


class Cursor:
    """Hands out a pool's argument tuples in turn, so that no call repeats the one before."""

    def __init__(self, args: Sequence[tuple]):
        self.args, self.at = args, 0

    def take(self, k: int) -> list[tuple]:
        n = len(self.args)
        out = [self.args[(self.at + j) % n] for j in range(k)]
        self.at = (self.at + k) % n
        return out


def _calls(run: Callable, batch: list[tuple]) -> None:
    for args in batch:
        run(*args)


def pooled(key: Hashable, run: Callable, args: Sequence[tuple]) -> Subject:
    """A subject calling `run(*a)` for each argument tuple `a` of a pool, in turn."""
    cursor = Cursor(args)
    return Subject(key, lambda k: lambda: _calls(run, cursor.take(k)))


def _time(fn: Callable[[], Any]) -> int:
    start = time.perf_counter_ns()
    fn()
    return time.perf_counter_ns() - start


def calibrate(subject: Subject, sample_ns: float, limit: int = 1_000_000) -> int:
    """Calls per batch for a sample of about `sample_ns`. The first call only warms up (it may
    compile, or fault in pages); the probes that follow warm up too."""
    subject.batch(1)()
    probe = 1
    while True:
        spent = _time(subject.batch(probe))
        if spent >= sample_ns / 8 or probe >= limit:
            break
        probe *= 4
    return max(1, min(limit, math.ceil(sample_ns * probe / max(spent, 1))))


def interleave(subjects: Sequence[Subject], batches: dict[Hashable, int], rounds: int,
               ) -> dict[Hashable, list[float]]:
    """ns per call of every subject, one sample per round; round 0 only warms up."""
    samples: dict[Hashable, list[float]] = {s.key: [] for s in subjects}
    if not subjects:
        return samples
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds + 1):
            turn = r % len(subjects)
            order = [*subjects[turn:], *subjects[:turn]]
            if r % 2:
                order.reverse()
            for s in order:
                k = batches[s.key]
                fn = s.batch(k)
                spent = _time(fn)
                if r:
                    samples[s.key].append(spent / k)
                del fn
            gc.collect()
    finally:
        gc.enable()
    return samples


def summarise(samples: list[float], batch: int) -> Timing:
    q1, q2, q3 = statistics.quantiles(samples, n=4) if len(samples) > 1 else [samples[0]] * 3
    return Timing(q2, q1, q3, len(samples), batch, min(samples))


def run(subjects: Sequence[Subject], rounds: int, sample_ns: float, runs: int = 1,
        ) -> dict[Hashable, Outcome]:
    """Calibrates and times every subject; one that raises is reported with what it raised.
    With `runs` > 1 the rounds are shared out among that many separate runs, one after the
    other, each warmed up anew: the median of each run is kept beside the median of all, so that
    a burst of load that struck one run shows as a disagreement between them."""
    batches: dict[Hashable, int] = {}
    results: dict[Hashable, Outcome] = {}
    ready = []
    for s in subjects:
        try:
            batches[s.key] = calibrate(s, sample_ns)
        except Exception as error:  # a peer refusing an input is a result, not a crash
            results[s.key] = f"raises {type(error).__name__}"
            continue
        ready.append(s)
    share = [rounds // runs + (r < rounds % runs) for r in range(runs)]
    parts = [interleave(ready, batches, max(k, 1)) for k in share]
    for s in ready:
        each = [part[s.key] for part in parts]
        whole = summarise([x for samples in each for x in samples], batches[s.key])
        if runs > 1:
            whole = dataclasses.replace(whole, runs=tuple(statistics.median(e) for e in each))
        results[s.key] = whole
    return results


# ----------------------------------------------------------------------------------------------
# The peer benchmark: one contender call per series of a pool


def _empty_call(*args) -> None:
    return None


EMPTY = Contender("-", "empty call", "-", lambda pool: [(b.close,) for b in pool.bars],
                  _empty_call, lambda args, result: {})


def measure(contenders: list[Contender], sizes: list[int], rounds_for: Callable[[int], int],
            sample_ns: float, rng: np.random.Generator,
            log: Callable[[str], None] = lambda s: print(s, file=sys.stderr, flush=True),
            ) -> dict[tuple[str, str], dict[int, Outcome]]:
    """ns per call of every contender at every length; an empty call, timed alongside, is
    subtracted so that what is left is the library's own cost."""
    results: dict[tuple[str, str], dict[int, Outcome]] = {c.key: {} for c in contenders}
    for n in sizes:
        started = time.perf_counter()
        pool = Pool.random(n, rng)
        subjects = []
        for contender in [EMPTY, *contenders]:
            if n < contender.min_n:
                results[contender.key][n] = f"n/a: needs n >= {contender.min_n}"
                continue
            try:
                args = contender.prepare(pool)
            except Exception as error:
                results[contender.key][n] = f"raises {type(error).__name__}"
                continue
            subjects.append(pooled(contender.key, contender.run, args))
        timed = run(subjects, rounds_for(n), sample_ns)
        empty = timed.pop(EMPTY.key)
        base = empty.median if isinstance(empty, Timing) else 0.0
        for key, outcome in timed.items():
            results[key][n] = outcome.minus(base) if isinstance(outcome, Timing) else outcome
        del subjects, pool
        gc.collect()
        log(f"  n = {n:>10,}: {rounds_for(n)} rounds in {time.perf_counter() - started:.1f} s")
    return results


@dataclass(frozen=True)
class Scaling:
    """Throughput in elements per second, one thread and two, each thread on its own series."""
    one: float
    two: float

    @property
    def ratio(self) -> float:
        return self.two / self.one


def _threads(run: Callable, arg_lists: list[list[tuple]]) -> Callable[[], None]:
    """The timed part of a threaded batch: the threads wait at a barrier, started beforehand."""
    barrier = threading.Barrier(len(arg_lists) + 1)
    threads = [threading.Thread(target=lambda a=a: (barrier.wait(), _calls(run, a)))
               for a in arg_lists]
    for t in threads:
        t.start()

    def go() -> None:
        barrier.wait()
        for t in threads:
            t.join()
    return go


def threaded(key: Hashable, run: Callable, pools: list[list[tuple]]) -> Subject:
    """A subject making each batch's calls on len(pools) threads at once, each on its own pool;
    k counts the calls of one thread."""
    cursors = [Cursor(args) for args in pools]
    return Subject(key, lambda k: _threads(run, [c.take(k) for c in cursors]))


def thread_scaling(contenders: list[Contender], n: int, trials: int, trial_ns: float,
                   rng: np.random.Generator) -> dict[tuple[str, str], Scaling | str]:
    """One thread against two, alternating trials, contenders interleaved; medians kept."""
    pools = [Pool.random(n, rng, count=8) for _ in range(2)]
    subjects, results = [], {}
    for c in contenders:
        try:
            args = [c.prepare(p) for p in pools]
        except Exception as error:
            results[c.key] = f"raises {type(error).__name__}"
            continue
        subjects += [threaded((c.key, 1), c.run, args[:1]), threaded((c.key, 2), c.run, args)]
    timed = run(subjects, trials, trial_ns)
    for c in contenders:
        one, two = timed.get((c.key, 1)), timed.get((c.key, 2))
        if isinstance(one, Timing) and isinstance(two, Timing):
            # Per call of one thread: the two-thread batch made twice the elements.
            results[c.key] = Scaling(1e9 * n / one.median, 2e9 * n / two.median)
        elif c.key not in results:
            results[c.key] = next(o for o in (one, two) if isinstance(o, str))
    return results
