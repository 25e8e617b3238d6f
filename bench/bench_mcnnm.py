"""Matrix completion (MC-NNM): time per fit_mcnnm fit as the panel grows from
50 x 40 to 1000 x 200, with the exact SVD and with the randomized rank cap
`max_rank`; growth exponents in the number of cells.

Every SoftImpute iteration thresholds the whole N x T panel, and a fit runs
fifteen warm-started SoftImpute fits (ten for the hold-out penalty, five for
the final path), so without a cap the exact SVD dominates: Householder
bidiagonalisation and the bidiagonal QR cost about 4 N T min(N, T) flops
each, against that per sweep (and some ten sweeps) for the one-sided Jacobi
SVD it replaced. The exact fit at 500 x 150 takes about half the 1.7 s it
took here before the Householder reflectors were applied in blocks.

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
    CPU time is its cost even on a busy machine, where wall time is not; the
    calling thread's, not the process's, which would also count NumPy's BLAS
    threads spinning on after building the panel. One call for slow fits,
    the median of up to five for fast ones."""
    times: list[float] = []
    while len(times) < 5 and sum(times) < 1.0:
        start = time.thread_time()
        fn()
        times.append(time.thread_time() - start)
    return float(np.median(times))


def fit(n: int, t: int, **kw: object):
    y, t0 = factor_panel(n, t), 3 * t // 4
    treated = list(range(max(1, n // 10)))  # a tenth of the units, last quarter missing
    return lambda: quintara.fit_mcnnm(y, treated, t0, **kw)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="panels up to 200 x 100 only")
    args = ap.parse_args()
    sizes = SIZES[:3] if args.quick else SIZES

    print(f"quintara {quintara.version()}; fit_mcnnm on factor panels, t0 = 3T/4, N/10 treated")
    print(f"  {'N x T':>10}  {'cells':>7}  {'exact SVD':>11}  {f'max_rank={MAX_RANK}':>11}  ratio")
    cells: list[int] = []
    exact: list[float] = []
    capped: list[float] = []
    for n, t in sizes:
        cells.append(n * t)
        exact.append(seconds(fit(n, t)))
        capped.append(seconds(fit(n, t, max_rank=MAX_RANK)))
        print(
            f"  {f'{n} x {t}':>10}  {n * t:7d}  {fmt_seconds(exact[-1]):>11}  "
            f"{fmt_seconds(capped[-1]):>11}  x{exact[-1] / capped[-1]:.1f}"
        )
    print(
        f"  growth exponent in cells: exact {growth_exponent(cells, exact):.2f}, "
        f"max_rank {growth_exponent(cells, capped):.2f}"
    )


if __name__ == "__main__":
    main()
