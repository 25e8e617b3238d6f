"""geo_analyze / analyze: the finished experiment read off one in-time test.

The headline is geo_test's, bit for bit; every derived number (incremental
units, lift, iROAS, cost per incremental unit) is that test's estimate and
interval rescaled, checked here from the record's own paths; the pointwise
bands are recomputed from independent single fits of every historical window
and numpy's interpolated quantile; a planted lift is recovered, and the
interval is where the test's p-value crosses alpha.
"""

from __future__ import annotations

import importlib.util
import json
import math
import re

import numpy as np
import pandas as pd
import pytest

import quintara

TREATED = [0, 3]
POST = 6


def panel(seed: int = 3, n: int = 14, t: int = 60) -> np.ndarray:
    """Markets with own levels, a shared trend and cycle, and noise."""
    rng = np.random.default_rng(seed)
    w = np.arange(t)
    common = 0.02 * w + 0.5 * np.sin(2 * np.pi * w / 13)
    return rng.uniform(40, 80, (n, 1)) * (1 + 0.05 * common) + rng.normal(0, 0.6, (n, t))


@pytest.fixture(scope="module")
def y() -> np.ndarray:
    return panel()


@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
@pytest.mark.parametrize("method", ["sc", "sdid"])
def test_headline_is_geo_test_bit_for_bit(y: np.ndarray, alternative: str, method: str) -> None:
    end = y.shape[1] - 2  # a two-period cool-down left out
    t0 = end - POST
    opts = {"method": method, "alpha": 0.2, "lookback": 25, "alternative": alternative}
    a = quintara.geo_analyze(y, TREATED, t0, end_time=end, **opts)
    t = quintara.geo_test(y[:, :end], TREATED, t0, **opts)
    assert (a.att, a.p_value) == (t.att, t.p_value)
    assert (a.ci_lower, a.ci_upper) == (t.test_ci_lower, t.test_ci_upper)
    assert a.null_atts == t.inference_distribution and a.effect == t.att_path
    assert a.synthetic == t.synthetic and a.level == t.level
    assert (a.n_pre, a.n_post, a.n_windows, a.n_treated) == (t0, POST, 25, 2)
    assert a.se == pytest.approx(np.std(a.null_atts, ddof=1), rel=1e-12)


def test_derived_numbers_are_the_test_rescaled(y: np.ndarray) -> None:
    t0 = y.shape[1] - POST
    a = quintara.geo_analyze(y, TREATED, t0, spend=500.0)
    n = POST * len(TREATED)
    assert a.incremental == n * a.att
    assert (a.incremental_lower, a.incremental_upper) == (n * a.ci_lower, n * a.ci_upper)
    assert a.incremental_se == n * a.se
    cf = len(TREATED) * sum(a.synthetic[t0:])
    assert a.counterfactual_total == pytest.approx(cf, rel=1e-14)
    assert a.lift_pct == pytest.approx(100 * a.incremental / cf, rel=1e-14)
    assert a.lift_pct_lower == pytest.approx(100 * a.incremental_lower / cf, rel=1e-14)
    assert (a.iroas, a.iroas_lower, a.iroas_upper) == (
        a.incremental / 500.0, a.incremental_lower / 500.0, a.incremental_upper / 500.0)
    assert a.cost_per_incremental == 500.0 / a.incremental
    # The cumulative path ends at the test's incremental units and interval.
    assert a.cumulative[-1] == pytest.approx(a.incremental, rel=1e-12)
    assert (a.cumulative_lower[-1], a.cumulative_upper[-1]) == (
        a.incremental_lower, a.incremental_upper)
    np.testing.assert_allclose(a.cumulative, len(TREATED) * np.cumsum(a.effect), rtol=1e-13,
                               atol=1e-12)


def test_cost_per_incremental_interval_only_clear_of_zero() -> None:
    # (An incremental interval across 0 gives NaN ends, shown "undefined" in
    # test_summary_says_what_each_interval_is.)
    y = panel(seed=8)
    t0 = y.shape[1] - POST
    lifted = y.copy()
    lifted[TREATED, t0:] *= 1.2
    a = quintara.geo_analyze(lifted, TREATED, t0, spend=100.0)
    assert a.incremental_lower > 0
    assert a.cost_per_incremental_lower == 100.0 / a.incremental_upper
    assert a.cost_per_incremental_upper == 100.0 / a.incremental_lower
    assert a.spend == 100.0 and quintara.geo_analyze(y, TREATED, t0).iroas is None


