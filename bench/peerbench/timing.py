"""Timing of the contenders: interleaved rounds on fresh series, medians, and two-thread scaling.

Each round times one batch of calls per contender, the contenders in an order that turns from
round to round, so that load from other users of the machine falls on all of them alike. A batch
calls the contender once on each of a run of distinct series from the pool, never twice on the
same one in a row, and lasts at least a couple of milliseconds. The median over the rounds is
kept, with the quartiles to show the noise.
"""

from __future__ import annotations

import gc
import math
import statistics
import sys
import threading
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np

from .contenders import Contender
from .series import Pool


@dataclass(frozen=True)
class Timing:
    """Nanoseconds per call: median and quartiles over the rounds, the empty call subtracted."""
    median: float
    low: float
    high: float
    rounds: int
    batch: int

    @property
    def spread(self) -> float:
        return (self.high - self.low) / self.median if self.median > 0 else math.inf


# A timing, or the reason a contender has none at that length.
Outcome = Timing | str


def _batch(run: Callable, batch: list[tuple]) -> int:
    start = time.perf_counter_ns()
    for args in batch:
        run(*args)
    return time.perf_counter_ns() - start


class _Subject:
    """One contender's arguments over a pool, and its place in that pool."""

    def __init__(self, contender: Contender, args: list[tuple], batch: int):
        self.contender, self.args, self.batch = contender, args, batch
        self.cursor = 0
        self.samples: list[float] = []

    def next_batch(self) -> list[tuple]:
        k = len(self.args)
        batch = [self.args[(self.cursor + j) % k] for j in range(self.batch)]
        self.cursor = (self.cursor + self.batch) % k
        return batch


def _empty_call(*args) -> None:
    return None


EMPTY = Contender("-", "empty call", "-", lambda pool: [(b.close,) for b in pool.bars],
                  _empty_call, lambda args, result: {})


def _calibrate(contender: Contender, args: list[tuple], sample_ns: float) -> int:
    """Calls per batch for a sample of about `sample_ns`; also the warm-up calls."""
    for a in args[:2]:
        contender.run(*a)
    probe = args[2:5] or args
    per_call = max(_batch(contender.run, probe) / len(probe), 1.0)
    return max(1, min(1_000_000, math.ceil(sample_ns / per_call)))


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
                batch = _calibrate(contender, args, sample_ns)
            except Exception as error:  # a peer refusing this length is a result, not a crash
                results[contender.key][n] = f"raises {type(error).__name__}"
                continue
            subjects.append(_Subject(contender, args, batch))
        rounds = rounds_for(n)
        gc.collect()
        gc.disable()
        try:
            # Round 0 only warms up caches and clocks; its samples are dropped.
            for r in range(rounds + 1):
                if r == 1:
                    for s in subjects:
                        s.samples.clear()
                turn = r % len(subjects)
                order = subjects[turn:] + subjects[:turn]
                if r % 2:
                    order.reverse()
                for s in order:
                    batch = s.next_batch()
                    s.samples.append(_batch(s.contender.run, batch) / len(batch))
                gc.collect()
        finally:
            gc.enable()
        empty = statistics.median(subjects[0].samples)
        for s in subjects[1:]:
            q1, q2, q3 = statistics.quantiles(s.samples, n=4) if len(s.samples) > 1 else [
                s.samples[0]] * 3
            results[s.contender.key][n] = Timing(max(q2 - empty, 0.0), max(q1 - empty, 0.0),
                                                 max(q3 - empty, 0.0), rounds, s.batch)
        del subjects, pool
        gc.collect()
        log(f"  n = {n:>10,}: {rounds} rounds in {time.perf_counter() - started:.1f} s")
    return results


@dataclass(frozen=True)
class Scaling:
    """Throughput in elements per second, one thread and two, each thread on its own series."""
    one: float
    two: float

    @property
    def ratio(self) -> float:
        return self.two / self.one


def _threads(run: Callable, arg_lists: list[list[tuple]], calls: int) -> int:
    barrier = threading.Barrier(len(arg_lists) + 1)

    def work(args: list[tuple]) -> None:
        barrier.wait()
        for j in range(calls):
            run(*args[j % len(args)])

    threads = [threading.Thread(target=work, args=(a,)) for a in arg_lists]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter_ns()
    for t in threads:
        t.join()
    return time.perf_counter_ns() - start


def thread_scaling(contenders: list[Contender], n: int, trials: int, trial_ns: float,
                   rng: np.random.Generator) -> dict[tuple[str, str], Scaling | str]:
    """One thread against two, alternating trials, contenders interleaved; medians kept."""
    pools = [Pool.random(n, rng, count=8) for _ in range(2)]
    plans = {}
    for c in contenders:
        try:
            args = [c.prepare(p) for p in pools]
            calls = _calibrate(c, args[0], trial_ns)
        except Exception as error:
            plans[c.key] = f"raises {type(error).__name__}"
            continue
        plans[c.key] = (c, args, calls)
    one: dict = {k: [] for k, v in plans.items() if not isinstance(v, str)}
    two: dict = {k: [] for k in one}
    gc.collect()
    gc.disable()
    try:
        for _ in range(trials):
            for key in one:
                c, args, calls = plans[key]
                one[key].append(_threads(c.run, args[:1], calls) / (calls * n))
                two[key].append(_threads(c.run, args, calls) / (2 * calls * n))
            gc.collect()
    finally:
        gc.enable()
    results: dict[tuple[str, str], Scaling | str] = {
        k: v for k, v in plans.items() if isinstance(v, str)}
    for key in one:
        results[key] = Scaling(1e9 / statistics.median(one[key]), 1e9 / statistics.median(two[key]))
    return results
