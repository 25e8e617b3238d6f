"""Results do not depend on the units of y.

Multiplying y by 2**m multiplies every result that carries units of y by
exactly 2**m (squared units by 4**m) and leaves everything else bit for bit:
weights, p-values, relative lifts, scores. Any other factor agrees to the
solvers' accuracy, and outcomes near the float64 limit give finite results.
Options in units of y are scaled with the data.
"""

from __future__ import annotations

import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import quintara
from quintara.datasets import load_prop99

# Result fields in units of y (2: squared units); every other field is unitless.
UNITS = dict.fromkeys(
    "att att_path counterfactual treated_post pre_rmspe post_rmspe se ci_lower ci_upper "
    "placebo_atts event_att event_se event_lo event_hi group_att group_se overall_group_att "
    "overall_group_se twfe estimate unit_att pooled_residual null_residual crit se_null "
    "mde_abs_per_period mde_cumulative".split(),
    1,
) | {"unit_mspe": 2}

T0 = 10
COHORTS = [-1, -1, -1, 3, 3, 6, 6, 9, -1, 11, 6, -1]


def panel(seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    n, t = len(COHORTS), 14
    y = 50 + rng.uniform(1, 5, (n, 1)) * np.sin(np.arange(t) / 3) + rng.normal(0, 1, (n, t))
    y[:2, T0:] += 6.0
    return y


def every_entry(y: np.ndarray, m: int, ridged: bool) -> list[tuple[str, object, set[str]]]:
    """(label, result, fields that are effects here) for y with options in units of 2**m."""

    def sq(v: float) -> float:
        return math.ldexp(v, 2 * m) if ridged else 0.0

    aug = math.ldexp(5.0, 2 * m) if ridged else None
    effects = {"inference_distribution"}
    return [
        ("sc", quintara.fit_sc(y, [0], T0, ridge=sq(0.3), penalty=0.1, placebo=True), set()),
        ("fp", quintara.fit_fp(y, [0], T0, ridge=sq(0.3), placebo=True), effects),
        ("asc", quintara.fit_asc(y, [0], T0, sc_ridge=sq(0.1), aug_lambda=aug, placebo=True),
         set()),
        ("rsc", quintara.fit_rsc(y, [0], T0, ridge=sq(0.2), placebo=True), set()),
        ("sdid", quintara.fit_sdid(y, [0], T0, inference="placebo"), effects),
        ("jackknife", quintara.fit_sdid(y, [0, 1], T0, inference="jackknife"), effects),
        ("mcnnm", quintara.fit_mcnnm(y, [0, 1], T0), set()),
        ("mcnnm lambda", quintara.fit_mcnnm(y, [0], T0, lambda_=math.ldexp(2.0, m)), set()),
        ("cpasc", quintara.fit_cpasc(y, [0, 1], T0, sc_ridge=sq(0.1), aug_lambda=aug), set()),
        ("many", quintara.fit_many(np.stack([y, y[:, ::-1]]), [0], T0, "asc", ridge=sq(0.1)),
         set()),
        ("twfe", quintara.fit_twfe_py(y, COHORTS), set()),
        ("sunab", quintara.fit_sunab_py(y, COHORTS), set()),
        ("bacon", quintara.bacon_decompose_py(y, COHORTS), set()),
        ("callaway", quintara.fit_callaway_py(y, COHORTS, bands=True, n_reps=49), set()),
        ("power", quintara.geo_power(y, [0, 1], 3, [0.0, 0.05, 0.2], method="sc"), set()),
        ("ensemble", quintara.geo_power_ensemble(y, [0], 3, [0.0, 0.2]), set()),
        ("diagnostics", quintara.geo_diagnostics(y, [0, 1], 4), set()),
        ("select", quintara.geo_select(y, [0, 1, 2], 2, 3, 0.1, n_candidates=4), set()),
        ("bootstrap", quintara.bootstrap_mean(list(y[3]), n_reps=50), set()),
    ]


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def ldexp(x: float, e: int) -> float:
    """x * 2**e rounded once, inf beyond the float64 range (squared units can get there)."""
    try:
        return math.ldexp(x, e)
    except OverflowError:
        return math.copysign(math.inf, x)


def assert_scaled(got: object, ref: object, power: int, m: int, units: dict, where: str) -> None:
    if isinstance(got, float):
        expected = ldexp(ref, power * m) if power else ref
        assert bits(got) == bits(expected), f"{where}: {got!r} != {expected!r}"
    elif isinstance(got, (list, tuple, np.ndarray)):
        assert len(got) == len(ref), where
        for i, (g, r) in enumerate(zip(got, ref, strict=True)):
            g = float(g) if isinstance(g, np.floating) else g
            assert_scaled(g, r, power, m, units, f"{where}[{i}]")
    elif got is None or isinstance(got, (int, str)):
        assert got == ref, where
    else:
        for name in (n for n in dir(got) if not n.startswith("_")):
            p = units.get(name, power)
            assert_scaled(getattr(got, name), getattr(ref, name), p, m, units, f"{where}.{name}")


@settings(max_examples=12, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), m=st.integers(-660, 660))
def test_a_power_of_two_scales_every_result_exactly(seed: int, m: int) -> None:
    y = panel(seed)
    # Options in squared units are exact only while 4**m stays a normal float64.
    ridged = abs(m) <= 500
    reference = every_entry(y, 0, ridged)
    scaled = every_entry(np.ldexp(y, m), m, ridged)
    for (label, ref, effects), (_, got, _) in zip(reference, scaled, strict=True):
        units = UNITS | dict.fromkeys(effects, 1)
        # fit_many's atts and the bootstrap's interval are bare effects.
        power = 1 if label in ("many", "bootstrap") else 0
        assert_scaled(got, ref, power, m, units, label)


@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), log_c=st.floats(-200, 200))
def test_any_factor_agrees_to_solver_accuracy(seed: int, log_c: float) -> None:
    y = panel(seed)
    c = 10.0**log_c
    for fit in (quintara.fit_sc, quintara.fit_fp, quintara.fit_asc, quintara.fit_sdid,
                quintara.fit_rsc):
        ref, got = fit(y, [0], T0), fit(y * c, [0], T0)
        np.testing.assert_allclose(got.weights, ref.weights, rtol=0, atol=1e-7)
        np.testing.assert_allclose(np.array(got.att_path) / c, ref.att_path, rtol=1e-7)
        assert got.att / c == pytest.approx(ref.att, rel=1e-7)
    assert quintara.fit_twfe_py(y * c, COHORTS).att / c == pytest.approx(
        quintara.fit_twfe_py(y, COHORTS).att, rel=1e-7)


def test_outcomes_near_the_float64_limit_give_finite_results() -> None:
    p = load_prop99()
    y = p.y * (1e300 / np.abs(p.y).max())
    tr, t0 = list(p.treated), p.treat_time
    results = [
        quintara.fit_sc(y, tr, t0, placebo=True),
        quintara.fit_rsc(y, tr, t0, placebo=True),
        quintara.fit_asc(y, tr, t0, placebo=True),
        quintara.fit_sdid(y, tr, t0, inference="placebo"),
        quintara.fit_mcnnm(y, tr, t0),
        quintara.fit_twfe_py(y, [t0 if i in tr else -1 for i in range(len(y))]),
    ]
    for r in results:
        for name in ("att", "se", "ci_lower", "ci_upper", "pre_rmspe", "post_rmspe"):
            value = getattr(r, name, 0.0)
            assert value is None or math.isfinite(value), (r, name)
    assert all(math.isfinite(v) for v in quintara.bootstrap_mean(list(y[0]), n_reps=99))
