"""Digest of every entry's outputs on a fixed set of inputs.

A refactor that must not change any result runs this before and after and
compares the two listings line by line:

    python scripts/output_digest.py > before.txt
    ... change, rebuild, reinstall ...
    python scripts/output_digest.py | diff before.txt -

Each line is one call: a label and the SHA-256 of the exact bytes of every
output field (floats hashed as IEEE-754 bits, so -0.0 and 0.0 differ).

A change that adds result fields, and must leave every existing one as it
was, names the new fields so that both listings hash the same set:

    python scripts/output_digest.py --skip-fields synthetic,placebo_ids
"""

from __future__ import annotations

import argparse
import hashlib
import struct
import sys

import numpy as np

import quintara
from quintara.datasets import load_mpdta, load_prop99

_SKIP: set[str] = set()


def _feed(h: hashlib._Hash, value: object) -> None:
    if value is None:
        h.update(b"N")
    elif isinstance(value, bool):
        h.update(b"B1" if value else b"B0")
    elif isinstance(value, int):
        h.update(b"I" + str(value).encode())
    elif isinstance(value, float):
        h.update(b"F" + struct.pack("<d", value))
    elif isinstance(value, str):
        h.update(b"S" + value.encode())
    elif isinstance(value, np.ndarray):
        h.update(b"A" + np.ascontiguousarray(value, dtype="<f8").tobytes())
    elif isinstance(value, (list, tuple)):
        h.update(b"L%d" % len(value))
        for v in value:
            _feed(h, v)
    else:  # a result object: its public fields in name order
        names = sorted(n for n in dir(value) if not n.startswith("_") and n not in _SKIP)
        for n in names:
            h.update(b"." + n.encode())
            _feed(h, getattr(value, n))


def digest(value: object) -> str:
    h = hashlib.sha256()
    _feed(h, value)
    return h.hexdigest()[:24]


