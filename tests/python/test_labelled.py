"""The labelled layer: panels from tables, verbs by name, labelled results."""

from __future__ import annotations

import json
import warnings

import numpy as np
import pandas as pd
import pytest

import quintara
from quintara import _quintara
from quintara.datasets import load_mpdta, load_prop99, load_table


@pytest.fixture(scope="module")
def prop99() -> quintara.Panel:
    # Rows shuffled: the panel must not depend on the table's row order.
    df = load_table("prop99").sample(frac=1.0, random_state=1)
    return quintara.Panel.from_long(df, unit="State", time="Year", outcome="PacksPerCapita")


def test_synth_by_name_equals_compiled_by_index(prop99: quintara.Panel) -> None:
    d = load_prop99()
    np.testing.assert_array_equal(prop99.y, d.y)
    # The verb's placebo test: placebos of the treated set's size, poor pre-fits left out.
    calibrated = {"placebo_size": "matched", "max_pre_ratio": 5.0}
    for method, entry, inference, kw in [
        ("sc", "fit_sc", "placebo", {"placebo": True, **calibrated}),
        ("sdid", "fit_sdid", "placebo", {"inference": "placebo", **calibrated}),
        ("asc", "fit_asc", "none", {}),
    ]:
        r = quintara.synth(prop99, treated=["California"], start="1989", method=method,
                           inference=inference)
        raw = getattr(quintara, entry)(d.y, d.treated, d.treat_time, **kw)
        assert (r.att, r.p_value, r.raw.weights) == (raw.att, raw.p_value, raw.weights)
        # One procedure behind p and the interval; no placebo se.
        assert r.ci == (None if raw.p_value is None else (raw.test_ci_lower, raw.test_ci_upper))
        assert r.se is None
        assert dict(r.weights) == dict(zip(np.asarray(d.states)[raw.donor_ids], raw.weights,
                                           strict=True))
        assert list(r.effects.index) == d.years[d.treat_time :]
        assert r.synthetic.iloc[d.treat_time :].tolist() == raw.counterfactual
    # The one-donor test asked for by name runs on at most n_placebo donors.
    single = {"placebo": True, "placebo_size": "single", "max_pre_ratio": 5.0}
    for n, used in ((38, 38), (10, 10)):
        r = quintara.synth(prop99, treated="California", start="1989", inference="placebo",
                           placebo_size="single", n_placebo=n, seed=2)
        raw = quintara.fit_sc(d.y, d.treated, d.treat_time, **single)
        assert len(r.raw.placebo_ids) + r.raw.n_placebo_excluded == used
        if n == 38:  # every donor: the full test's numbers
            assert (r.p_value, r.raw.placebo_ids) == (raw.p_value, raw.placebo_ids)


@pytest.mark.parametrize("method", ["mcnnm", "cpasc"])
def test_entries_found_at_call_time(prop99: quintara.Panel, method: str) -> None:
    entry = getattr(_quintara, f"fit_{method}")
    d = load_prop99()
    r = quintara.synth(prop99, treated=["California"], start=1989, method=method)
    assert r.att == entry(d.y, d.treated, d.treat_time).att
    json.dumps(r.to_dict())
    assert "California" in r.summary()


