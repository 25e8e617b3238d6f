"""bootstrap_mean: time per call as the replicate count and the series length
grow (block and stationary), and the speed-up of all threads over one.

Run: python bench/bench_bootstrap.py [--quick]
"""

from __future__ import annotations

import argparse
import pathlib
import textwrap

import numpy as np

import quintara
from common import fmt_seconds, growth_exponent, logical_cpus, run_with_threads, time_call


def series(n: int) -> list[float]:
    return list(np.random.default_rng(0).normal(size=n).cumsum() * 0.1)


def sweep(label: str, sizes: list[int], call) -> None:
    secs = []
    for s in sizes:
        secs.append(time_call(lambda: call(s)))
        print(f"  {label}={s:7d}  {fmt_seconds(secs[-1])}")
    print(f"  growth exponent in {label}: {growth_exponent(sizes, secs):.2f}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    args = ap.parse_args()
    reps = [500, 2000, 8000] if args.quick else [500, 2000, 8000, 32000]
    lengths = [100, 1000, 10000] if args.quick else [100, 1000, 10000, 100000]

    print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
    s200 = series(200)
    for kind in ("block", "stationary"):
        print(f"{kind}, series length 200, block_len 8, growing n_reps:")
        sweep("n_reps", reps, lambda r, k=kind: quintara.bootstrap_mean(
            s200, kind=k, block_len=8, n_reps=r))
        print(f"{kind}, n_reps 2000, block_len 8, growing series length n:")
        cache = {n: series(n) for n in lengths}
        sweep("n", lengths, lambda n, k=kind: quintara.bootstrap_mean(
            cache[n], kind=k, block_len=8, n_reps=2000))

    n = lengths[-1]
    for kind in ("block", "stationary"):
        code = textwrap.dedent(f"""
            import sys; sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
            import numpy as np, quintara
            from common import time_call
            s = list(np.random.default_rng(0).normal(size={n}))
            print(time_call(lambda: quintara.bootstrap_mean(s, kind={kind!r}, block_len=8,
                                                            n_reps=2000), min_time=1.0))
        """)
        one = run_with_threads(1, code)
        every = run_with_threads(logical_cpus(), code)
        print(f"{kind} n={n}, n_reps=2000: 1 thread {fmt_seconds(one)}, {logical_cpus()} "
              f"threads {fmt_seconds(every)}, speed-up x{one / every:.2f}")


if __name__ == "__main__":
    main()
