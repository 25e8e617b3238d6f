"""bootstrap_mean: time per call as the replicate count and the series length
grow (block and stationary), and the speed-up of all threads over one.

Run: python bench/bench_bootstrap.py [--quick]
"""

from __future__ import annotations

import argparse

import numpy as np

import quintara
from common import logical_cpus, sweep, thread_speedup


def series(n: int) -> list[float]:
    return list(np.random.default_rng(0).normal(size=n).cumsum() * 0.1)


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
        sweep(
            "n_reps",
            reps,
            lambda r, k=kind: lambda: quintara.bootstrap_mean(s200, kind=k, block_len=8, n_reps=r),
        )
        print(f"{kind}, n_reps 2000, block_len 8, growing series length n:")
        cache = {n: series(n) for n in lengths}
        sweep(
            "n",
            lengths,
            lambda n, k=kind: (
                lambda: quintara.bootstrap_mean(cache[n], kind=k, block_len=8, n_reps=2000)
            ),
        )

    n = lengths[-1]
    for kind in ("block", "stationary"):
        thread_speedup(
            f"{kind} n={n}, n_reps=2000",
            f"s = list(np.random.default_rng(0).normal(size={n}))",
            f"quintara.bootstrap_mean(s, kind={kind!r}, block_len=8, n_reps=2000)",
        )


if __name__ == "__main__":
    main()
