"""fit_callaway_py: argument checks and the Callaway & Sant'Anna estimates."""

from __future__ import annotations

import numpy as np
import pytest

import quintara
import quintara.datasets
from conftest import staggered

NEVER_HINT = ("Callaway-Sant'Anna with control='never' needs at least one never-treated unit "
              "(treat_start < 0, or at/after the last period) as a control. If every unit "
              "eventually adopts, pass control='notyet' to compare against not-yet-treated "
              "units instead.")


Y4 = staggered([2, 2, -1, -1], 4)
NEVER_TWO = [2, 2, -1, -1]


@pytest.mark.parametrize("cohorts, kwargs, message", [
    (NEVER_TWO, {"control": "Never", "level": 3.0},
     "unknown control group 'Never' (expected never/notyet)"),
    ([2, 2, -1], {}, "treat_start has 3 entries but the panel has 4 units"),
    ([-1, 0, 4, 9], {}, "Callaway-Sant'Anna: no estimable cohort. Every unit is either never "
     "treated or treated from period 0 (no pre-period), so no treatment effect is identified."),
    (NEVER_TWO, {"level": 1.5, "n_reps": 0}, "level must be in (0, 1); got 1.5"),
    (NEVER_TWO, {"n_reps": 0}, "n_reps must be >= 1; got 0"),
    ([1, 1, -1, -1], {"anticipation": 1},
     "anticipation=1: no cohort has a usable base period              (need treat_start >= 2)"),
    ([2, 2, 3, 3], {}, NEVER_HINT),
    (NEVER_TWO, {"covariates": np.ones((3, 1))},
     "covariates must have one row per unit (4); got 3"),
    (NEVER_TWO, {"covariates": np.array([[1.0], [np.nan], [0.0], [2.0]])},
     "covariates contain NaN or inf; provide complete, finite covariates"),
    (NEVER_TWO, {"base_period": "fixed"},
     "unknown base_period 'fixed' (expected universal/varying)"),
])
def test_messages_in_check_order(cohorts: list[int], kwargs: dict, message: str) -> None:
    with pytest.raises(ValueError) as exc:
        quintara.fit_callaway_py(Y4, cohorts, **kwargs)
    assert str(exc.value) == message


def test_base_periods_under_anticipation_and_not_yet_treated_controls() -> None:
    cohorts = [1, 1, 3, 3, -1, -1, -1]
    y = staggered(cohorts, 6)
    r = quintara.fit_callaway_py(y, cohorts, anticipation=1)
    # Cohort 3 has base period 1: event times -3 and -1..2; cohort 1 has none.
    assert (r.group_cohort, r.event_time) == ([3], [-3, -1, 0, 1, 2])
    # A varying base compares pre-period 1 with period 0; later cells keep base 1.
    v = quintara.fit_callaway_py(y, cohorts, anticipation=1, base_period="varying")
    assert v.event_time == [-2, -1, 0, 1, 2] and v.event_att[1:] == r.event_att[1:]
    dy = y[:, 1] - y[:, 0]
    assert v.event_att[0] == pytest.approx(dy[2:4].mean() - dy[4:].mean(), rel=1e-12)

    cohorts = [2, 2, 2, 4, 4, 4]
    y = staggered(cohorts, 6, seed=2)
    r = quintara.fit_callaway_py(y, cohorts, control="notyet")
    # Cohort 4 has no comparison units left; cohort 2 is compared with cohort 4
    # while it is untreated (t < 4), base period 1.
    assert (r.group_cohort, r.event_time) == ([2], [-2, 0, 1])
    dy = y[:, 2] - y[:, 1]
    assert r.event_att[1] == pytest.approx(dy[:3].mean() - dy[3:].mean(), rel=1e-12)
    same = quintara.fit_callaway_py(y, cohorts, control="not_yet_treated")
    assert (same.att, same.event_att, same.group_se) == (r.att, r.event_att, r.group_se)
    one = quintara.fit_callaway_py(y, [2] * 6, control="notyet")
    assert (one.att, one.se, one.event_time, one.group_cohort, one.overall_group_att,
            one.overall_group_se) == (0.0, 0.0, [], [], 0.0, 0.0)


def test_too_few_comparison_units_leave_the_cell_unadjusted() -> None:
    cohorts = [1, 1, 1, -1, -1, -1]  # |C| = 3 = K + 1 with two covariates
    y = staggered(cohorts, 3, seed=5)
    x = np.random.default_rng(6).normal(size=(6, 2))
    plain, adjusted = (quintara.fit_callaway_py(y, cohorts, covariates=cv) for cv in (None, x))
    assert (adjusted.event_att, adjusted.event_se) == (plain.event_att, plain.event_se)


@pytest.mark.parametrize("with_x", [False, True])
def test_one_cohort_two_periods_matches_numpy(with_x: bool) -> None:
    cohorts, n = [1] * 5 + [-1] * 12, 17
    x = np.random.default_rng(11).normal(size=(n, 1))
    y = staggered(cohorts, 2, seed=12)
    y[:, 1] += 0.8 * x[:, 0]
    r = quintara.fit_callaway_py(y, cohorts, covariates=x if with_x else None)
    assert r.att == r.group_att[0] == r.overall_group_att
    assert (r.event_time, r.event_lo, r.event_hi, r.band_crit) == ([0], [], [], None)
    # NumPy: regression of dY on (1, x) over the comparison units, residual
    # means, and the influence function with the estimation-effect correction
    # (zero without covariates, leaving the difference-of-means SE).
    g, c, dy = np.arange(5), np.arange(5, n), y[:, 1] - y[:, 0]
    X = np.column_stack([np.ones(n), x])[:, :1 + with_x]
    res = dy - X @ np.linalg.lstsq(X[c], dy[c], rcond=None)[0]
    psi = np.r_[(res[g] - res[g].mean()) / (5 / n), -(res[c] - res[c].mean()) / (12 / n)]
    w = np.linalg.solve(X[c].T @ X[c] / 12, X[g].mean(0) - X[c].mean(0))
    psi[c] -= (X[c] @ w) * res[c] / (12 / n)
    assert r.att == pytest.approx(res[g].mean() - res[c].mean(), rel=1e-10)
    assert r.se == pytest.approx(np.sqrt((psi ** 2).sum()) / n, rel=1e-9)


def test_minimum_wage_panel() -> None:
    # The exact estimates are pinned against csdid and NumPy in test_callaway_sampling,
    # the bands with test_callaway_sampling's and test_callaway_dr's clusters.
    d = quintara.datasets.load_mpdta()
    r = quintara.fit_callaway_py(d.y, d.cohorts)
    # Cohort means of the post-period ATT(g, t) that the `did` R package
    # reports for this panel without covariates (2004: -0.0105, -0.0704,
    # -0.1373, -0.1008; 2006: -0.0046, -0.0412; 2007: -0.0261).
    assert r.group_att == pytest.approx([-0.07975, -0.0229, -0.0261], abs=1.5e-4)