def test_staggered_cohorts_by_label_equal_compiled_codes() -> None:
    d = load_mpdta()
    table = load_table("mpdta")
    kw = {"unit": "countyreal", "time": "year", "outcome": "lemp"}
    cs = quintara.staggered(table, adoption="first_treat", control="notyet", **kw)
    # The verb's base period is the reference implementation's, "varying".
    raw = quintara.fit_callaway_py(d.y, d.cohorts, control="notyet", base_period="varying")
    assert (cs.att, cs.se, cs.raw.event_att) == (raw.att, raw.se, raw.event_att)
    assert "Base period:      varying" in cs.summary()
    assert list(cs.groups.index) == [d.years[g] for g in raw.group_cohort]
    # A mapping: absent units, missing values and values that are not periods are never treated.
    firsts = table.groupby("countyreal").first_treat.first()
    adoption = {c: (y if y else None) for c, y in zip(d.counties, firsts, strict=True)}
    adoption[d.counties[0]] = 1999
    codes = list(d.cohorts)
    codes[0] = -1
    panel = quintara.Panel.from_long(table, **kw)
    stray = (r"^adoption values of 1 unit are neither periods of the panel nor never-treated "
             r"markers and count as never treated: 8001 \(1999\.0\)$")
    for est, fn in [("twfe", quintara.fit_twfe_py), ("sunab", quintara.fit_sunab_py)]:
        adoption[d.counties[0]] = 1999
        with pytest.warns(UserWarning, match=stray) as seen:  # a typo must not pass silently
            assert (quintara.staggered(panel, adoption=adoption, method=est).att
                    == fn(d.y, codes).att)
        assert seen[0].filename == __file__  # pointing at the caller's line
        adoption[d.counties[0]] = None  # now a plain never-treated unit: no warning
        fit = quintara.staggered(panel, adoption=adoption, method=est, ssc="statsmodels")
        raw = fn(d.y, codes, ssc="statsmodels")
        assert (fit.se, fit.raw.event_se) == (raw.se, raw.event_se)
        assert f"SE correction:    {raw.se_correction}\n" in fit.summary()
    bacon = quintara.staggered(panel, adoption=adoption, method="bacon")
    assert bacon.att == quintara.bacon_decompose_py(d.y, codes).twfe
    assert set(bacon.to_frame().treated) <= {2004, 2006, 2007}
    # 0 marks never-treated units even when 0 is itself a period.
    first = (table.first_treat - 2003).where(table.first_treat > 0, 0)
    shifted = table.assign(year=table.year - 2003, first_treat=first)
    twfe = quintara.staggered(shifted, adoption="first_treat", method="twfe", **kw)
    assert twfe.att == quintara.fit_twfe_py(d.y, d.cohorts).att
    with pytest.raises(ValueError, match="only 'callaway'"):
        quintara.staggered(panel, adoption=adoption, method="twfe", control="notyet")
    # Adopters of the first period have no pre-period: left out, and said so.
    early = table.assign(first_treat=table.first_treat.replace(2004, 2003))
    left_out = (r"^20 units adopt in the first period \(2003\) and have no pre-period; "
                r"callaway leaves them out: 17005, ")
    with pytest.warns(UserWarning, match=left_out) as seen:
        quintara.staggered(early, adoption="first_treat", **kw)
    assert seen[0].filename == __file__


def test_unit_level_columns_named_by_numbers() -> None:
    jobs = load_table("mpdta").rename(columns={"first_treat": 3})
    kw = {"unit": "countyreal", "time": "year", "outcome": "lemp"}
    want = quintara.staggered(load_table("mpdta"), adoption="first_treat", **kw).att
    assert quintara.staggered(jobs, adoption=3, **kw).att == want
    varying = jobs.rename(columns={"year": 5}).assign(year=jobs.year)
    with pytest.raises(ValueError, match=r"^column 5 is not constant within each unit$"):
        quintara.staggered(varying, adoption=5, **kw)


def test_staggered_json_holds_every_row_of_its_table() -> None:
    # to_dict() is what --json writes: each tidy() row's numbers must be in it.
    kw = {"unit": "countyreal", "time": "year", "outcome": "lemp", "adoption": "first_treat"}
    keys = {"ATT": (), "ATT (cohort avg)": ("cohort_avg",),
            "ATT (event-time avg)": ("event_time_avg",), "ATT (calendar avg)": ("calendar_avg",)}
    for method, opts in (("callaway", {"bands": True, "level": 0.9}), ("sunab", {})):
        r = quintara.staggered(load_table("mpdta"), method=method, **kw, **opts)
        out = json.loads(json.dumps(r.to_dict(), allow_nan=False))
        assert out["level"] == r.level
        assert ("band_lo" in out["event_study"][0]) == (method == "callaway")
        lists = {"cohort": out["groups"], "period": out["calendar"], "event": out["event_study"]}
        for term, row in r.tidy().iterrows():
            kind, _, label = str(term).partition(" ")
            if term in keys:
                got = out[keys[term][0]] if keys[term] else out
            elif kind in lists:
                got = lists[kind].pop(0)
                assert str(next(iter(got.values()))).lstrip("+") == label.lstrip("+"), term
            else:
                assert out["pretrend_test"]["p_value"] == row.p_value
                continue
            assert [got[k] for k in ("att", "se", "p_value", "ci_lower", "ci_upper")] == [
                row.estimate, row.se, row.p_value, row.ci_lower, row.ci_upper], term
        assert not any(lists.values())


