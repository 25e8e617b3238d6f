"""`python -m quintara`: synthetic control of California's Proposition 99.

Fits classic synthetic control on the bundled 39-state cigarette-sales panel
(Abadie, Diamond & Hainmueller 2010) and ranks the effect among in-space
placebos.
"""

from __future__ import annotations

import time

import quintara
from quintara.datasets import load_prop99


def main() -> None:
    data = load_prop99()
    start = time.perf_counter()
    res = quintara.fit_sc(data.y, data.treated, data.treat_time, placebo=True)
    elapsed = time.perf_counter() - start

    print(f"quintara {quintara.__version__}: Proposition 99, synthetic control with placebo test")
    print(
        f"  panel: {data.y.shape[0]} states x {data.y.shape[1]} years, treated from "
        f"{data.years[data.treat_time]}"
    )
    print(f"  {res!r}")
    print(
        f"  ATT: {res.att:.2f} packs per capita per year "
        f"(placebo p = {res.p_value:.3f}, {len(res.inference_distribution)} placebos)"
    )
    top = sorted(zip(res.weights, res.donor_ids, strict=True), reverse=True)[:5]
    print(
        "  largest donor weights: "
        + ", ".join(f"{data.states[i]} {w:.3f}" for w, i in top if w > 0.0005)
    )
    print(f"  fitted in {elapsed * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