def independent_bands(y, t0, alpha, lookback):
    """Each window fitted alone by fit_sdid; crit_k the numpy 1 - alpha
    quantile of |value at offset k| over the windows."""
    length = y.shape[1] - t0
    first = max(2, length)
    starts = list(range(first, t0 - length + 1))[-lookback:]
    paths = np.array([quintara.fit_sdid(y[:, : s + length], TREATED, s).att_path for s in starts])
    return (np.quantile(np.abs(paths), 1 - alpha, axis=0),
            np.quantile(np.abs(np.cumsum(paths, axis=1)), 1 - alpha, axis=0))


def test_pointwise_bands_from_independent_window_fits(y: np.ndarray) -> None:
    t0 = y.shape[1] - POST
    a = quintara.geo_analyze(y, TREATED, t0, alpha=0.2, lookback=30)
    crit, crit_cum = independent_bands(y, t0, 0.2, 30)
    e = np.asarray(a.effect)
    np.testing.assert_allclose(a.effect_lower, e - crit, rtol=1e-12)
    np.testing.assert_allclose(a.effect_upper, e + crit, rtol=1e-12)
    c = np.asarray(a.cumulative)
    np.testing.assert_allclose(a.cumulative_lower[:-1], (c - 2 * crit_cum)[:-1], rtol=1e-12)
    np.testing.assert_allclose(a.cumulative_upper[:-1], (c + 2 * crit_cum)[:-1], rtol=1e-12)
    # One-sided: the far end of every band is infinite.
    g = quintara.geo_analyze(y, TREATED, t0, alternative="greater")
    assert all(math.isinf(u) for u in g.effect_upper + g.cumulative_upper)


def test_planted_lift_recovered_and_interval_is_where_p_crosses_alpha() -> None:
    y = panel(seed=3, n=20, t=70)
    t0 = y.shape[1] - POST
    lifted = y.copy()
    lifted[TREATED, t0:] *= 1.10
    a = quintara.geo_analyze(lifted, TREATED, t0, alpha=0.1)
    assert a.p_value < 0.1
    assert a.lift_pct_lower < 10.0 < a.lift_pct_upper
    assert a.lift_pct == pytest.approx(10.0, abs=2.0)
    # A constant effect tau taken off the treated post-period moves the ATT
    # by tau alone: inside the interval the test accepts, outside it rejects.
    width = a.ci_upper - a.ci_lower
    for frac, accepted in ((0.02, True), (0.5, True), (0.98, True), (-0.02, False), (1.02, False)):
        shifted = lifted.copy()
        shifted[TREATED, t0:] -= a.ci_lower + frac * width
        p = quintara.geo_analyze(shifted, TREATED, t0, alpha=0.1).p_value
        assert (p >= 0.1) == accepted, (frac, p)


# The treated markets of geo_table and the columns of the long table.
MARKETS = ["m01", "m04"]
KW = {"treated": MARKETS, "unit": "market", "time": "week", "outcome": "sales"}


def geo_table(lift: float = 0.0) -> pd.DataFrame:
    df = pd.DataFrame([(f"m{i:02d}", week, value, 10.0 * (i + 1))
                       for i, row in enumerate(panel(seed=4, n=12, t=50))
                       for week, value in enumerate(row)],
                      columns=["market", "week", "sales", "budget"])
    on = df.market.isin(MARKETS) & df.week.between(40, 45)
    df.loc[on, "sales"] *= 1 + lift
    return df