def test_staggered_cohorts_follow_the_fitted_units_and_pickle() -> None:
    # The labels are formed on first use, from the codes of the units the fit
    # kept: a dropped unit must not shift them, and pickling must keep them.
    import pickle

    table = load_table("mpdta")
    gone = table.countyreal.iloc[0]
    table = table.drop(index=table.index[(table.countyreal == gone) & (table.year == 2004)])
    kw = {"unit": "countyreal", "time": "year", "outcome": "lemp"}
    firsts = table.groupby("countyreal").first_treat.first()
    for method in ("callaway", "twfe", "bacon"):
        fit = quintara.staggered(
            table, adoption="first_treat", method=method, balance="drop", **kw
        )
        assert fit.dropped_units == [gone]
        for r in (pickle.loads(pickle.dumps(fit)), fit, pickle.loads(pickle.dumps(fit))):
            assert list(r.cohorts.index) == list(r.panel.units)
            want = [None if g == 0 else g for g in firsts.loc[list(r.panel.units)]]
            assert list(r.cohorts) == want


def test_geo_verbs_by_name_equal_compiled(geo: quintara.Panel) -> None:
    names = ["Denver", "Portland"]
    rows = [list(geo.units).index(n) for n in names]
    pw = quintara.power(geo, treated=names, test_len=8, lifts=[0.0, 0.05, 0.1], lookback=6)
    raw = quintara.geo_power(geo.y, rows, 8, [0.0, 0.05, 0.1], lookback=6)
    assert (pw.mde, pw.curve.power.tolist()) == (raw.mde_pct, raw.power)
    eligible = ["Austin", "Denver", "Portland", "Tampa"]
    sel = quintara.select_markets(geo, eligible=eligible, max_treated=2, test_len=8,
                                  target_lift=0.05, n_candidates=6, lookback=4)
    raw_sel = quintara.geo_select(geo.y, geo.unit_positions(eligible), 2, 8, 0.05,
                                  n_candidates=6, lookback=4, search="sized")
    assert [tuple(geo.units[c.treated]) for c in raw_sel] == list(sel.candidates.markets)
    # 4 singletons and 6 pairs, a budget of 6: 3 of each, counted in the result.
    assert sel.sizes.to_dict("list") == {"distinct": [4.0, 6.0], "scored": [3, 3],
                                         "over_budget": [0, 0], "exhaustive": [False, False]}
    assert "6 scored of 10 distinct sets (sizes 1-2)" in sel.summary()
    # A spend column of the long table prices each market for the budget.
    table = geo.to_long().assign(cost=lambda d: d["unit"].map({"Austin": 1.0}).fillna(3.0))
    priced = quintara.select_markets(table, unit="unit", time="period", outcome=geo.outcome,
                                     eligible=eligible, max_treated=2, test_len=8,
                                     target_lift=0.05, lookback=4, spend="cost", budget=4.0)
    austin, *others = geo.unit_positions(eligible)
    assert sorted(c.treated for c in priced.raw) == sorted(
        [[austin]] + [[i] for i in others] + [sorted([austin, i]) for i in others])
    header = next(line for line in sel.summary().splitlines() if line.startswith("markets"))
    assert header.split() == ["markets", "score", "power", "MDE", "volume", "confidence"]
    assert sel.best == list(sel.candidates.markets.iloc[0])
    dg = quintara.diagnose(geo, treated=names, test_len=8)
    assert dg.warnings == quintara.geo_diagnostics(geo.y, rows, 8).warnings
    for r in (pw, sel, dg):
        json.dumps(r.to_dict())
        assert "=====" in r.summary() and geo.outcome in r.summary()
    # A design names the test its power is for and the call that runs it.
    for r, windows in ((pw, "6"), (sel, "the")):
        text = r.summary().replace("\n  ", " ")
        assert (f"|ATT| above the 0.9 quantile of |ATT| over {windows} historical windows"
                in text), text
        assert "analyze(..., alpha=0.1, lookback=" in text


