"""Callaway & Sant'Anna: time per fit on generated staggered panels as units
(100 to 20 000), periods (10 to 40) and cohorts (3 to 8) grow, with and
without the multiplier-bootstrap bands; growth exponents and the bands'
speed-up of all threads over one. Then 10^6 units x 10 periods through the
labelled verb and the compiled entry, without bands (also as nanoseconds per
unit-period cell) and with 999-replicate bands, the best of a few calls.

Run: python bench/bench_callaway.py [--quick] [--large-only]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quintara
from common import fmt_seconds, logical_cpus, staggered_panel, sweep, thread_speedup, time_call
from peers.cases_did_large import large_panel, long_table


def fit(make, **kwargs):
    """A sweep step: builds the panel for a size and times the fit on it."""

    def prepare(size: int):
        y, cohorts = make(size)
        return lambda: quintara.fit_callaway_py(y, cohorts, **kwargs)

    return prepare


def best_of(fn, reps: int) -> float:
    """The fastest of `reps` calls after a warm-up one: the machine's other
    load only ever adds time."""
    fn()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def large(reps: int) -> None:
    """10^6 x 10 (cohorts adopting at periods 3, 5 and 7, a quarter never),
    never-treated comparisons, the default universal base."""
    n, t = 10**6, 10
    y, cohorts = large_panel(n)
    df = long_table(y, cohorts)
    codes = np.asarray(cohorts, dtype=np.int64)
    calls = {
        "quintara.staggered": lambda **kw: quintara.staggered(
            df, adoption="first", unit="unit", time="time", outcome="y", **kw
        ),
        "fit_callaway_py": lambda **kw: quintara.fit_callaway_py(y, cohorts, **kw),
        # Cohorts as a table column gives them: a list of a million Python
        # ints costs about 1 ns per cell to read.
        "  (int64 cohorts)": lambda **kw: quintara.fit_callaway_py(y, codes, **kw),
    }
    print(f"{n} units x {t} periods, best of {reps}:")
    for label, call in calls.items():
        plain = best_of(call, reps)
        bands = best_of(lambda c=call: c(bands=True, n_reps=999), reps)
        print(
            f"  {label:20s} no bands {fmt_seconds(plain)} ({plain / (n * t) * 1e9:6.1f} ns/cell)"
            f"   999 bands {fmt_seconds(bands)} (bands alone {fmt_seconds(bands - plain)})"
        )


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    ap.add_argument("--large-only", action="store_true", help="only the 10^6 x 10 panel")
    args = ap.parse_args()
    if args.large_only:
        print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
        large(3)
        return
    units = [100, 500, 2000, 5000] if args.quick else [100, 500, 2000, 5000, 20000]
    band_units = [100, 500, 2000] if args.quick else [100, 500, 2000, 5000, 20000]

    print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
    print("never-treated comparisons, T = 20, 5 cohorts, growing units N:")
    sweep("N", units, fit(lambda n: staggered_panel(n, 20, 5)))
    print("not-yet-treated comparisons, T = 20, 5 cohorts, growing units N:")
    sweep("N", units, fit(lambda n: staggered_panel(n, 20, 5), control="notyet"))
    print("N = 2000, 5 cohorts, growing periods T:")
    sweep("T", [10, 20, 40], fit(lambda t: staggered_panel(2000, t, 5)))
    print("N = 2000, T = 20, growing cohorts:")
    sweep("cohorts", [3, 5, 8], fit(lambda k: staggered_panel(2000, 20, k)))
    print("N = 2000, T = 20, 5 cohorts, one covariate:")
    y, cohorts = staggered_panel(2000, 20, 5)
    x = np.random.default_rng(1).normal(size=(2000, 1))
    print(f"  {fmt_seconds(time_call(lambda: quintara.fit_callaway_py(y, cohorts, covariates=x)))}")
    print("with bands (n_reps = 999), T = 20, 5 cohorts, growing units N:")
    sweep("N", band_units, fit(lambda n: staggered_panel(n, 20, 5), bands=True))

    n = band_units[-1]
    thread_speedup(
        f"bands N={n}, T=20",
        f"y, c = staggered_panel({n}, 20, 5)",
        "quintara.fit_callaway_py(y, c, bands=True)",
    )
    if not args.quick:
        large(3)


if __name__ == "__main__":
    main()
