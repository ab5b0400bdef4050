"""Throughput of each function over many series, on one thread and on a pool of N threads.

Usage: python bench/thread_scaling.py [--threads N] [--length L] [--series K] [--rounds R]

Each round draws K fresh random walks of L bars (close, and high/low around it with a varying
range), then computes one function over all of them, split into 4N tasks, once on a 1-thread pool
and once on an N-thread pool, the order of the two swapping every round so that load from elsewhere hits both
alike. The fastest round of each side is kept (noise only ever adds time). The ratio is N-thread
throughput over 1-thread throughput: SMA, EMA and MACD give the interpreter lock away while they
compute, ATR keeps it, so only the first three can scale.
"""

import argparse
import os
import platform
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import brindlex


def random_bars(rng, count, length):
    steps = rng.normal(0.0, 1.0, size=(count, length))
    close = 100.0 + np.cumsum(steps, axis=1)
    spread = np.abs(rng.normal(0.0, 0.5, size=(count, length))) * rng.uniform(0.5, 3.0, size=(count, 1))
    return [(c + s, c - s, c.copy()) for c, s in zip(close, spread)]


def outputs(close, count):
    # Written once here, so that no page of an output is first touched while being timed.
    return [np.zeros_like(close) for _ in range(count)]


def jobs(name, bars):
    """One callable per series, each writing into outputs allocated here, outside the timing."""
    out = []
    for high, low, close in bars:
        if name == "sma":
            (o,) = outputs(close, 1)
            out.append(lambda c=close, o=o: brindlex.indicator_sma(20, c, o))
        elif name == "ema":
            (o,) = outputs(close, 1)
            out.append(lambda c=close, o=o: brindlex.indicator_ema(20, c, o))
        elif name == "macd":
            m, s, h = outputs(close, 3)
            out.append(lambda c=close, m=m, s=s, h=h: brindlex.indicator_macd(12, 26, 9, c, m, s, h))
        else:
            (o,) = outputs(close, 1)
            out.append(lambda hi=high, lo=low, c=close, o=o: brindlex.indicator_atr(14, hi, lo, c, o))
    return out


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def run_all(chunk):
    for job in chunk:
        job()


def seconds(pool, chunks):
    start = time.perf_counter()
    for future in [pool.submit(run_all, chunk) for chunk in chunks]:
        future.result()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--length", type=int, default=100_000, help="bars per series")
    parser.add_argument("--series", type=int, default=64, help="series per round")
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    rng = np.random.default_rng(2024)
    elements = args.length * args.series
    print(f"{cpu_model()}, {os.cpu_count()} logical CPUs, "
          f"load average {os.getloadavg()[0]:.2f}; numpy {np.__version__}, "
          f"Python {platform.python_version()}")
    print(f"{args.series} series of {args.length} bars per round, best of {args.rounds} rounds")
    print(f"{'function':10} {'1 thread':>14} {f'{args.threads} threads':>14} {'ratio':>7}")
    with ThreadPoolExecutor(1) as one, ThreadPoolExecutor(args.threads) as many:
        for name in ("sma", "ema", "macd", "atr"):
            best = {"one": float("inf"), "many": float("inf")}
            for r in range(args.rounds):
                work = jobs(name, random_bars(rng, args.series, args.length))
                # A few tasks per thread, each a run of series: one task per series would time
                # the pool's hand-offs rather than the calls.
                tasks = 4 * args.threads
                chunks = [work[k::tasks] for k in range(tasks)]
                for side in (("one", "many") if r % 2 == 0 else ("many", "one")):
                    best[side] = min(best[side], seconds(one if side == "one" else many, chunks))
            rate_one, rate_many = elements / best["one"] / 1e6, elements / best["many"] / 1e6
            print(f"{'indicator_' + name:16} {rate_one:8.0f} M/s {rate_many:8.0f} M/s "
                  f"{rate_many / rate_one:6.2f}x")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
