"""TWFE, Sun-Abraham and Goodman-Bacon: messages in check order, and fits
against hand formulas and explicit dummy-variable regressions in NumPy."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st
from scipy.stats import norm

import quintara
from conftest import staggered
from quintara.datasets import load_table
from test_sc_family import value_error

ENTRIES = {"TWFE": quintara.fit_twfe_py, "Sun-Abraham": quintara.fit_sunab_py,
           "Goodman-Bacon": quintara.bacon_decompose_py}


def dummy_regression(y: np.ndarray, columns: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """OLS of unit-major vec(y) on `columns` + unit and period dummies: the `columns`
    coefficients and their unit-clustered sandwich covariance (no small-sample factor)."""
    n, t = y.shape
    x = np.column_stack([columns, np.kron(np.eye(n), np.ones((t, 1))),
                         np.tile(np.eye(t)[:, 1:], (n, 1))])
    beta = np.linalg.lstsq(x, y.ravel(), rcond=None)[0]
    u = y.ravel() - x @ beta
    bread = np.linalg.inv(x.T @ x)
    scores = np.array([x[i * t:(i + 1) * t].T @ u[i * t:(i + 1) * t] for i in range(n)])
    k = columns.shape[1]
    return beta[:k], (bread @ scores.T @ scores @ bread)[:k, :k]


@pytest.mark.parametrize("label", ENTRIES)
def test_shared_messages_in_order_and_never_treated_encodings(label: str) -> None:
    fn = ENTRIES[label]
    assert value_error(fn, np.zeros((0, 4)), [1]) == (
        "y must be a non-empty N×T panel; got shape (0, 4)")
    y = staggered([-1, 2, 2, -1, 3], 5)
    assert value_error(fn, y, [-1, 2, 2, -1]) == (
        "treat_start has 4 entries but the panel has 5 units")
    no_cohort = (f"{label}: no estimable cohort. Every unit is either never treated or "
                 "treated from period 0 (no pre-period), so no treatment effect is "
                 "identified.")
    assert value_error(fn, y, [-1, -3, 5, 9, -100]) == no_cohort
    assert value_error(fn, y, [0, 0, -1, -1, -1]) == no_cohort
    if label != "Goodman-Bacon":  # kept missing cells: treated units seen only before adopting
        holed = y.copy()
        holed[[1, 2, 4], 2:] = np.nan
        assert value_error(fn, holed, [-1, 2, 2, -1, 3], missing="keep") == (
            f"{label}: no treated cell is observed (every unit's cells from its adoption on are "
            "missing), so no treatment effect is identified.")
    if label != "Goodman-Bacon":
        assert value_error(fn, y, [-1, 2, 2, -1, 3], 1.0) == "level must be in (0, 1); got 1"
    y = staggered([-1, -1, 2, 4, 2, -1], 6)
    assert repr(fn(y, [-100, 6, 2, 4, 2, 11])) == repr(fn(y, [-1, -1, 2, 4, 2, -1]))


def test_estimator_specific_messages() -> None:
    y = staggered([3] * 4, 6)
    assert value_error(quintara.fit_twfe_py, y, [3] * 4) == (
        "TWFE: every unit adopts at the same period and there are no control units, so "
        "the unit and time fixed effects absorb the treatment indicator entirely.")
    assert value_error(quintara.fit_sunab_py, y, [2, 3, 3, 4]) == (
        "Sun-Abraham needs at least one never-treated unit (treat_start < 0, or at/after "
        "the last period) as a control. The interaction-weighted estimator uses "
        "never-treated units as the reference group.")
    # Imputation and the labelled decomposition refuse it too, where an
    # average over no cell read as an effect of 0 with SE 0.
    assert value_error(quintara.fit_imputation_py, y, [3] * 4) == (
        "Imputation: none of the 12 treated cells has an untreated cell in its period to "
        "impute from, so no effect is identified (every unit adopts at once and none is never "
        "treated?)")
    same = pd.DataFrame({"u": np.repeat(range(4), 6), "t": np.tile(range(6), 4),
                         "y": y.reshape(-1), "g": 3})
    with pytest.raises(ValueError, match=r"^Goodman-Bacon: every unit adopts at the same period"):
        quintara.staggered(same, unit="u", time="t", outcome="y", adoption="g", method="bacon")
    assert value_error(quintara.bacon_decompose_py, y, [-1, 2, 3, 0]) == (
        "Goodman-Bacon: units already treated at period 0 have no pre-period and cannot "
        "enter the decomposition, which would break the `twfe == sum(weight * estimate)` "
        "identity against the full-panel TWFE. Drop those units (or start the panel "
        "earlier) and re-run.")


def test_balance_refuse_names_the_holes_whatever_the_method() -> None:
    holes = load_table("mpdta").drop(index=[3, 17])
    for method in ("callaway", "twfe", "sunab", "imputation"):
        with pytest.raises(ValueError, match=r"^balance='refuse' asks for a balanced panel: 2 "
                                             r"units lack .* balance='keep' to fit the observed "
                                             r"cells$"):
            quintara.staggered(holes, unit="countyreal", time="year", outcome="lemp",
                               adoption="first_treat", method=method, balance="refuse")


@pytest.mark.parametrize("cohorts, t", [([0, 2, 2, 5, -1, -1, 3, 5, 0, -1, 2, 3], 7),
                                        ([0, 0, 3, 3, 3, 0, 3], 7),  # no never-treated
                                        ([1, 1, -1, -1, -1], 2)])
def test_matches_dummy_regression(cohorts: list[int], t: int) -> None:
    # NumPy 2.4 reference; the SE gets the small-sample factor N/(N-1).
    y, n, c = staggered(cohorts, t, seed=5), len(cohorts), np.asarray(cohorts)[:, None]
    d = ((c >= 0) & (np.arange(t)[None, :] >= c)).astype(float)
    beta, cov = dummy_regression(y, d.reshape(-1, 1))
    res = quintara.fit_twfe_py(y, cohorts)
    assert res.att == pytest.approx(beta[0], rel=1e-10)
    assert res.se == pytest.approx(np.sqrt(cov[0, 0] * n / (n - 1)), rel=1e-9)
    assert res.event_time == [] and res.band_crit is None


def test_matches_saturated_regression() -> None:
    # NumPy 2.4 reference: every (cohort, e != -1) indicator, cohort-size weights.
    t, cohorts = 7, [2, 2, 4, 5, 5, 5, -1, -1, 4, -1, 2, -1, 6]
    y, coh = staggered(cohorts, t, seed=6), np.asarray(cohorts)
    cells = [(g, e) for g in (2, 4, 5, 6) for e in range(-g, t - g) if e != -1]
    cols = np.array([[(coh[i] == g) * (s == g + e) for i in range(len(coh)) for s in range(t)]
                     for g, e in cells], dtype=float).T
    beta, cov = dummy_regression(y, cols)
    size = np.array([(coh == g).sum() for g, _ in cells], dtype=float)
    rel = np.array([e for _, e in cells])

    def agg(mask: np.ndarray) -> tuple[float, float]:
        a = np.where(mask, size, 0.0) / size[mask].sum()
        return a @ beta, np.sqrt(a @ cov @ a)

    res = quintara.fit_sunab_py(y, cohorts)
    assert res.event_time == sorted(set(rel.tolist()))
    want = np.array([agg(rel == e) for e in res.event_time])
    np.testing.assert_allclose(res.event_att, want[:, 0], rtol=1e-9)
    # The 1e-10 ridge of the bread perturbs SEs at about that level.
    np.testing.assert_allclose(res.event_se, want[:, 1], rtol=1e-8)
    assert (res.att, res.se) == pytest.approx(agg(rel >= 0), rel=1e-8)


def test_always_treated_units_drop_out() -> None:
    cohorts = [3, -1, 3, -1, -1, 3]
    y = staggered(cohorts, 6, seed=7)
    res = quintara.fit_sunab_py(y, cohorts)
    assert res.event_time == [-3, -2, 0, 1, 2]
    again = quintara.fit_sunab_py(np.vstack([staggered([0, 0], 6, seed=8), y]), [0, 0, *cohorts])
    assert (again.event_att, again.event_se, again.att, again.se) == (
        res.event_att, res.event_se, res.att, res.se)
    # Nor do they count among the clusters and observations of a small-sample factor.
    sm = [quintara.fit_sunab_py(y, cohorts, ssc="statsmodels"),
          quintara.fit_sunab_py(np.vstack([staggered([0, 0], 6, seed=8), y]), [0, 0, *cohorts],
                                ssc="statsmodels")]
    assert (sm[0].se, sm[0].se_correction) == (sm[1].se, sm[1].se_correction)


def test_components_in_order() -> None:
    t = 6
    res = quintara.bacon_decompose_py(staggered([2, -1, 4, 2, -1, 4], t), [2, -1, 4, 2, -1, 4])
    got = [(c.kind, c.treated_cohort, c.comparison_cohort) for c in res.components]
    assert got == [("treated_vs_untreated", 2, None), ("treated_vs_untreated", 4, None),
                   ("earlier_vs_later", 2, 4), ("later_vs_earlier_forbidden", 4, 2)]
    assert res.forbidden_weight == res.components[3].weight
    # No never-treated units: only the timing pair; one cohort alone: nothing.
    two = quintara.bacon_decompose_py(staggered([2, 4, 4], t), [2, 4, 4])
    assert [c.kind for c in two.components] == ["earlier_vs_later", "later_vs_earlier_forbidden"]
    none = quintara.bacon_decompose_py(staggered([3, 3], t), [3, 3])
    assert (none.components, none.twfe, none.forbidden_weight) == ([], 0.0, 0.0)
    # Wrapped by hand (staggered refuses such designs), it still reads.
    units = quintara.Panel(staggered([3, 3], t), ["a", "b"], list(range(t)))
    empty = quintara.BaconDecomposition(none, units, pd.Series([3, 3], index=["a", "b"]))
    assert "Comparisons" in empty.summary() and empty.tidy().shape[0] == 1


@settings(max_examples=40, deadline=None)
@given(t=st.integers(4, 9), cohorts=st.lists(st.integers(-1, 9), min_size=3, max_size=14),
       seed=st.integers(0, 2**32 - 1))
def test_weighted_sum_is_twfe(t: int, cohorts: list[int], seed: int) -> None:
    cohorts = [-1 if c <= 0 else c for c in cohorts]  # no always-treated unit
    treated = {c for c in cohorts if 0 < c < t}
    if not treated or (len(treated) == 1 and all(0 < c < t for c in cohorts)):
        return  # refused by the entries
    y = staggered(cohorts, t, seed)
    res = quintara.bacon_decompose_py(y, cohorts)
    assert sum(c.weight for c in res.components) == pytest.approx(1.0, rel=1e-12)
    twfe = quintara.fit_twfe_py(y, cohorts).att
    assert res.twfe == pytest.approx(twfe, rel=1e-9, abs=1e-11)


@pytest.mark.parametrize("entry", ["fit_twfe_py", "fit_sunab_py", "fit_callaway_py"])
def test_normal_intervals_and_p_values(entry: str) -> None:
    cohorts = [-1, -1, 2, 4, 2, -1, 4, -1, 3]
    y = staggered(cohorts, 7, seed=3)
    for level in (0.8, 0.95):
        r = getattr(quintara, entry)(y, cohorts, level=level)
        z = norm.ppf(0.5 + level / 2)
        rows = [(r.att, r.se, r.ci_lower, r.ci_upper, r.p_value),
                *zip(r.event_att, r.event_se, r.event_ci_lower, r.event_ci_upper,
                     r.event_p_value, strict=True),
                *zip(r.group_att, r.group_se, r.group_ci_lower, r.group_ci_upper,
                     r.group_p_value, strict=True)]
        if r.overall_group_att is None:
            assert r.overall_group_ci_lower is r.overall_group_p_value is None
        else:
            rows.append((r.overall_group_att, r.overall_group_se, r.overall_group_ci_lower,
                         r.overall_group_ci_upper, r.overall_group_p_value))
        assert r.level == level
        # The compiled quantile is a rational approximation, good to about 1e-9.
        for att, se, lo, hi, p in rows:
            assert (att - lo, hi - att) == pytest.approx((z * se, z * se), rel=1e-8)
            assert p == pytest.approx(2 * norm.sf(abs(att / se)), rel=1e-12)


SSC_COHORTS = [3, 3, 5, 5, -1, -1, 4, 4, -1, 6, -1, -1]


def ssc_panel() -> np.ndarray:
    rng = np.random.default_rng(3)
    y = rng.normal(size=(12, 7)) + np.arange(7) * 0.2
    for i, c in enumerate(SSC_COHORTS):
        if c >= 0:
            y[i, c:] += 1.0
    return y


def test_twfe_small_sample_corrections_against_pyfixest_and_statsmodels() -> None:
    # The same panel (unit, time, y, D long) fitted by
    #   pyfixest 0.60.0: feols("y ~ D | unit + time", vcov={"CRV1": "unit"})
    #   statsmodels 0.15.0: ols("y ~ D + C(unit) + C(time)").fit(cov_type="cluster",
    #                                                         cov_kwds={"groups": unit})
    # gave att 0.7034671922304307 and se 0.37784219643946926 and 0.4085644498856809.
    y, cohorts = ssc_panel(), SSC_COHORTS
    fits = {s: quintara.fit_twfe_py(y, cohorts, ssc=s) for s in ("cluster", "none", "fixest",
                                                                 "statsmodels")}
    assert fits["fixest"].se == pytest.approx(0.37784219643946926, rel=1e-13)
    assert fits["statsmodels"].se == pytest.approx(0.4085644498856809, rel=1e-13)
    assert fits["none"].se == pytest.approx(fits["cluster"].se * np.sqrt(11 / 12), rel=1e-14)
    assert {f.att for f in fits.values()} == {fits["cluster"].att}
    assert fits["cluster"].att == pytest.approx(0.7034671922304307, rel=1e-13)
    assert fits["statsmodels"].se_correction.startswith("statsmodels: G/(G-1)")
    with pytest.raises(ValueError, match=r"^unknown ssc 'stata' \(expected cluster/none/fixest"):
        quintara.fit_twfe_py(y, cohorts, ssc="stata")


def test_sunab_small_sample_corrections_against_pyfixest_and_statsmodels() -> None:
    # ssc_panel long (unit, time, y; cohort 1000 and rel -1000 when never treated, else
    # rel = time - cohort), fitted by
    #   pyfixest 0.60.0: feols("y ~ i(rel, cohort, ref=-1, ref2=1000) | unit + time",
    #       vcov={"CRV1": "unit"}, ssc=S), S = pf.ssc(k_adj=False, G_adj=False) for none,
    #       pf.ssc(k_adj=False) for cluster, pf.ssc() for fixest;
    #   statsmodels 0.15.0: OLS(y, [1, the 24 cell dummies, unit dummies 1..11, time dummies
    #       1..6]).fit(cov_type="cluster", cov_kwds={"groups": unit});
    # then a @ beta and sqrt(a @ cov @ a), a the cohort-size weights over the cells with
    # e >= 0 (overall) and e == 0. Both gave att -0.14994380288679277 (statsmodels to 1e-12).
    want = {"none": (0.48579783452090847, 0.4159576452614188),
            "cluster": (0.5073992898105223, 0.4344535911837568),
            "fixest": (0.634966724160341, 0.5436814341948754),
            "statsmodels": (0.7132869131856377, 0.6107420077264908)}
    y, cohorts = ssc_panel(), SSC_COHORTS
    fits = {ssc: quintara.fit_sunab_py(y, cohorts, ssc=ssc) for ssc in want}
    for (se, se_e0), r in zip(want.values(), fits.values(), strict=True):
        assert r.att == pytest.approx(-0.14994380288679277, rel=1e-10)
        # The 1e-10 ridge of the bread perturbs SEs at about that level.
        assert (r.se, r.event_se[r.event_time.index(0)]) == pytest.approx((se, se_e0), rel=1e-8)
    default, none = quintara.fit_sunab_py(y, cohorts), fits["none"]
    assert (default.se, default.event_se, default.se_correction) == (
        none.se, none.event_se, "none")
    assert fits["fixest"].se_correction.endswith("K = T + 24 cells")
    assert value_error(quintara.fit_sunab_py, y, cohorts, 0.95, "stata") == value_error(
        quintara.fit_twfe_py, y, cohorts, 0.95, "stata")


def test_an_exact_fit_says_why_its_p_values_are_nan() -> None:
    cohorts, t = [3, 3, 4, -1, -1, 4, -1, 5], 7
    y = np.arange(8.0)[:, None] + 0.5 * np.arange(t) + np.where(
        (np.array(cohorts)[:, None] >= 0) & (np.arange(t) >= np.array(cohorts)[:, None]), 1.0, 0.0)
    panel = quintara.Panel(y, list("abcdefgh"), list(range(t)))
    fit = quintara.staggered(panel, adoption=dict(zip("abcdefgh", cohorts, strict=True)))
    assert np.isnan(fit.raw.event_p_value).any()
    assert "A p-value of nan: the estimate and its standard error are both 0" in fit.summary()