def test_labelled_analyze_cuts_the_window_and_sums_spend() -> None:
    df = geo_table(lift=0.15)
    a = quintara.analyze(df, start=40, end=45, spend="budget", **KW)
    y = quintara.Panel.from_long(df, "market", "week", "sales").y
    raw = quintara.geo_analyze(y, [1, 4], 40, end_time=46, spend=20.0 + 50.0)
    assert a.raw.att == raw.att and a.raw.iroas == raw.iroas
    assert (a.start, a.end) == (40, 45) and a.p_value == raw.p_value
    frame = a.paths()
    assert len(frame) == 46 and frame["effect"].iloc[:40].isna().all()
    tidy = a.tidy()
    assert list(tidy.index) == ["ATT", "incremental", "lift %", "iROAS", "cost per incremental"]
    assert (tidy["p_value"] == a.p_value).all()
    # The windows' ATT spread, as the compiled record and tidy() give it.
    assert a.se == tidy.loc["ATT", "se"] == raw.se
    text = a.summary()
    assert "incremental units" in text and "iROAS" in text and "40 to 45 (6 periods)" in text


def test_mmm_record_round_trips_through_json(tmp_path) -> None:
    df = geo_table(lift=0.15)
    a = quintara.analyze(df, start=40, end=45, spend=1000.0, **KW)
    out = tmp_path / "mmm.json"
    rec = a.to_mmm("tv", path=out)
    assert json.loads(out.read_text()) == rec == json.loads(json.dumps(rec))
    # Each record by the names its model reads: Robyn's calibration_input
    # columns, Meridian's ExperimentResult and ExperimentInfo fields (with
    # CalibrationInput's channel_name), PyMC-Marketing's lift-test columns.
    assert rec["robyn"] == {
        "channel": "tv", "liftStartDate": 40, "liftEndDate": 45, "liftAbs": a.incremental,
        "spend": 1000.0, "confidence": a.level, "metric": "sales",
        "calibration_scope": "immediate"}
    meridian, pymc, exp = rec["meridian"], rec["pymc_marketing"], rec["experiment"]
    se, sigma = meridian.pop("standard_error"), pymc.pop("sigma")
    assert meridian == {"channel_name": "tv", "point_estimate": a.iroas, "total_spend": 1000.0,
                        "experiment_start_date": 40, "experiment_end_date": 45}
    assert pymc == {"channel": "tv", "x": 0.0, "delta_x": 1000.0, "delta_y": a.incremental}
    # The standard errors are the test's interval's: a model's normal interval
    # at the level is the analysis's; the windows' spread is kept by name.
    z, r = 1.6448536269514722, a.raw  # level 0.9
    assert [a.iroas - z * se, a.iroas + z * se, a.incremental - z * sigma,
            a.incremental + z * sigma] == pytest.approx(
        [r.iroas_lower, r.iroas_upper, r.incremental_lower, r.incremental_upper])
    assert sigma != r.incremental_se
    assert (exp["se_source"], exp["incremental_window_sd"], exp["iroas_window_sd"]) == (
        "interval", r.incremental_se, r.iroas_se)
    assert rec["experiment"]["markets"] == MARKETS
    json.dumps(a.to_dict(), allow_nan=False)
    bare = quintara.analyze(df, start=40, end=45, **KW).to_mmm()
    assert bare["meridian"] is None and bare["pymc_marketing"] is None
    assert bare["robyn"]["spend"] is None


