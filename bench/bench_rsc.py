"""Robust synthetic control: time per fit as the panel grows, with and without
the placebo test, and the placebo speed-up of all threads over one.

Each fit is one Jacobi SVD of the stacked T x J donor matrix, O(T J^2) per
sweep while J <= T, so the exponent in J sits near 2 there and the one in T
near 1; once J exceeds T the SVD rotates the transpose and grows linearly in J.

Run: python bench/bench_rsc.py [--quick]
"""

from __future__ import annotations

import argparse
import textwrap
from pathlib import Path

import quintara
from common import factor_panel, fmt_seconds, growth_exponent, logical_cpus, run_with_threads, \
    time_call


def sweep(label: str, sizes: list[int], make, fit) -> None:
    secs = []
    for s in sizes:
        y, t0 = make(s)
        secs.append(time_call(lambda: fit(y, t0)))
        print(f"  {label}={s:5d}  {fmt_seconds(secs[-1])}")
    print(f"  growth exponent in {label}: {growth_exponent(sizes, secs):.2f}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    args = ap.parse_args()
    donors = [10, 20, 50, 100] if args.quick else [10, 20, 50, 100, 200, 400]
    periods = [52, 104, 208] if args.quick else [52, 104, 208, 520, 1040]
    placebo_donors = [10, 20, 50] if args.quick else [10, 20, 50, 100]

    print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
    print("fit_rsc, no placebo, T = 104 (t0 = 78), growing donors J:")
    sweep("J", donors, lambda j: (factor_panel(j + 1, 104), 78),
          lambda y, t0: quintara.fit_rsc(y, [0], t0))
    print("fit_rsc, no placebo, J = 50, growing periods T (t0 = 3T/4):")
    sweep("T", periods, lambda t: (factor_panel(51, t), 3 * t // 4),
          lambda y, t0: quintara.fit_rsc(y, [0], t0))
    print("fit_rsc with placebo (J + 1 fits), T = 104, growing donors J:")
    sweep("J", placebo_donors, lambda j: (factor_panel(j + 1, 104), 78),
          lambda y, t0: quintara.fit_rsc(y, [0], t0, placebo=True))

    j = placebo_donors[-1]
    code = textwrap.dedent(f"""
        import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})
        import quintara
        from common import factor_panel, time_call
        y = factor_panel({j + 1}, 104)
        print(time_call(lambda: quintara.fit_rsc(y, [0], 78, placebo=True), min_time=1.0))
    """)
    one = run_with_threads(1, code)
    every = run_with_threads(logical_cpus(), code)
    print(f"placebo J={j}, T=104: 1 thread {fmt_seconds(one)}, {logical_cpus()} threads "
          f"{fmt_seconds(every)}, speed-up x{one / every:.2f}")


if __name__ == "__main__":
    main()
