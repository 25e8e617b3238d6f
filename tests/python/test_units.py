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

# The units of every result field, from the compiled field tables: (class,
# field) -> power of y (1, 2, or 0 for unitless values, counts and nested
# records, which carry their own table), or "placebo statistic" for the
# statistic of a placebo test (an effect or a ratio, by method).
POWER = {"y": 1, "y^2": 2, "unitless": 0, "count": 0, "record": 0}
UNITS = {(cls, name): POWER.get(units, units)
         for cls, name, _, units, _ in quintara._quintara._result_fields()}

T0 = 10
COHORTS = [-1, -1, -1, 3, 3, 6, 6, 9, -1, 11, 6, -1]


def panel(seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    n, t = len(COHORTS), 14
    y = 50 + rng.uniform(1, 5, (n, 1)) * np.sin(np.arange(t) / 3) + rng.normal(0, 1, (n, t))
    y[:2, T0:] += 6.0
    return y


def every_entry(y: np.ndarray, c: float, ridged: bool) -> list[tuple[str, object, bool]]:
    """(label, result, whether its placebo statistic is an effect) for y with options in
    units of the factor c."""

    def sq(v: float) -> float:
        return v * c * c if ridged else 0.0

    aug = 5.0 * c * c if ridged else None
    return [
        ("sc", quintara.fit_sc(y, [0], T0, ridge=sq(0.3), penalty=0.1, placebo=True), False),
        ("fp", quintara.fit_fp(y, [0], T0, ridge=sq(0.3), placebo=True), True),
        ("asc", quintara.fit_asc(y, [0], T0, sc_ridge=sq(0.1), aug_lambda=aug, placebo=True),
         False),
        ("rsc", quintara.fit_rsc(y, [0], T0, ridge=sq(0.2), placebo=True), False),
        ("sdid", quintara.fit_sdid(y, [0], T0, inference="placebo"), True),
        ("jackknife", quintara.fit_sdid(y, [0, 1], T0, inference="jackknife"), True),
        ("mcnnm", quintara.fit_mcnnm(y, [0, 1], T0), False),
        ("mcnnm lambda", quintara.fit_mcnnm(y, [0], T0, lambda_=2.0 * c), False),
        ("cpasc", quintara.fit_cpasc(y, [0, 1], T0, sc_ridge=sq(0.1), aug_lambda=aug), False),
        ("many", quintara.fit_many(np.stack([y, y[:, ::-1]]), [0], T0, "asc", ridge=sq(0.1)),
         False),
        ("twfe", quintara.fit_twfe_py(y, COHORTS), False),
        ("sunab", quintara.fit_sunab_py(y, COHORTS), False),
        ("bacon", quintara.bacon_decompose_py(y, COHORTS), False),
        ("callaway", quintara.fit_callaway_py(y, COHORTS, bands=True, n_reps=49), False),
        ("power", quintara.geo_power(y, [0, 1], 3, [0.0, 0.05, 0.2], method="sc"), False),
        ("ensemble", quintara.geo_power_ensemble(y, [0], 3, [0.0, 0.2]), False),
        ("diagnostics", quintara.geo_diagnostics(y, [0, 1], 4), False),
        ("select", quintara.geo_select(y, [0, 1, 2], 2, 3, 0.1, n_candidates=4), False),
        ("bootstrap", quintara.bootstrap_mean(list(y[3]), n_reps=50), False),
    ]


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def ldexp(x: float, e: int) -> float:
    """x * 2**e rounded once, inf beyond the float64 range (squared units can get there)."""
    try:
        return math.ldexp(x, e)
    except OverflowError:
        return math.copysign(math.inf, x)


def fields_of(obj: object, statistic: int) -> list[tuple[str, object]]:
    """Every field of a result object with its power of y, from the table."""
    cls = type(obj).__name__
    names = [name for c, name in UNITS if c == cls]
    assert names, f"{cls} has no field table"
    return [(name, statistic if UNITS[cls, name] == "placebo statistic" else UNITS[cls, name])
            for name in names]


def compare(got: object, ref: object, power: int, check, where: str,
            statistic: int) -> None:
    """Walks a result against its reference; check(got, ref, power, where) on each float."""
    if isinstance(got, float):
        check(got, ref, power, where)
    elif isinstance(got, (list, tuple, np.ndarray)):
        assert len(got) == len(ref), where
        for i, (g, r) in enumerate(zip(got, ref, strict=True)):
            g = float(g) if isinstance(g, np.floating) else g
            compare(g, r, power, check, f"{where}[{i}]", statistic)
    elif got is None or isinstance(got, (int, str)):
        assert got == ref, where
    else:
        for name, p in fields_of(got, statistic):
            compare(getattr(got, name), getattr(ref, name), p, check, f"{where}.{name}",
                    statistic)


def compare_entries(reference: list, scaled: list, check) -> None:
    for (label, ref, effects), (_, got, _) in zip(reference, scaled, strict=True):
        # fit_many's atts and the bootstrap's interval are bare effects.
        power = 1 if label in ("many", "bootstrap") else 0
        compare(got, ref, power, check, label, int(effects))


@settings(max_examples=12, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), m=st.integers(-660, 660))
def test_a_power_of_two_scales_every_result_exactly(seed: int, m: int) -> None:
    def exact(got: float, ref: float, power: int, where: str) -> None:
        expected = ldexp(ref, power * m) if power else ref
        assert bits(got) == bits(expected), f"{where}: {got!r} != {expected!r}"

    y = panel(seed)
    # Options in squared units are exact only while 4**m stays a normal float64.
    ridged = abs(m) <= 500
    compare_entries(every_entry(y, 1.0, ridged), every_entry(np.ldexp(y, m), 2.0**m, ridged),
                    exact)


def test_every_field_carries_the_units_its_table_declares() -> None:
    # A factor that is not a power of two reaches the estimators (their
    # normalised panel differs by 3/4), so a field declared unitless that is
    # really an effect, or an effect whose scale-back is lost, is off by that
    # factor here, where the exact test above cannot see it.
    c = 3.0

    def close(got: float, ref: float, power: int, where: str) -> None:
        expected = ref * c**power
        assert got == pytest.approx(expected, rel=1e-6, abs=1e-9 * c**power), where

    y = panel(7)
    compare_entries(every_entry(y, 1.0, True), every_entry(y * c, c, True), close)


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