def test_go_dark_exports_the_media_contribution_of_the_spend_withheld() -> None:
    # Media switched off in the test markets. Sales mirrored about a constant
    # make the heavy-up test of the same size (the same weights, the effect
    # negated), so the go-dark returns must be the mirrored heavy-up ones.
    df = geo_table(lift=-0.15)
    kw = {**KW, "start": 40, "end": 45, "spend": 1000.0}
    dark = quintara.analyze(df, alternative="less", **kw)
    up = quintara.analyze(df.assign(sales=200.0 - df.sales), alternative="greater", **kw)
    assert dark.incremental < 0 < dark.iroas
    returns = (["iROAS", "cost per incremental"], ["estimate", "se", "ci_lower", "ci_upper"])
    np.testing.assert_allclose(dark.tidy().loc[returns], up.tidy().loc[returns], rtol=1e-9)
    rec, mirrored = dark.to_mmm("tv"), up.to_mmm("tv")
    assert rec == json.loads(json.dumps(rec))
    for tool, key in (("meridian", "point_estimate"), ("meridian", "standard_error"),
                      ("robyn", "liftAbs"), ("experiment", "iroas_lower")):
        assert rec[tool][key] > 0 and rec[tool][key] == pytest.approx(mirrored[tool][key])
    assert rec["robyn"]["spend"] == rec["meridian"]["total_spend"] == 1000.0
    assert (rec["experiment"]["spend_change"], mirrored["experiment"]["spend_change"]) == (
        "withheld", "added")
    # PyMC-Marketing reads the change as it happened: spend down, sales down.
    pymc = rec["pymc_marketing"]
    assert pymc.pop("sigma") * 1.2815515655446004 == pytest.approx(  # z(0.9)
        dark.raw.incremental_upper - dark.incremental)
    assert pymc == {"channel": "tv", "x": 1000.0, "delta_x": -1000.0, "delta_y": dark.incremental}
    assert rec["experiment"]["se_source"] == "interval"
    assert dark.to_dict()["iroas"] == dark.iroas
    assert dict(dark.summary().info)["Spend"] == "1,000.00 withheld"
    with pytest.raises(ValueError, match=r"baseline_spend 500.0 is below the spend withheld"):
        dark.to_mmm(baseline_spend=500.0)


@pytest.mark.parametrize(
    ("alternative", "lift", "bounds"),
    [("two-sided", 0.0, ("[0.05", "0.95]")), ("greater", 0.15, ("[one-sided", "90%]")),
     ("less", -0.15, ("[one-sided", "90%]"))],
)
def test_summary_says_what_each_interval_is(alternative: str, lift: float, bounds) -> None:
    df = geo_table(lift=lift)
    a = quintara.analyze(df, start=40, end=45, spend=1000.0, alternative=alternative, **KW)
    text = a.summary()
    assert text.header[3:] == bounds
    cost = {row[0]: row[3:] for row in text.rows}["cost per incremental"]
    undefined = a.raw.incremental_lower < 0 < a.raw.incremental_upper
    assert undefined == (lift == 0.0)
    assert (cost == ("undefined", "undefined")) == undefined
    assert ("interval crosses 0" in " ".join(text.notes)) == undefined
    assert "nan" not in text and "-0.0000" not in text
    # A p-value of 0 is the effect beating every window: bounded by their number.
    w = a.raw.n_windows
    assert (f"p = 0: the effect exceeds all {w} historical windows; {w} windows resolve no "
            f"p-value below 1/{w + 1}" in " ".join(text.notes).replace("\n  ", " ")) == (
        a.p_value == 0.0) == (lift != 0.0)
    if alternative != "two-sided":
        # Each row's unbounded end, shown as such: the going-dark iROAS (units
        # lost per unit withheld) is bounded below, and spend over units at 0.
        ends = [c for row in text.rows for c in row[3:] if c in ("inf", "-inf", "0.0000")]
        unbounded = ["inf"] * 4 if alternative == "greater" else ["-inf"] * 3 + ["inf"]
        assert ends == [*unbounded, "0.0000"]


def test_a_market_selling_nothing_has_no_lift_in_percent() -> None:
    # The one treated market sells nothing and its controls fell during the
    # test: the synthetic path, so the counterfactual total, is below 0, and
    # a ratio to it would give a lift of -100% for units gained.
    df = geo_table()
    df.loc[df.market == "m01", "sales"] = 0.0
    df.loc[(df.market != "m01") & (df.week >= 40), "sales"] -= 3.0
    a = quintara.analyze(df, start=40, end=45, spend=100.0, **{**KW, "treated": ["m01"]})
    assert a.raw.counterfactual_total <= 0 < a.incremental
    assert math.isnan(a.lift_pct) and "undefined" in repr(a) and "nan" not in repr(a)
    text = a.summary()
    rows = {row[0]: row[1:] for row in text.rows}
    assert rows["lift %"] == ("undefined", rows["ATT (per market-period)"][1], "undefined",
                              "undefined")
    assert "is not positive" in " ".join(text.notes).replace("\n  ", " ")
    assert "nan" not in text
    assert a.tidy().loc["lift %", ["estimate", "ci_lower", "ci_upper"]].isna().all()
    # No model below takes a relative lift: the absolute fields stand.
    rec = a.to_mmm("tv")
    json.dumps([rec, a.to_dict()], allow_nan=False)
    assert rec["experiment"]["lift_pct"] is None is a.to_dict()["lift_pct"]
    assert rec["experiment"]["incremental"] == rec["robyn"]["liftAbs"] == a.incremental
    assert rec["pymc_marketing"]["delta_y"] == a.incremental
    assert rec["meridian"]["point_estimate"] == a.iroas == a.incremental / 100.0
    if importlib.util.find_spec("matplotlib") is not None:
        import matplotlib

        matplotlib.use("Agg")
        assert a.plot()[0].get_title() == f"m01: lift undefined (p = {a.p_value:.3g})"


