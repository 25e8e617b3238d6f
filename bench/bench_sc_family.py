"""Synthetic-control family: time per fit of fit_sc, fit_fp, fit_asc,
fit_sdid and fit_rsc as donors and periods grow, with growth exponents; one
table comparing every SC-family fit on the same panel, with and without its
placebo test; and each placebo test's speed-up of all threads over one.

Run: python bench/bench_sc_family.py [--quick]
"""

from __future__ import annotations

import argparse

import quintara
from common import (
    factor_panel,
    fmt_seconds,
    growth_exponent,
    logical_cpus,
    thread_speedup,
    time_call,
)

# Entry name -> keyword arguments that switch on its in-space placebo test.
# Fits missing from the installed package are skipped.
PLACEBO_KW = {
    "fit_sc": {"placebo": True},
    "fit_fp": {"placebo": True},
    "fit_asc": {"placebo": True},
    "fit_rsc": {"placebo": True},
    "fit_sdid": {"inference": "placebo"},
}
GROWTH = ["fit_sc", "fit_fp", "fit_asc", "fit_sdid", "fit_rsc"]


def sweep(label: str, sizes: list[int], make) -> None:
    """One line per size with the time of every fit in GROWTH, then exponents."""
    print(f"  {label:>5}  " + "  ".join(f"{name:>11}" for name in GROWTH))
    secs: dict[str, list[float]] = {name: [] for name in GROWTH}
    for s in sizes:
        y, t0 = make(s)
        for name in GROWTH:
            fit = getattr(quintara, name)
            secs[name].append(time_call(lambda: fit(y, [0], t0), min_time=0.1, max_reps=20))
        print(f"  {s:5d}  " + "  ".join(fmt_seconds(secs[n][-1]).rjust(11) for n in GROWTH))
    print(f"  {'exp':>5}  " + "  ".join(f"{growth_exponent(sizes, secs[n]):11.2f}" for n in GROWTH))


def compare(n_donors: int, n_periods: int) -> None:
    y = factor_panel(n_donors + 2, n_periods, seed=1)
    t0 = 3 * n_periods // 4
    y[:2, t0:] += 1.0  # two treated units, true effect 1
    print(
        f"all SC-family fits, J = {n_donors}, T = {n_periods}, t0 = {t0}, two treated units, "
        "effect 1:"
    )
    print(
        f"  {'method':<9} {'fit':>11} {'with placebo':>13} {'ratio':>6} {'att':>8} "
        f"{'pre_rmspe':>9} {'p':>6}"
    )
    for name, kw in PLACEBO_KW.items():
        fit = getattr(quintara, name, None)
        if fit is None:
            continue
        plain = time_call(lambda: fit(y, [0, 1], t0))
        with_placebo = time_call(lambda: fit(y, [0, 1], t0, **kw), max_reps=10)
        r = fit(y, [0, 1], t0, **kw)
        print(
            f"  {name:<9} {fmt_seconds(plain):>11} {fmt_seconds(with_placebo):>13} "
            f"{with_placebo / plain:6.0f} {r.att:8.4f} {r.pre_rmspe:9.4f} {r.p_value:6.3f}"
        )
    jk = time_call(lambda: quintara.fit_sdid(y, [0, 1], t0, inference="jackknife"))
    r = quintara.fit_sdid(y, [0, 1], t0, inference="jackknife")
    print(f"  sdid jackknife (N_tr + J effects, no refit): {fmt_seconds(jk)}, se {r.se:.4f}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller grids")
    args = ap.parse_args()
    donors = [20, 50, 100, 200] if args.quick else [20, 50, 100, 200, 500, 1000]
    periods = [52, 104, 208] if args.quick else [52, 104, 208, 520]

    print(f"quintara {quintara.version()} on {logical_cpus()} logical CPUs")
    print("no placebo, T = 104 (t0 = 78), growing donors J:")
    sweep("J", donors, lambda j: (factor_panel(j + 1, 104), 78))
    print("no placebo, J = 50, growing periods T (t0 = 3T/4):")
    sweep("T", periods, lambda t: (factor_panel(51, t), 3 * t // 4))
    j = 50 if args.quick else 100
    compare(j, 104)
    print(f"placebo speed-up, J = {j}, T = 104:")
    for name, kw in PLACEBO_KW.items():
        thread_speedup(
            f"  {name:<9}",
            f"y = factor_panel({j + 1}, 104)",
            f"quintara.{name}(y, [0], 78, **{kw!r})",
        )


if __name__ == "__main__":
    main()
