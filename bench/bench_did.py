"""Difference-in-differences estimators: time per fit on generated staggered
panels as units, periods and cohorts grow together, with the growth exponent
in the number of panel cells N*T.

Sun-Abraham regresses on a dense (N*T) x P design, P = cohorts * (T - 1), so
its QR costs about N*T*P^2: its grid stops earlier than the others' so the
default run stays within about three minutes.

Run: python bench/bench_did.py [--quick]
"""

from __future__ import annotations

import argparse
from collections.abc import Callable

import numpy as np

import quintara
from common import fmt_seconds, growth_exponent, logical_cpus, staggered_panel, time_call

# (units, periods, cohorts), growing together.
GRID = [(100, 10, 3), (300, 15, 4), (1000, 20, 5), (3000, 30, 6), (10000, 40, 8), (20000, 40, 8)]
QUICK = GRID[:4]
SUNAB_CAP = 3000 * 30  # largest N*T Sun-Abraham runs on (P = 174 there)
SUNAB_CAP_QUICK = 1000 * 20


def sweep(
    name: str, grid: list[tuple[int, int, int]], fit: Callable[[np.ndarray, list[int]], object]
) -> None:
    cells, secs = [], []
    for n, t, g in grid:
        y, cohorts = staggered_panel(n, t, g)
        secs.append(time_call(lambda: fit(y, cohorts), min_time=0.2, max_reps=20))
        cells.append(n * t)
        print(f"  N={n:6d} T={t:3d} cohorts={g}  {fmt_seconds(secs[-1])}")
    print(f"  {name}: growth exponent in N*T: {growth_exponent(cells, secs):.2f}")


def bench_twfe(grid: list[tuple[int, int, int]]) -> None:
    print("fit_twfe_py:")
    sweep("TWFE", grid, quintara.fit_twfe_py)


def bench_sunab(grid: list[tuple[int, int, int]], cap: int) -> None:
    kept = [(n, t, g) for n, t, g in grid if n * t <= cap]
    print(f"fit_sunab_py (dense design; capped at N*T <= {cap}):")
    sweep("Sun-Abraham", kept, quintara.fit_sunab_py)


def bench_bacon(grid: list[tuple[int, int, int]]) -> None:
    print("bacon_decompose_py:")
    sweep("Goodman-Bacon", grid, quintara.bacon_decompose_py)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    args = ap.parse_args()
    grid = QUICK if args.quick else GRID
    print(
        f"quintara {quintara.version()} on {logical_cpus()} logical CPUs "
        "(these entries run on the calling thread)"
    )
    bench_twfe(grid)
    bench_sunab(grid, SUNAB_CAP_QUICK if args.quick else SUNAB_CAP)
    bench_bacon(grid)


if __name__ == "__main__":
    main()
