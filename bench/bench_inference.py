"""Cost of inference on top of one fit, on a 200 x 120 panel.

For `fit_sc` with the placebo test and `fit_sdid` with the jackknife or the
placebo test, prints the time per call and its ratio to the same fit without
inference. The jackknife holds both weight vectors of the real fit fixed, so
its ratio shows whether the real fit is computed once (about 1.0) or again.

    python bench/bench_inference.py
"""

from __future__ import annotations

import argparse

import quintara
from common import factor_panel, time_call


def main() -> None:
    y = factor_panel(200, 120, seed=0)
    y[:2, 100:] += 1.0
    rows = [
        (
            "fit_sc",
            lambda: quintara.fit_sc(y, [0], 100),
            "placebo",
            lambda: quintara.fit_sc(y, [0], 100, placebo=True),
        ),
        (
            "fit_sdid",
            lambda: quintara.fit_sdid(y, [0, 1], 100),
            "jackknife",
            lambda: quintara.fit_sdid(y, [0, 1], 100, inference="jackknife"),
        ),
        (
            "fit_sdid",
            lambda: quintara.fit_sdid(y, [0], 100),
            "placebo",
            lambda: quintara.fit_sdid(y, [0], 100, inference="placebo"),
        ),
    ]
    print(f"{'fit':<10}{'alone':>12}{'inference':>12}{'with it':>12}{'ratio':>8}")
    for name, fit, label, with_inference in rows:
        alone = time_call(fit, min_time=1.0)
        both = time_call(with_inference, min_time=1.0, max_reps=10)
        print(
            f"{name:<10}{alone * 1e3:>10.1f}ms{label:>12}{both * 1e3:>10.1f}ms{both / alone:>8.2f}"
        )


if __name__ == "__main__":
    argparse.ArgumentParser(description=__doc__.split("\n\n")[0]).parse_args()
    main()