def test_summary_reports_estimate_inference_fit_and_size(prop99: quintara.Panel) -> None:
    r = quintara.synth(prop99, treated=["California"], start=1989, inference="placebo")
    text = r.summary()
    for piece in (f"{r.att:.4f}", f"{r.p_value:.4f}", f"{r.ci[0]:.4f}", f"{r.ci[1]:.4f}",
                  f"{r.raw.pre_rmspe:.4f}", "39 (1 treated)", "31 (19 pre, 12 post)",
                  "Utah 0.394", "placebo test over", "interval by test"):
        assert piece in text, piece
    assert max(len(line) for line in text.splitlines()) <= 78
    assert repr(r).startswith("<SynthResult sc: ATT=-19.51")
    # sdid's post-period figure is the effect path's spread, and says so.
    sdid = quintara.synth(prop99, treated=["California"], start=1989, method="sdid").summary()
    assert "Effect path SD:" in sdid and "Post-period RMSE" not in sdid
    out = json.loads(json.dumps(r.to_dict()))
    assert out["weights"]["Utah"] == r.weights["Utah"] and out["effects"]["1989"] == r.effects[1989]


BAD_TABLES = [
    # (edit of a good table, the words the message must hold)
    (lambda df: df.rename(columns={"y": "sales"}), ["outcome='y'", "'u', 't', 'sales'"]),
    (lambda df: pd.concat([df, df.iloc[[4]]]),
     ["duplicate (unit, period) rows: 4 (b, 2), 4 (b, 2)"]),
    (lambda df: df.drop(index=[1, 5]), ["2 missing", "a lacks 2", "b lacks 3"]),
    (lambda df: df.assign(y=df.y.astype(object).where(df.index != 2, "n/a")),
     ["non-numeric", "rows 2 ('n/a')"]),
    # Text numbers in a string column are read as an object column's are.
    (lambda df: df.assign(y=df.y.astype(str).where(df.index != 2, "n/a").astype("string")),
     ["non-numeric", "rows 2 ('n/a')"]),
    (lambda df: df.assign(y=df.y.where(df.index != 3, np.inf)), ["non-finite", "rows 3 (inf)"]),
    (lambda df: df.assign(y=df.y.where(df.index != 0)), ["missing or non-finite", "rows 0 (nan)"]),
    (lambda df: df.assign(t=df.t.where(df.index != 1)), ["missing time label", "rows 1"]),
    (lambda df: pd.concat([df, df[["u"]]], axis=1), ["the table's column names repeat: u"]),
    (lambda df: df.iloc[:0], ["the table has no rows"]),
]


def test_extra_columns_of_any_kind_are_carried_or_left() -> None:
    good = pd.DataFrame({"u": list("aaabbb"), "t": [1, 2, 3] * 2, "y": np.arange(6.0),
                         "tags": [["x"]] * 6, "h": np.uint64(2**64 - 1),
                         "k": np.array([2**64 - 1] * 3 + [2**63] * 3, dtype=np.uint64)})
    p = quintara.Panel.from_long(good, unit="u", time="t", outcome="y")
    # Lists cannot be compared unit by unit: left out, the rest kept exactly.
    assert list(p.unit_data.columns) == ["h", "k"]
    assert list(p.unit_column("k")) == [2**64 - 1, 2**63]


@pytest.mark.parametrize("edit,words", BAD_TABLES)
def test_bad_tables_name_what_and_where(edit: object, words: list[str]) -> None:
    good = pd.DataFrame({"u": list("aaabbb"), "t": [1, 2, 3] * 2, "y": np.arange(6.0)})
    with pytest.raises(ValueError) as e:
        quintara.Panel.from_long(edit(good), unit="u", time="t", outcome="y")  # type: ignore[operator]
    for w in words:
        assert w in str(e.value), (w, str(e.value))


def test_labels_that_are_not_in_the_panel(prop99: quintara.Panel) -> None:
    with pytest.raises(ValueError, match="unit 'Atlantis' is not in the panel"):
        quintara.synth(prop99, treated=["Atlantis"], start=1989)
    with pytest.raises(
        ValueError, match=r"period 2050 is not in the panel \(its periods are 1970, 1971"
    ):
        quintara.synth(prop99, treated=["California"], start=2050)
    with pytest.raises(
        ValueError,
        match=r"unknown column 'first_treat'; the unit-level columns are: \(none\) "
        r"\(varying within units: 'treated'\)",
    ):
        quintara.staggered(prop99, adoption="first_treat")
    wide = quintara.Panel.from_wide(
        pd.DataFrame(prop99.y, index=prop99.units, columns=prop99.periods)[::-1]
    )
    # Rows in any order give the panel from_long gives: units by label.
    assert list(wide.periods) == list(prop99.periods) and list(wide.units) == list(prop99.units)
    assert np.array_equal(wide.y, prop99.y)
    with pytest.raises(ValueError, match=r"^missing unit label in the index of the wide table$"):
        quintara.Panel.from_wide(pd.DataFrame(np.ones((2, 2)), index=["a", None]))
    for empty, what in ((np.ones((0, 2)), "rows"), (np.ones((2, 0)), "period columns")):
        with pytest.raises(ValueError, match=f"^the wide table has no {what}$"):
            quintara.Panel.from_wide(pd.DataFrame(empty))
    weeks = pd.DataFrame(np.ones((2, 3)), index=["a", "b"], columns=["w1", "w0", "w2"])
    assert list(quintara.Panel.from_wide(weeks, time_order=["w0", "w1", "w2"]).periods) == [
        "w0", "w1", "w2"]
    with pytest.raises(ValueError, match=r"^period columns repeat: w1$"):
        quintara.Panel.from_wide(weeks.set_axis(["w1", "w0", "w1"], axis=1))


