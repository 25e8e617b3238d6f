"""Synthetic control: time per fit as the panel grows, with and without the
placebo test, and the placebo speed-up of all threads over one.

Run: python bench/bench_sc.py [--quick]
"""

from __future__ import annotations

import argparse

import quintara
from common import factor_panel, logical_cpus, sweep, thread_speedup


def fit(j: int, t: int, **kw: object):
    y, t0 = factor_panel(j + 1, t), 3 * t // 4
    return lambda: quintara.fit_sc(y, [0], t0, **kw)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    args = ap.parse_args()
    donors = [20, 50, 100, 200, 500] if args.quick else [20, 50, 100, 200, 500, 1000]
    periods = [52, 104, 208] if args.quick else [52, 104, 208, 520]
    placebo_donors = [20, 50, 100] if args.quick else [20, 50, 100, 200]

    print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
    print("fit_sc, no placebo, T = 104 (t0 = 78), growing donors J:")
    sweep("J", donors, lambda j: fit(j, 104))
    print("fit_sc, no placebo, J = 50, growing periods T (t0 = 3T/4):")
    sweep("T", periods, lambda t: fit(50, t))
    print("fit_sc with placebo (J + 1 fits), T = 104, growing donors J:")
    sweep("J", placebo_donors, lambda j: fit(j, 104, placebo=True))
    j = placebo_donors[-1]
    thread_speedup(
        f"placebo J={j}, T=104",
        f"y = factor_panel({j + 1}, 104)",
        "quintara.fit_sc(y, [0], 78, placebo=True)",
    )


if __name__ == "__main__":
    main()
