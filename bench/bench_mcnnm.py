"""Matrix completion (MC-NNM): time per fit_mcnnm fit as the panel grows from
50 x 40 to 1000 x 200, with the exact SVD and with the randomized rank cap
`max_rank`; growth exponents in the number of cells.

Every SoftImpute iteration thresholds the whole N x T panel, and a fit runs
fifteen warm-started SoftImpute fits (ten for the hold-out penalty, five for
the final path), so the exact one-sided Jacobi SVD dominates: its cost grows
like N * T * min(N, T) per sweep. The exact sweep therefore stops at a smaller
panel than the capped one (one exact fit at 1000 x 200 takes minutes); its
time there is extrapolated from the exponent.

Times are CPU seconds of the calling thread (see `seconds`).

Run: python bench/bench_mcnnm.py [--quick]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quintara
from common import factor_panel, fmt_seconds, growth_exponent

SIZES = [(50, 40), (100, 60), (200, 100), (500, 150), (1000, 200)]
MAX_RANK = 5  # the panels carry three common factors


def seconds(fn) -> float:
    """CPU seconds per call. The fit runs on the calling thread alone, so its
    CPU time is its cost even on a busy machine, where wall time is not. One
    call for slow fits, the median of up to five for fast ones."""
    times: list[float] = []
    while len(times) < 5 and sum(times) < 1.0:
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return float(np.median(times))


def fit(n: int, t: int, **kw: object):
    y, t0 = factor_panel(n, t), 3 * t // 4
    treated = list(range(max(1, n // 10)))  # a tenth of the units, last quarter missing
    return lambda: quintara.fit_mcnnm(y, treated, t0, **kw)


def sweep(label: str, sizes: list[tuple[int, int]], **kw: object) -> tuple[list[int], list[float]]:
    print(f"{label}:")
    cells, secs = [], []
    for n, t in sizes:
        secs.append(seconds(fit(n, t, **kw)))
        cells.append(n * t)
        print(f"  {n:5d} x {t:3d}  ({n * t:7d} cells)  {fmt_seconds(secs[-1])}")
    print(f"  growth exponent in cells: {growth_exponent(cells, secs):.2f}")
    return cells, secs


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    args = ap.parse_args()
    capped_sizes = SIZES[:4] if args.quick else SIZES
    exact_sizes = SIZES[:2] if args.quick else SIZES[:3]

    print(f"quintara {quintara.version()}; fit_mcnnm on factor panels, t0 = 3T/4, N/10 treated")
    cells, capped = sweep(f"max_rank={MAX_RANK} (randomized truncated SVD)", capped_sizes)
    exact_cells, exact = sweep("exact SVD (max_rank=None)", exact_sizes)
    k = growth_exponent(exact_cells, exact)
    print(
        "exact / capped at the common sizes: "
        + ", ".join(
            f"{n}x{t} x{e / c:.1f}"
            for (n, t), e, c in zip(exact_sizes, exact, capped, strict=False)
        )
    )
    n, t = capped_sizes[-1]
    guess = exact[-1] * (n * t / exact_cells[-1]) ** k
    print(
        f"exact SVD at {n}x{t}, extrapolated with exponent {k:.2f}: ~{fmt_seconds(guess).strip()}"
        f" (capped: {fmt_seconds(capped[-1]).strip()})"
    )


if __name__ == "__main__":
    main()
