"""Callaway & Sant'Anna: time per fit on generated staggered panels as units
(100 to 20 000), periods (10 to 40) and cohorts (3 to 8) grow, with and
without the multiplier-bootstrap bands; growth exponents and the bands'
speed-up of all threads over one. Then 10^6 units x 10 periods through the
labelled verb and the compiled entry, without bands (also as nanoseconds per
unit-period cell) and with 999-replicate bands, the best of five calls.
`--labelled` times what the labelled verb adds to the compiled call on long
tables of 10^6 and 10^7 rows, the two calls alternated.

Run: python bench/bench_callaway.py [--quick] [--large-only] [--labelled]
"""

from __future__ import annotations

import argparse
import statistics
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


def labelled_cost(rounds: int) -> None:
    """`staggered` on a long table against `fit_callaway_py` on its arrays,
    one call of each per round: a paired ratio per round cancels the load
    that the two calls of a round share. Reports the best of each and the
    median of the rounds' ratios."""
    for n in (10**5, 10**6):
        y, cohorts = large_panel(n)
        df = long_table(y, cohorts)
        labelled = lambda: quintara.staggered(  # noqa: E731
            df, adoption="first", unit="unit", time="time", outcome="y"
        )
        compiled = lambda: quintara.fit_callaway_py(y, cohorts)  # noqa: E731
        labelled()
        compiled()
        times: tuple[list[float], list[float]] = ([], [])
        for _ in range(rounds if n < 10**6 else max(3, rounds // 8)):
            for fn, out in ((labelled, times[0]), (compiled, times[1])):
                t0 = time.perf_counter()
                fn()
                out.append(time.perf_counter() - t0)
        best_l, best_c = min(times[0]), min(times[1])
        paired = statistics.median(a / b for a, b in zip(*times, strict=True))
        print(
            f"  {len(df):>10,} rows: staggered {fmt_seconds(best_l)}, fit_callaway_py "
            f"{fmt_seconds(best_c)}: {best_l / best_c:.2f}x best to best, "
            f"{paired:.2f}x median of {len(times[0])} rounds"
        )


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    ap.add_argument("--large-only", action="store_true", help="only the 10^6 x 10 panel")
    ap.add_argument("--labelled", action="store_true", help="only the labelled verb's cost")
    ap.add_argument("--rounds", type=int, default=40, help="rounds of --labelled")
    args = ap.parse_args()
    if args.labelled:
        print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
        print("staggered (long table) against fit_callaway_py (arrays), no bands:")
        labelled_cost(args.rounds)
        return
    if args.large_only:
        print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
        large(5)
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
        large(5)


if __name__ == "__main__":
    main()