@pytest.mark.parametrize(("alternative", "lift"), [("less", -0.15), ("greater", 0.15)])
def test_plot_draws_a_one_sided_band_to_the_edge(alternative: str, lift: float) -> None:
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    df = geo_table(lift=lift)
    a = quintara.analyze(df, start=40, end=45, alternative=alternative, **KW)
    top, bottom = a.plot()
    # Going dark, the untreated paths not rejected lie above the observed one
    # and the cumulative units below their upper bound; heavy-up, the reverse.
    for ax, edge in ((top, 1), (bottom, 0)) if alternative == "less" else ((top, 0), (bottom, 1)):
        (band,) = ax.collections
        y = np.concatenate([p.vertices[:, 1] for p in band.get_paths()])
        assert y.size and np.isfinite(y).all()
        assert (y.max() if edge else y.min()) == ax.get_ylim()[edge]
        assert band.get_label() in [t.get_text() for t in ax.get_legend().get_texts()]
    matplotlib.pyplot.close(top.figure)


def test_refusals_name_the_argument(y: np.ndarray) -> None:
    with pytest.raises(ValueError, match=r"end_time must be after treat_time \(54\)"):
        quintara.geo_analyze(y, TREATED, 54, end_time=54)
    with pytest.raises(ValueError, match="spend must be finite and > 0"):
        quintara.geo_analyze(y, TREATED, 54, spend=0.0)
    df = geo_table()
    with pytest.raises(TypeError, match="unexpected option.*n_candidates"):
        quintara.analyze(df, start=40, n_candidates=3, **KW)
    with pytest.raises(ValueError, match="end 30 is before start 40"):
        quintara.analyze(df, start=40, end=30, **KW)
    # Too little history for the test: said in analyze's terms, not the
    # compiled entry's (whose wording is its own and not pinned here).
    with pytest.raises(ValueError, match=r"\bstart 10\b") as refused:
        quintara.analyze(df, start=10, end=45, **KW)
    assert not re.search(r"treat_time|post-period", str(refused.value))
    with pytest.raises(ValueError, match="treated lists market m04 more than once"):
        quintara.analyze(df, start=40, **{**KW, "treated": ["m04", "m01", "m04"]})
    # A market the panel lacks is refused naming the option that lists it.
    with pytest.raises(ValueError, match="^control_pool: unit 'm99' is not in the panel"):
        quintara.analyze(df, start=40, control_pool=["m05", "m99"], **KW)
    # A panel with holes is refused naming the cells, as synth names them.
    with pytest.raises(ValueError, match="m03 lacks 7"):
        quintara.analyze(with_hole(df, "m03"), treated=MARKETS, start=40)


def with_hole(df: pd.DataFrame, market: str) -> quintara.Panel:
    """The panel of `df` with `market`'s cell of week 7 missing."""
    full = quintara.Panel.from_long(df, "market", "week", "sales")
    holes = full.y.copy()
    holes[list(full.units).index(market), 7] = np.nan
    return quintara.Panel(holes, full.units, full.periods, allow_missing=True)


def clone_table() -> pd.DataFrame:
    """geo_table with m01b, a copy of treated m01's series (its lift too),
    listed first so that leaving it out moves the other markets' rows."""
    df = geo_table(lift=0.15)
    return pd.concat([df[df.market == "m01"].assign(market="m01b"), df], ignore_index=True)


