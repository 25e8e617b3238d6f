"""Batched-fit throughput: `fit_many` on a stack of 1000 panels of 30 units x
60 periods (two treated units, 15 post-periods; each replication its own
noise draw around one factor panel), for every method.

For each method it prints fits per second of `fit_many` with one worker and
with two (fresh interpreters, since the pool reads RAYON_NUM_THREADS once),
and of a Python loop calling the matching single-fit entry with the options
`fit_many` passes. The loop runs on the calling thread whatever the pool
size; its ratio to the batched call shows what batching buys: one argument
conversion and validation for the whole stack, no result object per fit, and
the fits spread over the workers.

    python bench/bench_fit_many.py            # --quick: 100 replications
"""

from __future__ import annotations

import argparse
import os

import numpy as np

import quintara
from common import factor_panel, run_with_threads

N_UNITS, N_PERIODS, T0, TREATED = 30, 60, 45, [0, 1]
METHODS = ("sc", "asc", "sdid", "fp", "rsc")

# The single-fit entry behind each method, called with fit_many's defaults.
SINGLE = {
    "sc": quintara.fit_sc,
    "asc": quintara.fit_asc,
    "sdid": quintara.fit_sdid,
    "fp": quintara.fit_fp,
    "rsc": quintara.fit_rsc,
}


def stack(n_reps: int, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y3 = factor_panel(N_UNITS, N_PERIODS) + 0.2 * rng.standard_normal((n_reps, N_UNITS, N_PERIODS))
    y3[:, TREATED, T0:] += 1.0
    return y3


def batched(y3: np.ndarray, method: str) -> np.ndarray:
    return quintara.fit_many(y3, TREATED, T0, method=method)


def looped(y3: np.ndarray, method: str) -> np.ndarray:
    fit = SINGLE[method]
    return np.array([fit(y, TREATED, T0).att for y in y3])


_CHILD = """
import sys
sys.path.insert(0, {here!r})
from bench_fit_many import stack, {kind}
from common import time_call
y3 = stack({n_reps})
print(time_call(lambda: {kind}(y3, {method!r}), min_time=1.0, max_reps=5))
"""


def seconds(kind: str, method: str, n_reps: int, threads: int) -> float:
    """Seconds per call of `kind` ("batched" or "looped") in a fresh
    interpreter with `threads` workers."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = _CHILD.format(here=here, kind=kind, n_reps=n_reps, method=method)
    return run_with_threads(threads, code)


def main(n_reps: int) -> None:
    # The loop must reproduce the batch exactly, or the comparison is void.
    y3 = stack(8)
    for method in METHODS:
        assert batched(y3, method).tolist() == looped(y3, method).tolist(), method

    print(f"{n_reps} panels of {N_UNITS} units x {N_PERIODS} periods, treated {TREATED}, t0 {T0}")
    print("  fits per second: Python loop of single fits, fit_many with 1 and 2 workers;")
    print("  then the throughput ratios")
    print(
        f"  {'method':6s} {'loop':>8s} {'1 worker':>9s} {'2 workers':>9s}"
        f" {'2w/1w':>6s} {'1w/loop':>8s} {'2w/loop':>8s}"
    )
    for method in METHODS:
        loop = seconds("looped", method, n_reps, 1)
        one = seconds("batched", method, n_reps, 1)
        two = seconds("batched", method, n_reps, 2)
        print(
            f"  {method:6s} {n_reps / loop:8.0f} {n_reps / one:9.0f} {n_reps / two:9.0f}"
            f" {one / two:6.2f} {loop / one:8.2f} {loop / two:8.2f}"
        )


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="100 replications (default 1000)")
    main(100 if ap.parse_args().quick else 1000)
