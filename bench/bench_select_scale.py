"""Market selection at national scale: 210 markets x 104 weeks.

The design: every market eligible, treated sets of 1 to 5 markets, 4-week
tests, a 5% target lift, a 26-window lookback, the sized search, through
`quintara.select_markets` (the labelled verb, whose solver shares every
window's Gram matrix between candidates). The same sets are then scored by
the compiled entry's default refit solver, on the first `--refit` of them,
for the ratio and to check that both give the same scores.

    python bench/bench_select_scale.py                  # 2000 candidates, sdid
    python bench/bench_select_scale.py --candidates 100000 --method sc

It prints seconds per call, candidates per second, the time 100,000
candidates would take at that rate, and the largest score difference.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import quintara
from bench_select import market_panel
from quintara import _quintara

N_MARKETS, N_WEEKS, TEST_LEN, LIFT, LOOKBACK, MAX_TREATED = 210, 104, 4, 0.05, 26, 5


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--candidates", type=int, default=2000)
    parser.add_argument("--refit", type=int, default=100, help="sets scored by the refit too")
    parser.add_argument("--method", default="sdid", choices=["sdid", "sc"])
    a = parser.parse_args()

    y = market_panel(N_MARKETS, N_WEEKS)
    panel = quintara.Panel(y, [f"m{i:03d}" for i in range(N_MARKETS)], list(range(N_WEEKS)))
    design = {"method": a.method, "lookback": LOOKBACK, "search": "sized"}
    print(
        f"{N_MARKETS} markets x {N_WEEKS} weeks, {a.method}, 1..{MAX_TREATED} treated, "
        f"lookback {LOOKBACK}, {a.candidates} candidates"
    )

    t0 = time.perf_counter()
    sel = quintara.select_markets(
        panel,
        max_treated=MAX_TREATED,
        test_len=TEST_LEN,
        target_lift=LIFT,
        n_candidates=a.candidates,
        progress=False,
        **design,
    )
    shared = time.perf_counter() - t0
    n = len(sel.raw)
    print(
        f"  select_markets (shared): {shared:8.2f} s  {n / shared:8.1f} candidates/s  "
        f"100,000 in ~{100_000 / (n / shared):6.0f} s"
    )

    sets = [list(c.treated) for c in sel.raw[: a.refit]]
    t0 = time.perf_counter()
    refit = _quintara._evaluate_candidates(  # type: ignore[attr-defined]
        y, sets, list(range(N_MARKETS)), MAX_TREATED, TEST_LEN, LIFT, solver="refit", **design
    )
    slow = time.perf_counter() - t0
    print(
        f"  geo_select refit, {len(sets)} of the sets: {slow:8.2f} s  "
        f"{len(sets) / slow:8.1f} candidates/s"
    )
    print(f"  speed-up of the shared solver: x{(n / shared) / (len(sets) / slow):.1f}")
    diff = np.max(
        np.abs(np.array([c.score for c in refit]) - np.array([c.score for c in sel.raw[: a.refit]]))
    )
    same_power = all(
        r.power_at_target == s.power_at_target
        for r, s in zip(refit, sel.raw[: a.refit], strict=True)
    )
    print(f"  largest score difference {diff:.1e}; powers identical: {same_power}")


if __name__ == "__main__":
    main()
