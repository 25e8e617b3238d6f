"""Placebo tests on a large donor pool: what `n_placebo` bounds, and the warning.

A one-donor placebo test refits the estimator once per donor; on 5,000
markets that is 4,999 refits of a 4,999-donor fit. Through the labelled
`quintara.synth` the single-donor test runs on at most `n_placebo` donors
(a seeded draw; the compiled `placebo_size="sampled"`), like the matched test
by default, so the work is n_placebo refits whatever the pool. This script
times one SDID refit on a 5,000 x 30 panel, then prints the refits and the
projected time of the full and the capped test at the default 1000, and
shows the one-line warning a long run prints on stderr.

Run: python bench/bench_placebo_scale.py [--units 5000] [--sample 20]
"""

from __future__ import annotations

import argparse
import time

import pandas as pd

import quintara
from common import factor_panel, fmt_seconds


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--units", type=int, default=5000)
    ap.add_argument("--periods", type=int, default=30)
    ap.add_argument("--sample", type=int, default=20, help="refits timed")
    args = ap.parse_args()
    y = factor_panel(args.units, args.periods, seed=0)
    y[0, 20:] += 0.5
    panel = quintara.Panel.from_wide(pd.DataFrame(y, index=[f"m{i}" for i in range(args.units)]))
    t = time.perf_counter()
    r = quintara.synth(
        panel,
        treated="m0",
        start=20,
        method="sdid",
        inference="placebo",
        placebo_size="single",
        n_placebo=args.sample,
    )
    per = (time.perf_counter() - t) / (args.sample + 1)
    donors = args.units - 1
    print(
        f"{args.units} x {args.periods}, sdid: {fmt_seconds(per)} per refit "
        f"({args.sample} refits timed); {r.raw.inference_method}"
    )
    for name, n in (("every donor", donors), ("n_placebo=1000 (the default)", min(1000, donors))):
        print(f"  {name}: {n:,} refits, about {fmt_seconds(n * per)}")


if __name__ == "__main__":
    main()