CONTROLS = [f"m{i:02d}" for i in range(12) if f"m{i:02d}" not in MARKETS]


@pytest.mark.parametrize("leave_out", [
    {"exclude": "m01b"},
    {"control_pool": CONTROLS},
    {"exclude": ["m01b", "m01b"], "control_pool": ["m01b", *CONTROLS]},
    # A design's pool holds the markets it went on to treat.
    {"control_pool": [*MARKETS, *CONTROLS]},
])
def test_a_market_left_out_is_as_if_the_data_never_held_it(leave_out) -> None:
    df = clone_table()
    kw = {**KW, "start": 40, "end": 45, "spend": "budget"}
    dropped = quintara.analyze(df[df.market != "m01b"], **kw)
    # As a control, the clone of a treated market takes up part of its lift.
    assert quintara.analyze(df, **kw).att < dropped.att - 1.0
    left = quintara.analyze(df, **kw, **leave_out)
    record, expected = left.to_dict(), dropped.to_dict()
    assert (record.pop("excluded"), expected.pop("excluded")) == (["m01b"], [])
    assert record == expected and record["controls"] == CONTROLS
    assert left.to_mmm()["experiment"]["excluded"] == ["m01b"]
    assert dict(left.summary().info)["Excluded"] == "m01b"
    # A market left out never enters the fit: its holes do not matter.
    assert quintara.analyze(with_hole(df, "m01b"), treated=MARKETS, start=40, end=45,
                            **leave_out).att == dropped.att


@pytest.mark.parametrize(("leave_out", "message"), [
    ({"exclude": MARKETS}, "treated and exclude share markets m01, m04; exclude lists markets "
     "left out of the fit, which a treated market cannot be"),
    ({"control_pool": MARKETS}, "exclude and control_pool leave no control market; at least "
     "one must remain"),
    ({"exclude": ["m05"], "control_pool": "m05"},
     "exclude and control_pool leave no control market; at least one must remain"),
])
def test_exclude_and_control_pool_refuse_a_treated_market_and_no_controls(
    leave_out, message
) -> None:
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        quintara.analyze(geo_table(), start=40, **KW, **leave_out)


BAD_SPEND = "spend column 'budget' is missing, non-finite or negative for treated markets "
NOT_SPEND = "spend must be a number or a unit-level column name, not "


@pytest.mark.parametrize(("spend", "planted", "error", "message"), [
    ("budget", {"m04": np.nan, "m07": np.nan}, ValueError, BAD_SPEND + "m04 (nan)"),
    ("budget", {"m01": -30.0, "m04": np.inf}, ValueError, BAD_SPEND + "m01 (-30.0), m04 (inf)"),
    (True, {}, TypeError, NOT_SPEND + "bool"),
    ([70.0], {}, TypeError, NOT_SPEND + "list"),
])
def test_spend_refusals_name_the_argument_and_markets(spend, planted, error, message) -> None:
    # A missing spend would count as 0 in the sum and a negative one offset
    # the others, overstating the iROAS.
    df = geo_table(lift=0.15)
    for market, value in planted.items():
        df.loc[df.market == market, "budget"] = value
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        quintara.analyze(df, start=40, end=45, spend=spend, **KW)


def test_cli_analyze_writes_summary_record_and_plot(tmp_path, capsys) -> None:
    pytest.importorskip("matplotlib")
    from quintara import cli

    df = geo_table(lift=0.15)
    data = tmp_path / "geo.csv"
    df.to_csv(data, index=False)
    mmm, png = tmp_path / "mmm.json", tmp_path / "a.png"
    argv = ["analyze", str(data), "--unit", "market", "--time", "week", "--outcome", "sales",
            "--treated", *MARKETS, "--start", "40", "--end", "45", "--spend", "budget",
            "--mmm", str(mmm), "--channel", "search", "--plot", str(png), "--no-progress"]
    assert cli.main(argv) == 0
    assert "Geo-experiment analysis" in capsys.readouterr().out
    record = json.loads(mmm.read_text())
    assert record["robyn"]["channel"] == "search" and record["robyn"]["spend"] == 70.0
    assert png.stat().st_size > 0
