"""Market selection cost: `geo_select` on generated weekly market panels.

The main case is a 50-market x 104-week panel (a yearly cycle, a 4-week
cycle and market-level noise) searched with method "sdid", 200 candidates,
a 26-window lookback, 4-week tests, up to 5 treated markets and every market
eligible. Each candidate costs 5 power-curve passes over the windows (one
null pass and four lifts), so fits = candidates x 5 x windows. It prints the
time per call, candidates and fits per second, with one worker and with two.

The main case is long (tens of thousands of SDID fits per call), so the
growth grids are kept small to finish in a few minutes: 5 eligible markets,
5 candidates (the 5 single additions) and a 6-window lookback, i.e. a fixed
150 fits per call, so the time tracks the cost of one fit as markets (25 to
200 at 104 weeks) and weeks (52 to 208 at 50 markets) grow.

    python bench/bench_select.py            # --growth-only skips the main case
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

import quintara
from common import fmt_seconds, growth_exponent, run_with_threads

TEST_LEN, LIFTS_PER_CANDIDATE = 4, 5
MAIN_LOOKBACK, GROWTH_LOOKBACK = 26, 6


def market_panel(n_markets: int, n_weeks: int, seed: int = 0) -> np.ndarray:
    """Markets x weeks: own levels, a yearly and a 4-week cycle with market
    amplitudes, and noise whose scale differs by market."""
    rng = np.random.default_rng(seed)
    w = np.arange(n_weeks)
    level = rng.uniform(50, 500, (n_markets, 1))
    season = rng.uniform(0.05, 0.2, (n_markets, 1)) * np.sin(2 * np.pi * w / 52) + rng.uniform(
        0.0, 0.05, (n_markets, 1)
    ) * np.cos(2 * np.pi * w / 4)
    noise = rng.uniform(0.01, 0.05, (n_markets, 1)) * rng.standard_normal((n_markets, n_weeks))
    return level * (1.0 + season + noise)


def select(y: np.ndarray, eligible: list[int], n_candidates: int, lookback: int) -> list:
    return quintara.geo_select(
        y, eligible, 5, TEST_LEN, 0.05, method="sdid", n_candidates=n_candidates, lookback=lookback
    )


_CHILD = """
import sys, time
sys.path.insert(0, {here!r})
from bench_select import market_panel, select, MAIN_LOOKBACK
y = market_panel(50, 104)
select(y, [0], 1, 1)  # starts the pool; one call of the main case is minutes long
t0 = time.perf_counter()
select(y, list(range(50)), 200, MAIN_LOOKBACK)
print(time.perf_counter() - t0)
"""


def main_case() -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    n = 200  # 50 single additions, then random sets up to n_candidates
    fits = n * LIFTS_PER_CANDIDATE * MAIN_LOOKBACK
    print(f"50 markets x 104 weeks, sdid, {n} candidates, {fits} fits per call")
    times = {}
    for threads in (1, 2):
        s = run_with_threads(threads, _CHILD.format(here=here))
        times[threads] = s
        print(
            f"  {threads} thread(s): {fmt_seconds(s)} per call, {n / s:7.1f} candidates/s, "
            f"{fits / s:8.0f} fits/s"
        )
    print(f"  speed-up of 2 threads over 1: x{times[1] / times[2]:.2f}")


def growth() -> None:
    print("growth (5 eligible markets, 5 candidates, lookback 6: 150 fits per call)")
    for label, grid, shape in (
        ("markets", [25, 50, 100, 200], lambda n: (n, 104)),
        ("weeks", [52, 104, 208], lambda t: (50, t)),
    ):
        secs = []
        for size in grid:
            y = market_panel(*shape(size))
            t0 = time.perf_counter()
            n = len(select(y, list(range(5)), 5, GROWTH_LOOKBACK))
            s = time.perf_counter() - t0
            secs.append(s)
            fits = n * LIFTS_PER_CANDIDATE * GROWTH_LOOKBACK
            print(f"  {label}={size:4d}  {fmt_seconds(s)}  {fits / s:8.0f} fits/s")
        print(f"  growth exponent in {label}: {growth_exponent(grid, secs):.2f}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument(
        "--growth-only", action="store_true", help="skip the main case, run the growth grids alone"
    )
    args = ap.parse_args()
    if not args.growth_only:
        main_case()
    growth()


if __name__ == "__main__":
    main()