def synthetic_panel(seed: int, n: int, t: int, treated: int, t0: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y = 10 + rng.uniform(0.5, 2, (n, 1)) * np.sin(np.arange(t) / 5) + rng.normal(0, 0.3, (n, t))
    y[:treated, t0:] += 1.0
    return y


def staggered(seed: int, n: int, t: int) -> tuple[np.ndarray, list[int]]:
    rng = np.random.default_rng(seed)
    cohorts = [int(c) for c in rng.choice([-1, 2, 4, 6, t], size=n)]
    cohorts[0] = -1
    cohorts[1] = 3
    y = rng.normal(0, 1, (n, t)) + np.arange(t) * 0.1
    for i, c in enumerate(cohorts):
        if 0 <= c < t:
            y[i, c:] += 1.5
    return y, cohorts


def cases() -> list[tuple[str, object]]:
    out: list[tuple[str, object]] = []
    p = load_prop99()
    m = load_mpdta()
    panels = [
        ("prop99", p.y, list(p.treated), p.treat_time),
        ("rand40x30", synthetic_panel(1, 40, 30, 1, 22), [0], 22),
        ("rand25x18x3", synthetic_panel(2, 25, 18, 3, 12), [0, 1, 2], 12),
    ]
    for name, y, tr, t0 in panels:
        for placebo in (False, True):
            out.append(
                (f"fit_sc {name} placebo={placebo}", quintara.fit_sc(y, tr, t0, placebo=placebo))
            )
            out.append(
                (f"fit_fp {name} placebo={placebo}", quintara.fit_fp(y, tr, t0, placebo=placebo))
            )
            out.append(
                (f"fit_asc {name} placebo={placebo}", quintara.fit_asc(y, tr, t0, placebo=placebo))
            )
            out.append(
                (f"fit_rsc {name} placebo={placebo}", quintara.fit_rsc(y, tr, t0, placebo=placebo))
            )
        out.append(
            (
                f"fit_sc {name} options",
                quintara.fit_sc(y, tr, t0, ridge=0.3, penalty=0.1, max_weight=0.4, placebo=True),
            )
        )
        out.append(
            (f"fit_asc {name} lambda", quintara.fit_asc(y, tr, t0, aug_lambda=0.5, sc_ridge=0.1))
        )
        out.append((f"fit_rsc {name} rank", quintara.fit_rsc(y, tr, t0, rank=2, ridge=0.2)))
        matched = {"placebo_size": "matched", "n_placebo": 50, "seed": 3, "max_pre_ratio": 5.0}
        for entry in ("fit_sc", "fit_fp", "fit_asc", "fit_rsc"):
            out.append(
                (
                    f"{entry} {name} matched",
                    getattr(quintara, entry)(y, tr, t0, placebo=True, **matched),
                )
            )
        out.append(
            (
                f"fit_sdid {name} matched",
                quintara.fit_sdid(y, tr, t0, inference="placebo", **matched),
            )
        )
        for inference in ("none", "placebo", "jackknife"):
            if inference == "jackknife" and len(tr) < 2:
                continue
            out.append(
                (f"fit_sdid {name} {inference}", quintara.fit_sdid(y, tr, t0, inference=inference))
            )
    for seed in (3, 4):
        y, c = staggered(seed, 60, 10)
        out.append((f"fit_twfe_py stag{seed}", quintara.fit_twfe_py(y, c)))
        out.append((f"fit_sunab_py stag{seed}", quintara.fit_sunab_py(y, c)))
        out.append((f"bacon_decompose_py stag{seed}", quintara.bacon_decompose_py(y, c)))
        for control in ("never", "notyet"):
            out.append(
                (
                    f"fit_callaway_py stag{seed} {control}",
                    quintara.fit_callaway_py(
                        y, c, control=control, bands=True, n_reps=199, seed=seed
                    ),
                )
            )
    for control in ("never", "notyet"):
        out.append(
            (
                f"fit_callaway_py mpdta {control}",
                quintara.fit_callaway_py(
                    m.y,
                    m.cohorts,
                    control=control,
                    covariates=m.lpop,
                    anticipation=0,
                    bands=True,
                    seed=7,
                ),
            )
        )
    out.append(
        (
            "fit_callaway_py mpdta varying",
            quintara.fit_callaway_py(
                m.y, m.cohorts, control="notyet", anticipation=1, base_period="varying", bands=True
            ),
        )
    )
    out.append(("fit_twfe_py mpdta", quintara.fit_twfe_py(m.y, m.cohorts)))
    out.append(("fit_sunab_py mpdta", quintara.fit_sunab_py(m.y, m.cohorts)))
    series = list(np.random.default_rng(5).normal(0, 1, 300))
    for kind in ("block", "stationary"):
        out.append(
            (
                f"bootstrap_mean {kind}",
                quintara.bootstrap_mean(series, kind=kind, block_len=5, seed=11),
            )
        )
    # New entries go below, so the lines above stay comparable with older listings.
    geo_panels = [("prop99", p.y, list(p.treated)), ("rand40x30", panels[1][1], [0, 5])]
    for name, y, tr in geo_panels:
        for method in ("sc", "asc", "sdid", "fp", "rsc"):
            out.append(
                (
                    f"geo_power {name} {method}",
                    quintara.geo_power(
                        y, tr, 4, [0.0, 0.02, 0.05, 0.1], method=method, lookback=15, max_weight=0.5
                    ),
                )
            )
    out.append(("geo_diagnostics prop99", quintara.geo_diagnostics(p.y, list(p.treated), 12)))
    out.append(
        (
            "geo_diagnostics rand40x30",
            quintara.geo_diagnostics(synthetic_panel(1, 40, 30, 3, 22), [0, 1, 2], 8),
        )
    )
    for name, y, tr in geo_panels:
        out.append(
            (
                f"geo_power_ensemble {name} inverse-variance",
                quintara.geo_power_ensemble(
                    y, tr, 4, [0.0, 0.02, 0.05, 0.1], lookback=15, max_weight=0.5
                ),
            )
        )
        out.append(
            (
                f"geo_power_ensemble {name} weights",
                quintara.geo_power_ensemble(
                    y,
                    tr,
                    4,
                    [0.0, 0.05],
                    lookback=15,
                    weights=[1.0, 2.0, 0.5, 0.5],
                    members=["fp", "rsc", "sdid", "SC"],
                ),
            )
        )
    out.append(
        (
            "geo_select prop99 sc",
            quintara.geo_select(
                p.y, list(range(12)), 3, 4, 0.05, method="sc", n_candidates=20, seed=3, lookback=5
            ),
        )
    )
    out.append(
        (
            "geo_select rand40x30 sdid exact",
            quintara.geo_select(
                panels[1][1],
                list(range(0, 40, 3)),
                4,
                4,
                0.02,
                n_candidates=8,
                seed=1,
                exact_size=3,
                include=[0, 0],
                lookback=4,
            ),
        )
    )
    stack = np.stack([synthetic_panel(seed, 25, 18, 3, 12) for seed in range(3, 9)])
    for method in ("sc", "asc", "sdid", "fp", "rsc"):
        out.append(
            (
                f"fit_many rand6x25x18 {method}",
                quintara.fit_many(stack, [0, 1, 2], 12, method=method, ridge=0.01, zeta_scale=0.5),
            )
        )
    for name, y, tr, t0 in panels:
        out.append((f"fit_mcnnm {name}", quintara.fit_mcnnm(y, tr, t0, seed=5)))
        out.append(
            (f"fit_mcnnm {name} lambda", quintara.fit_mcnnm(y, tr, t0, lambda_=0.5, max_iter=50))
        )
        out.append((f"fit_mcnnm {name} max_rank", quintara.fit_mcnnm(y, tr, t0, max_rank=3)))
        for mode in ("mspe", "stratified", "cumulative"):
            out.append(
                (
                    f"fit_cpasc {name} {mode}",
                    quintara.fit_cpasc(y, tr, t0, mode=mode, n_strata=2),
                )
            )
        out.append(
            (
                f"fit_cpasc {name} options",
                quintara.fit_cpasc(y, tr, t0, block_len=3, sc_ridge=0.1, aug_lambda=0.5),
            )
        )
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--skip-fields", default="", help="comma-separated result fields to leave out"
    )
    _SKIP.update(f for f in parser.parse_args().skip_fields.split(",") if f)
    for label, value in cases():
        print(f"{digest(value)}  {label}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
