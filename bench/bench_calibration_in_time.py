"""Calibration of the geo design's detection test, and whether power and analysis agree.

Monte Carlo on geo-like panels (markets with their own levels, a shared weekly
cycle and a random-walk trend with market loadings, AR(1) market noise; the
treated markets drawn like the rest, so nothing distinguishes them). Each cell,
for a method and a size alpha, reports:

- size: the share of panels whose `geo_test` (the in-time test on the
  finished experiment, no effect) has p_value <= alpha;
- coverage: the share whose 1 - alpha interval holds the true effect 0;
- predicted power at a lift: the mean over panels of `geo_power` run on the
  pre-period alone (the design, done before the test);
- realised power: the share of panels that `geo_test` rejects once the lift
  is injected into the treated markets' test periods.

A design's power is honest when the realised power matches the predicted one;
the Monte Carlo standard error of a share p over R panels is sqrt(p(1-p)/R).

What to expect of the rule itself: with W exchangeable windows, a new window
exceeds their interpolated 1 - alpha quantile (position h = (1 - alpha)(W - 1)
of the sorted |ATT|) with probability about (W - h) / (W + 1): 0.115 at
alpha = 0.1 and 0.067 at alpha = 0.05 with the 52 windows here. The design
evaluates its power on the same windows that set the critical value, so it
is optimistic by about as much; both shrink as the windows grow in number.

A second table reads the small levels and the one-sided tests off the same
panels (no effect; `p_value` does not depend on `alpha`, so one fit per panel
and alternative serves every level):

- p=0: the share of panels whose two-sided p_value is exactly 0, the test
  window's |ATT| beyond every window's;
- 0.01, 0.02: the two-sided size at those levels;
- greater 0.1, 0.05 and less 0.1, 0.05: the size of the one-sided tests
  (`alternative="greater"`, `"less"`).

Beside them, for reference, two rows computed from W, the number of windows:

- rank: the size of the exact rank test, whose p-value is (1 + the number of
  windows at or above the test window's statistic) / (W + 1): under
  exchangeability it rejects with probability floor(alpha (W + 1)) / (W + 1)
  <= alpha (the attainable level, 1 - ceil((1 - alpha)(W + 1)) / (W + 1)),
  which is 0 when alpha < 1 / (W + 1), and its p-value is never 0. With 52
  windows: 0.094 at 0.1, 0.038 at 0.05, 0.019 at 0.02 and 0 at 0.01.
- rule: (W - h) / (W + 1), the rule's size as above (exact for independent
  uniform statistics, close otherwise), with h = W - 1 for p=0, giving
  1 / (W + 1). With 52 windows: 0.019 for p=0, 0.028 at 0.01 and 0.038 at
  0.02. No alpha takes the rule below its p=0 share, 1 / (W + 1).

A share clearly above the rule row (by more than its Monte Carlo error) means
the test window is not exchangeable with the historical ones.

    python bench/bench_calibration_in_time.py            # 500 panels a cell
    python bench/bench_calibration_in_time.py --quick    # 100 panels a cell
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

import quintara

N_MARKETS, N_WEEKS, TEST_LEN, LOOKBACK = 40, 104, 8, 52
TREATED = [0, 1]
LIFT = 0.02
ALTERNATIVES = ("two-sided", "greater", "less")
# (alternative, alpha) of the second table's size columns, after its p=0 column
SMALL_CELLS = (
    ("two-sided", 0.01),
    ("two-sided", 0.02),
    ("greater", 0.1),
    ("greater", 0.05),
    ("less", 0.1),
    ("less", 0.05),
)


def panel(rng: np.random.Generator) -> np.ndarray:
    weeks = np.arange(N_WEEKS)
    level = rng.uniform(50.0, 150.0, (N_MARKETS, 1))
    cycle = rng.uniform(0.02, 0.06, (N_MARKETS, 1)) * np.sin(2 * np.pi * weeks / 52.0)
    trend = 0.01 * rng.normal(size=N_WEEKS).cumsum() * rng.uniform(0.5, 1.5, (N_MARKETS, 1))
    noise = np.zeros((N_MARKETS, N_WEEKS))
    shocks = 0.02 * rng.normal(size=(N_MARKETS, N_WEEKS))
    for t in range(N_WEEKS):
        noise[:, t] = (0.5 * noise[:, t - 1] if t else 0.0) + shocks[:, t]
    return level * (1.0 + cycle + trend + noise)


def cell(method: str, alpha: float, reps: int) -> tuple[float, float, float, float]:
    rng = np.random.default_rng(7)  # the same panels for every method and size
    t0 = N_WEEKS - TEST_LEN
    opts = {"method": method, "alpha": alpha, "lookback": LOOKBACK}
    rejected = covered = realised = 0
    predicted = 0.0
    for _ in range(reps):
        y = panel(rng)
        r = quintara.geo_test(y, TREATED, t0, **opts)
        rejected += r.p_value <= alpha
        covered += r.test_ci_lower <= 0.0 <= r.test_ci_upper
        design = quintara.geo_power(y[:, :t0], TREATED, TEST_LEN, [LIFT], **opts)
        predicted += design.power[0]
        lifted = y.copy()
        lifted[TREATED, t0:] *= 1.0 + LIFT
        realised += quintara.geo_test(lifted, TREATED, t0, **opts).p_value <= alpha
    return rejected / reps, covered / reps, predicted / reps, realised / reps


def p_values(method: str, reps: int) -> tuple[dict[str, np.ndarray], int]:
    """Null p-values per alternative on the panels of `cell`, and the window count."""
    rng = np.random.default_rng(7)  # the panels of `cell`, so both tables describe the same draws
    t0 = N_WEEKS - TEST_LEN
    out: dict[str, list[float]] = {alt: [] for alt in ALTERNATIVES}
    windows = 0
    for _ in range(reps):
        y = panel(rng)
        for alt in ALTERNATIVES:
            r = quintara.geo_test(y, TREATED, t0, method=method, lookback=LOOKBACK, alternative=alt)
            out[alt].append(r.p_value)
            windows = len(r.inference_distribution)
    return {alt: np.asarray(p) for alt, p in out.items()}, windows


def rank_size(alpha: float, windows: int) -> float:
    """Size of the exact rank test with `windows` exchangeable windows (0 at alpha = 0)."""
    n = windows + 1
    # round first so that an alpha(W + 1) landing on an integer is not pushed past it
    k = n - math.ceil(round((1.0 - alpha) * n, 9))
    return max(k, 0) / n


def rule_size(alpha: float, windows: int) -> float:
    """About the size of the interpolated-quantile rule; alpha = 0 gives P(p = 0)."""
    h = (1.0 - alpha) * (windows - 1)
    return (windows - h) / (windows + 1)


def small_levels(methods: list[str], reps: int) -> None:
    """Second table: p=0 share, small two-sided levels and the one-sided sizes."""
    print()
    print(f"no effect, {reps} panels a cell; size = share of p_value <= alpha")
    print(f"{'':<6} {'--- two-sided ---':>20} {'-- greater --':>13} {'--- less ---':>13}")
    print(
        f"{'method':<6} {'p=0':>6} {'0.01':>6} {'0.02':>6} {'0.1':>6} {'0.05':>6}"
        f" {'0.1':>6} {'0.05':>6} {'seconds':>8}"
    )
    windows = 0
    for method in methods:
        start = time.perf_counter()
        p, windows = p_values(method, reps)
        shares = [np.mean(p["two-sided"] == 0.0)]
        shares += [np.mean(p[alt] <= alpha) for alt, alpha in SMALL_CELLS]
        row = " ".join(f"{v:>6.3f}" for v in shares)
        print(f"{method:<6} {row} {time.perf_counter() - start:>8.1f}", flush=True)
    if not windows:
        return
    for name, size in (("rank", rank_size), ("rule", rule_size)):
        refs = [size(0.0, windows)] + [size(alpha, windows) for _, alpha in SMALL_CELLS]
        print(f"{name:<6} " + " ".join(f"{v:>6.3f}" for v in refs))
    print(
        f"rank, rule: exact rank test and interpolated rule with W = {windows} exchangeable"
        f" windows; MC s.e. at 0.02 is {math.sqrt(0.02 * 0.98 / reps):.3f}"
    )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100 panels a cell")
    ap.add_argument("--reps", type=int, help="panels a cell (default 500)")
    ap.add_argument("--methods", nargs="+", default=["sc", "fp", "asc", "sdid", "rsc"])
    args = ap.parse_args()
    reps = args.reps or (100 if args.quick else 500)
    print(
        f"{N_MARKETS} markets x {N_WEEKS} weeks, {len(TREATED)} treated, test {TEST_LEN} weeks,"
        f" lookback {LOOKBACK}; {reps} panels a cell; lift {LIFT:.0%} for power"
    )
    print(
        f"{'method':<6} {'alpha':>5} {'size':>6} {'cover':>6} {'predicted power':>16}"
        f" {'realised power':>15} {'seconds':>8}"
    )
    for method in args.methods:
        for alpha in (0.1, 0.05):
            start = time.perf_counter()
            size, cover, predicted, realised = cell(method, alpha, reps)
            print(
                f"{method:<6} {alpha:>5} {size:>6.3f} {cover:>6.3f} {predicted:>16.3f}"
                f" {realised:>15.3f} {time.perf_counter() - start:>8.1f}",
                flush=True,
            )
    small_levels(args.methods, reps)


if __name__ == "__main__":
    main()
