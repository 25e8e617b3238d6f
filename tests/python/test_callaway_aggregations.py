"""Callaway-Sant'Anna's calendar-time aggregation, the event-study window
(min_e, max_e, balance_e), the event-time covariance from the influence
functions and the pre-trend test built on it, against csdid on mpdta."""

from __future__ import annotations

import numpy as np
import pytest

import quintara
from quintara.datasets import load_mpdta, load_table

D = load_mpdta()
YEAR0 = D.years[0]

# csdid 0.4.3 (a port of R did 2.x), outcome regression without covariates:
#   a = ATTgt(yname="lemp", tname="year", idname="countyreal", gname="first_treat",
#             data=mpdta, control_group=CONTROL)
#   a.fit(est_method="reg", base_period=BASE, bstrap=False)
#   r = a.aggte(typec=TYPE, bstrap=False, **WINDOW).atte
# rows: (CONTROL, BASE, TYPE, WINDOW, overall_att, overall_se, egt, att_egt, se_egt),
# with csdid's universal-base e = -1 row (0 by construction, SE NaN) left out.
CASES = [
    ("nevertreated", "varying", "calendar", {}, -0.041700432131282744, 0.01597185188456002,
     [2004, 2005, 2006, 2007],
     [-0.010503246220963061, -0.07042315810314731, -0.04881598426504358, -0.037059339935977036],
     [0.023251036368166385, 0.030984766757276763, 0.020125861260500325, 0.01374707914111855]),
    ("notyettreated", "universal", "calendar", {}, -0.04426708347588412, 0.015570904421144947,
     [2004, 2005, 2006, 2007],
     [-0.019372363675922634, -0.0783190990620611, -0.0423175312295757, -0.037059339935977036],
     [0.02231011288368063, 0.030390228543397343, 0.019056257643166808, 0.01374707914111855]),
    ("nevertreated", "varying", "dynamic", {"min_e": -2, "max_e": 2}, -0.06938264091461932,
     0.017269490392467658, [-2, -1, 0, 1, 2],
     [-0.0005630846263853539, -0.02445874497116946, -0.01993181678925967,
      -0.05095736706519438, -0.1372587388894039],
     [0.013291644736549993, 0.014236402210519304, 0.011826364058058184,
      0.016893476268678063, 0.0364356642876866]),
    ("nevertreated", "universal", "dynamic", {"balance_e": 1}, -0.028760760220378837,
     0.013685582557682556, [-3, -2, 0, 1],
     [-0.0037692936737144106, 0.002750818750518984, -0.006564153375563293, -0.05095736706519438],
     [0.03134202760181594, 0.019558561035881602, 0.014255359148642044, 0.016893476268678063]),
    ("notyettreated", "varying", "dynamic", {"balance_e": 0, "min_e": -1}, -0.018922199083425253,
     0.01204456868926907, [-1, 0], [-0.024268903414507454, -0.018922199083425253],
     [0.014463681675801908, 0.01204456868926907]),
]  # fmt: skip

# The same fit with base_period="varying", typec="dynamic": the covariance of
# the event-time effects from csdid's influence functions,
#   F = r["inf_function"]["dynamic_inf_func_e"];  F.T @ F / n**2  (n = 500 counties),
# event times -3..3.
DYNAMIC_COV = [
    [0.00022600793469630348, -2.0837209617147418e-05, 7.5173772494727996e-06,
     1.8784908458361917e-05,
     2.744887115023451e-05, 7.16866956497468e-05, 7.374478950703828e-05],
    [-2.0837209617147418e-05, 0.00017666781980265716, -2.552384023180909e-05,
     -4.958335791375389e-06,
     2.3177360680854388e-06, 3.53883127243087e-05, 3.264612535401863e-05],
    [7.5173772494727996e-06, -2.552384023180909e-05, 0.00020267514789967892, -3.326793183516501e-05,
     4.0356569394898484e-05, 9.574743868062034e-05, 6.434093186616978e-05],
    [1.8784908458361917e-05, -4.958335791375389e-06, -3.326793183516501e-05, 0.00013986288683373032,
     6.153162212448224e-05, 4.37211453231573e-05, 6.562180107521516e-05],
    [2.744887115023451e-05, 2.3177360680854388e-06, 4.0356569394898484e-05, 6.153162212448224e-05,
     0.0002853895404403889, 0.0003604010457426977, 0.0003252736468058024],
    [7.16866956497468e-05, 3.53883127243087e-05, 9.574743868062034e-05, 4.37211453231573e-05,
     0.0003604010457426977, 0.0013275576320850022, 0.0008655738151881888],
    [7.374478950703828e-05, 3.264612535401863e-05, 6.434093186616978e-05, 6.562180107521516e-05,
     0.0003252736468058024, 0.0008655738151881888, 0.0011805563999580824],
]  # fmt: skip


