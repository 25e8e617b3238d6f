"""Labelled values against their compiled sources and independent computations.

The labelled layer only labels: each check here fails if it relabels,
reorders or recomputes a value (a donor name on the wrong placebo, a path
without its level, an interval at the wrong quantile).
"""

from __future__ import annotations

import inspect
import json
import math

import numpy as np
import pandas as pd
import pytest

import quintara
from quintara.datasets import load_table

MPDTA = {"adoption": "first_treat", "unit": "countyreal", "time": "year", "outcome": "lemp"}


def _panel(y: np.ndarray) -> quintara.Panel:
    units = [f"u{i:02d}" for i in range(y.shape[0])][::-1]  # names not in row order
    periods = range(2000, 2000 + y.shape[1])
    return quintara.Panel.from_wide(pd.DataFrame(y, index=units, columns=periods))


@pytest.mark.parametrize("method", ["sc", "sdid"])
def test_placebo_effects_and_gaps_carry_their_donor_names(method: str, panel: np.ndarray) -> None:
    # The compiled records' own tests tie each placebo id to its refit.
    p = _panel(panel[:7])
    fit = quintara.synth(p, treated=[p.units[2]], start=2020, method=method, inference="placebo")
    names = p.units[fit.raw.placebo_ids]
    assert fit.placebo_atts.to_dict() == dict(zip(names, fit.raw.placebo_atts, strict=True))
    gaps = fit.placebo_gaps()
    assert list(gaps.columns) == list(names) and list(gaps.index) == list(p.periods)
    np.testing.assert_array_equal(gaps.to_numpy().T, fit.raw.placebo_gaps)


def test_synthetic_path_is_the_records(panel: np.ndarray) -> None:
    p = _panel(panel)
    fp = quintara.synth(p, treated=[p.units[0], p.units[1]], start=2020, method="fp")
    frame = fp.to_frame()
    np.testing.assert_array_equal(frame["gap"], frame["treated"] - frame["synthetic"])
    np.testing.assert_array_equal(frame["synthetic"], fp.raw.synthetic)
    assert list(fp.synthetic.index) == list(p.periods)


def test_did_intervals_are_the_records_at_the_level_asked() -> None:
    # test_did checks the compiled intervals' quantile; here the labels.
    for method, level in (("callaway", 0.9), ("twfe", 0.8)):
        fit = quintara.staggered(load_table("mpdta"), method=method, level=level, **MPDTA)
        r = fit.raw
        assert r.level == fit.level == level and fit.ci == (r.ci_lower, r.ci_upper)
        es = fit.event_study
        assert list(es.index) == list(r.event_time)
        assert (es["lo"].tolist(), es["hi"].tolist()) == (r.event_ci_lower, r.event_ci_upper)
        assert (fit.groups["lo"].tolist(), fit.groups["hi"].tolist()) == (
            r.group_ci_lower, r.group_ci_upper)


def test_every_result_tidies_to_one_stackable_shape(panel: np.ndarray) -> None:
    p = _panel(panel)
    treated = [p.units[0]]
    fits = [
        quintara.synth(p, treated=treated, start=2020, method="sc", inference="placebo"),
        quintara.synth(p, treated=treated, start=2020, method="sdid"),
        quintara.synth(p, treated=treated, start=2020, method="cpasc"),
        quintara.staggered(load_table("mpdta"), **MPDTA),
        quintara.staggered(load_table("mpdta"), method="bacon", **MPDTA),
        quintara.power(p, treated=treated, test_len=4, lifts=[0.0, 0.1], method="sc"),
        quintara.diagnose(p, treated=treated, test_len=4),
    ]
    tables = [f.tidy() for f in fits]
    for t in tables:
        assert list(t.columns) == ["estimate", "se", "p_value", "ci_lower", "ci_upper", "method"]
        assert t.index.name == "term"
        assert all(t[c].dtype == np.float64 for c in t.columns[:5])
    # Every row says which method made it.
    assert [t["method"].unique().tolist() for t in tables] == [
        ["sc"], ["sdid"], ["cpasc"], ["callaway"], ["bacon"], ["sc"], ["diagnostics"]]
    sc, _, _, cs, *_ = tables
    r = fits[0].raw
    assert sc.loc["ATT", ["estimate", "p_value", "ci_lower", "ci_upper"]].tolist() == [
        r.att, r.p_value, r.test_ci_lower, r.test_ci_upper]
    assert np.isnan(sc.loc["ATT", "se"])  # a placebo test has no standard error
    assert np.isnan(tables[1].loc["ATT", "p_value"])
    raw = fits[3].raw
    assert cs.loc["ATT", ["estimate", "ci_lower", "ci_upper"]].tolist() == [
        raw.att, raw.ci_lower, raw.ci_upper]
    assert cs.loc[f"event {raw.event_time[0]:+d}", ["ci_upper", "p_value"]].tolist() == [
        raw.event_ci_upper[0], raw.event_p_value[0]]


