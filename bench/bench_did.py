"""Difference-in-differences estimators: time per fit on generated staggered
panels as units, periods and cohorts grow together, with the growth exponent
in the number of panel cells N*T.

Sun-Abraham solves its saturated regression (P = cohorts * (T - 1) cells)
through the block structure of the design, without forming it: about
N*T^2 + cohorts*P^2 + P^3, so it runs on the whole grid.

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


def bench_sunab(grid: list[tuple[int, int, int]]) -> None:
    print("fit_sunab_py:")
    sweep("Sun-Abraham", grid, quintara.fit_sunab_py)


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
    bench_sunab(grid)
    bench_bacon(grid)


if __name__ == "__main__":
    main()