def fit(control: str = "nevertreated", base: str = "varying", **kw: object) -> quintara.DiDResult:
    return quintara.fit_callaway_py(
        D.y, D.cohorts, control="never" if control == "nevertreated" else "notyet",
        base_period=base, **kw,
    )  # fmt: skip


def near(v: object) -> object:
    return pytest.approx(v, abs=1e-10, rel=0)


@pytest.mark.parametrize("case", CASES, ids=lambda c: f"{c[0]}-{c[1]}-{c[2]}-{c[3]}")
def test_aggregations_match_csdid(case: tuple) -> None:  # type: ignore[type-arg]
    control, base, kind, window, overall, overall_se, keys, att, se = case
    r = fit(control, base, **window)
    if kind == "calendar":
        assert [YEAR0 + t for t in r.calendar_period] == keys
        assert (r.calendar_att, r.calendar_se) == (near(att), near(se))
        assert (r.overall_calendar_att, r.overall_calendar_se) == near((overall, overall_se))
    else:
        assert r.event_time == keys
        assert (r.event_att, r.event_se) == (near(att), near(se))
        assert (r.overall_dynamic_att, r.overall_dynamic_se) == near((overall, overall_se))
    # The window is the event study's alone.
    plain = fit(control, base)
    assert (r.att, r.se, r.group_att, r.calendar_att) == (
        plain.att, plain.se, plain.group_att, plain.calendar_att,
    )  # fmt: skip


def test_event_covariance_and_pretrend_test() -> None:
    r = fit(bands=True, n_reps=199, seed=3)
    E = len(r.event_time)
    cov = np.array(r.event_cov).reshape(E, E)
    assert r.event_time == [-3, -2, -1, 0, 1, 2, 3]
    np.testing.assert_allclose(cov, DYNAMIC_COV, rtol=0, atol=1e-14)
    np.testing.assert_allclose(np.sqrt(np.diag(cov)), r.event_se, rtol=1e-14)
    # The mean over the post-period event times is that linear map of the
    # estimates, so its SE must follow from the covariance.
    ell = (np.array(r.event_time) >= 0) / 4
    assert r.overall_dynamic_se == pytest.approx(np.sqrt(ell @ cov @ ell), rel=1e-12)
    pre = np.array(r.event_time) < 0
    d = np.array(r.event_att)[pre]
    wald = d @ np.linalg.solve(cov[np.ix_(pre, pre)], d)
    assert (r.pretrend_wald, r.pretrend_df) == (pytest.approx(wald, rel=1e-10), 3)

    # With anticipation the periods just before adoption may carry effects,
    # so they leave the test.
    a = fit(anticipation=1)
    assert a.pretrend_df == sum(e < -1 for e in a.event_time)
    # Clustered, the covariance sums the influence within clusters first: its
    # diagonal is still the squared standard errors.
    states = (np.array(D.counties) // 1000).tolist()
    c = fit(clusters=states)
    cc = np.array(c.event_cov).reshape(E, E)
    np.testing.assert_allclose(np.sqrt(np.diag(cc)), c.event_se, rtol=1e-13)
    assert not np.allclose(cc, cov)


def test_window_arguments_are_checked() -> None:
    with pytest.raises(ValueError, match=r"min_e must be <= max_e; got min_e=2 and max_e=1"):
        fit(min_e=2, max_e=1)
    with pytest.raises(ValueError, match=r"balance_e must be >= 0; got -1"):
        fit(balance_e=-1)
    # A window outside every event time leaves an empty event study, not an error.
    r = fit(min_e=10)
    assert r.event_time == [] and r.overall_dynamic_att is None and r.att == fit().att


def test_labelled_layer_shows_the_aggregations() -> None:
    df = load_table("mpdta")
    res = quintara.staggered(
        df, unit="countyreal", time="year", outcome="lemp", adoption="first_treat", max_e=2
    )
    assert list(res.calendar.index) == [2004, 2005, 2006, 2007]
    terms = res.tidy().index
    assert {"ATT (event-time avg)", "ATT (calendar avg)", "period 2005"} <= set(terms)
    assert max(res.event_study.index) == 2
    d = res.to_dict()
    assert d["calendar"][0]["period"] == 2004 and d["event_time_avg"]["att"] == pytest.approx(
        res.raw.overall_dynamic_att
    )