def test_verbs_name_themselves_and_refuse_contradictions(panel: np.ndarray) -> None:
    p = _panel(panel)
    kw = {"treated": [p.units[0]], "start": 2020}
    with pytest.raises(TypeError, match=r"^synth\(\) got an unexpected keyword argument 'ridg'"):
        quintara.synth(p, **kw, ridg=0.1)
    with pytest.raises(ValueError, match=r"inference='placebo'.*placebo=False"):
        quintara.synth(p, **kw, inference="placebo", placebo=False)
    # What the method does take, from its own row of the method table.
    for method, takes in (("mcnnm", "'none'"), ("rsc", "'none', 'placebo' or 'in_time'")):
        with pytest.raises(ValueError, match=rf"^jackknife inference is sdid's only; method "
                                             rf"'{method}' takes {takes}$"):
            quintara.synth(p, **kw, method=method, inference="jackknife")
    with pytest.raises(ValueError, match=r"^lookback must be >= 1"):
        quintara.synth(p, **kw, inference="in_time", lookback=0)
    with pytest.raises(ValueError, match=rf"^treated lists unit {p.units[0]} more than once$"):
        quintara.synth(p, treated=[p.units[0], p.units[0]], start=2020)
    # Options the entry takes but the chosen test or method would ignore.
    with pytest.raises(ValueError, match=r"^n_placebo= applies with inference='placebo' only "
                                         r"\(here 'none'\)$"):
        quintara.synth(p, **kw, n_placebo=5)
    with pytest.raises(ValueError, match=r"^zeta_scale= reaches method 'sdid' only \(here 'sc'\)"):
        quintara.synth(p, **kw, inference="conformal", zeta_scale=2.0)
    for method, inference, option in (("sdid", "conformal", "ridge"),
                                      ("rsc", "in_time", "min_weight")):
        with pytest.raises(ValueError, match=rf"^method '{method}' takes no {option}= \(the "
                                             r"test would ignore it\)$"):
            quintara.synth(p, **kw, method=method, inference=inference, **{option: 0.1})
    with pytest.raises(TypeError, match=r"^power\(\) got an unexpected keyword argument 'seed'"):
        quintara.power(p, treated=[p.units[0]], test_len=4, lifts=[0.1], seed=1)
    with pytest.raises(ValueError, match=r"method='twfe' and estimator='sunab' disagree"):
        quintara.staggered(load_table("mpdta"), estimator="sunab", method="twfe", **MPDTA)
    by_method = quintara.staggered(load_table("mpdta"), method="twfe", **MPDTA)
    assert by_method.estimator == "twfe"
    assert by_method.att == quintara.staggered(load_table("mpdta"), estimator="twfe", **MPDTA).att


@pytest.mark.parametrize("verb, entry", [
    (quintara.synth, quintara.fit_sdid),
    (quintara.staggered, quintara.fit_callaway_py),
    (quintara.power, quintara.geo_power),
    (quintara.select_markets, quintara.geo_select),
    (quintara.diagnose, quintara.geo_diagnostics),
])
def test_verbs_take_keywords_in_their_entrys_order(verb: object, entry: object) -> None:
    ours = list(inspect.signature(verb).parameters.values())[1:]
    assert all(p.kind in (p.KEYWORD_ONLY, p.VAR_KEYWORD) for p in ours)
    theirs = list(inspect.signature(entry).parameters)
    shared = [p.name for p in ours if p.name in theirs]
    assert shared and shared == [n for n in theirs if n in shared]


def test_an_empty_interval_is_said_and_written_as_json(prop99: quintara.Panel) -> None:
    # At level 0.5 the conformal test rejects every constant effect on Prop 99.
    r = quintara.synth(prop99, treated=["California"], start=1989, inference="conformal",
                       level=0.5)
    assert math.isnan(r.ci[0]) and math.isnan(r.ci[1])
    assert "The interval is empty" in r.summary() and "nan" not in r.summary()
    out = json.loads(json.dumps(r.to_dict(), allow_nan=False))
    assert (out["ci_lower"], out["ci_upper"], out["ci_empty"]) == (None, None, True)
    assert all(v is None or math.isfinite(v) for pair in out["pointwise"].values() for v in pair)


def test_asc_takes_its_own_ridge_name_under_the_conformal_test(prop99: quintara.Panel) -> None:
    kw = {"treated": ["California"], "start": 1989, "method": "asc", "sc_ridge": 1.0}
    plain = quintara.synth(prop99, **kw)
    tested = quintara.synth(prop99, **kw, inference="conformal")
    assert tested.att == plain.att != quintara.synth(prop99, **{**kw, "sc_ridge": 0.0}).att
    # Its placebos are refitted with the same ridge.
    assert tested.placebo_gaps().equals(plain.placebo_gaps())