@pytest.mark.parametrize("seed", range(12))
def test_from_long_equals_a_pivot_of_the_table(seed: int) -> None:
    # Every layout from_long takes a shortcut for (sorted rows, gap-free
    # integer labels, extra columns read in place) against pandas' own pivot.
    rng = np.random.default_rng(seed)
    n, t = int(rng.integers(1, 6)), int(rng.integers(1, 5))
    units = np.sort(rng.choice(100, n, replace=False)) if seed % 3 else np.arange(n) + 7
    times = np.arange(t) * (1 if seed % 2 else 3) + 2000
    df = pd.DataFrame({"u": np.repeat(units, t), "t": np.tile(times, n),
                       "y": rng.normal(size=n * t)})
    df["c"] = np.repeat(rng.integers(0, 3, n), t).astype(float)   # unit-level
    df["v"] = rng.integers(0, 2, n * t)                             # varies when t > 1
    if seed % 4 == 0:
        df.loc[df.u == units[0], "c"] = np.nan                      # missing counts as a value
    if seed % 5 == 0:
        df["u"] = df["u"].map(lambda k: f"m{k:03d}")
    if seed % 2 == 0:
        df = df.sample(frac=1.0, random_state=seed)
    p = quintara.Panel.from_long(df, unit="u", time="t", outcome="y")
    pivot = df.pivot(index="u", columns="t", values="y").sort_index()
    np.testing.assert_array_equal(p.y, pivot.to_numpy())
    assert list(p.units) == list(pivot.index) and list(p.periods) == list(pivot.columns)
    by_unit = df.groupby("u")[["c", "v"]].nunique(dropna=False)
    for col in ("c", "v"):
        constant = bool((by_unit[col] <= 1).all())
        assert (col in p.unit_data.columns) == constant, col
        if constant:
            first = df.sort_values(["u", "t"]).groupby("u")[col].first()
            np.testing.assert_array_equal(p.unit_data[col].to_numpy(),
                                          first.reindex(p.units).to_numpy())


@pytest.mark.parametrize("seed", range(12))
def test_integer_adoption_codes_equal_the_lookup_path(
    seed: int, monkeypatch: pytest.MonkeyPatch
) -> None:
    # Integer periods from 0, 1990 or 1 (0 a period that still means never),
    # sometimes put out of their numeric order by time_order; adoption values
    # that are periods, 0, negative, or past the panel (strays, which warn).
    rng = np.random.default_rng(seed)
    n, t = 30, 6
    start = [0, 1990, 1][seed % 3]
    periods = np.arange(start, start + t)
    values = rng.choice([*periods, 0, -1, start + t + 5 if seed % 4 == 0 else 0], size=n)
    df = pd.DataFrame({"u": np.repeat(np.arange(n), t), "p": np.tile(periods, n),
                       "y": rng.normal(size=n * t), "first": np.repeat(values, t)})
    # Two middle periods swapped: the ends stay where numbers would put them.
    order = [periods[0], periods[2], periods[1], *periods[3:]] if seed % 5 == 0 else None
    panel = quintara.Panel.from_long(df, "u", "p", "y", time_order=order)

    def codes() -> tuple[list[int], list[str]]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = quintara.verbs_did.cohort_codes(panel, "first")
        return got.tolist(), [str(w.message) for w in caught]

    fast = codes()
    monkeypatch.setattr(quintara.verbs_did, "_integer_codes", lambda *a: None)
    assert fast == codes()
