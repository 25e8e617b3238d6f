"""Every plot renders with the Agg backend, labelled, on a given or a new Axes."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import quintara
from quintara.datasets import load_table

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
plt = pytest.importorskip("matplotlib.pyplot")
MPDTA = {"adoption": "first_treat", "unit": "countyreal", "time": "year", "outcome": "lemp"}


def test_every_plot_renders_labelled(tmp_path: Path, geo: quintara.Panel) -> None:
    prop99 = quintara.Panel.from_long(load_table("prop99").query("Year <= 1995"), unit="State",
                                      time="Year", outcome="PacksPerCapita")
    sc = quintara.synth(prop99, treated=["California"], start=1989, inference="placebo")
    cs = quintara.staggered(load_table("mpdta"), bands=True, n_reps=99, **MPDTA)
    bacon = quintara.staggered(cs.panel, adoption=cs.cohorts.to_dict(), method="bacon")
    pw = quintara.power(geo, treated=["Denver"], test_len=4, lifts=[0.0, 0.05, 0.1, 0.2],
                        method="sc", lookback=8)
    sel = quintara.select_markets(geo, eligible=["Austin", "Denver", "Tampa"], max_treated=2,
                                  test_len=4, target_lift=0.025, n_candidates=4, method="sc",
                                  lookback=3)
    diag = quintara.diagnose(geo, treated=["Denver"], test_len=4)
    draws = {"paths": sc.plot, "placebos": sc.plot_placebos, "event": cs.plot,
             "bacon": bacon.plot, "power": pw.plot, "markets": sel.plot, "design": diag.plot}
    for name, draw in draws.items():
        ax = draw()
        assert ax.get_xlabel() and ax.get_ylabel() or ax.get_yticklabels(), name
        ax.figure.savefig(tmp_path / f"{name}.png")
        assert (tmp_path / f"{name}.png").stat().st_size > 5000, name
        plt.close(ax.figure)
    # The treatment start is marked at its period; the MDE where the curve crosses the target.
    ax = sc.plot()
    assert any(list(line.get_xdata()) == [1989, 1989] for line in ax.get_lines())
    assert pw.mde is not None and any(
        list(line.get_xdata()) == [100 * pw.mde] * 2 for line in pw.plot().get_lines()
    )
    # The target lift as given, not rounded to a whole percent.
    ax = sel.plot()
    assert (ax.get_title(), ax.get_xlabel()) == (
        "Best treated-market sets for a 2.5% lift", "power at a 2.5% lift")
    # The placebo title's p-value is the one of the test drawn.
    assert sc.plot_placebos().get_title().endswith(f"placebo p = {sc.p_value:.3f})")
    in_time = quintara.synth(prop99, treated=["California"], start=1989, inference="in_time",
                             lookback=3)
    assert in_time.plot_placebos().get_title().endswith("donors, single-donor test)")
    # An explicit order's positions are drawn as its labels.
    waves = [f"wave {k}" for k in range(prop99.shape[1])]
    ordered = quintara.Panel(prop99.y, list(prop99.units), waves)
    ax = quintara.synth(ordered, treated="California", start="wave 19").plot()
    ax.figure.canvas.draw()
    shown = [t.get_text() for t in ax.figure.axes[1].get_xticklabels() if t.get_text()]
    assert shown and set(shown) <= set(waves)
    # A given Axes is drawn on and returned.
    fig, given = plt.subplots()
    assert cs.plot(ax=given) is given and len(given.collections) > 0
    plt.close("all")


def test_real_time_axes_honest_titles_and_the_twfe_estimate(geo: quintara.Panel) -> None:
    # Weeks as text dates: drawn on a date axis with a handful of readable ticks.
    ax = quintara.diagnose(geo, treated=["Denver"], test_len=4).plot()
    ax.figure.canvas.draw()
    ticks = [t.get_text() for t in ax.get_xticklabels() if t.get_text()]
    assert 3 <= len(ticks) <= 9 and all(not t.startswith("20") or len(t) <= 10 for t in ticks)
    many = list(geo.units[:5])
    sc = quintara.synth(geo, treated=many, start=geo.periods[-8], method="sc")
    ax = sc.plot()
    assert ax.get_title().startswith("5 treated units (mean): ATT")
    assert "mean of 5" in [t.get_text() for t in ax.get_legend().get_texts()][0]
    twfe = quintara.staggered(load_table("mpdta"), method="twfe", **MPDTA)
    ax = twfe.plot()
    estimate, low, high = ax.get_lines()[:3]  # the point, then its interval's caps
    assert (estimate.get_ydata()[0], low.get_ydata()[0], high.get_ydata()[0]) == (
        twfe.att, *twfe.ci)
    assert ax.get_title().startswith("twfe: ATT")
    plt.close("all")


def test_fit_plot_draws_the_effect_path_its_band_and_the_cumulative_effect(
        prop99: quintara.Panel) -> None:
    conformal = quintara.synth(prop99, treated="California", start=1989, inference="conformal")
    ax = conformal.plot()
    paths, effect, cumulative = ax.figure.axes  # the cumulative effect on the twin axis
    assert paths is ax and effect.get_shared_x_axes().joined(paths, effect)
    gap = (conformal.observed - conformal.synthetic).to_numpy()
    line = effect.get_lines()[0]
    assert list(line.get_xdata()) == list(range(1970, 2001))
    np.testing.assert_array_equal(line.get_ydata(), gap)
    band = effect.collections[0].get_paths()[0].vertices  # the pointwise band's outline
    pw = conformal.pointwise
    assert band[:, 0].min() == 1989 and band[:, 0].max() == 2000
    assert band[:, 1].min() == pytest.approx(pw.lower.min()) and \
        band[:, 1].max() == pytest.approx(pw.upper.max())
    cum = cumulative.get_lines()[0]
    assert list(cum.get_xdata()) == list(range(1989, 2001))
    assert cum.get_ydata()[-1] == pytest.approx(conformal.effects.sum())
    assert cum.get_ydata()[0] == conformal.effects.iloc[0]
    assert "cumulative" in cumulative.get_ylabel() and effect.get_xlabel() == "Year"
    # Without pointwise intervals there is no band; a single Axes gets the paths alone.
    placebo = quintara.synth(prop99, treated="California", start=1989)
    assert not placebo.plot().figure.axes[1].collections
    fig, one = plt.subplots()
    assert placebo.plot(ax=one) is one and fig.axes == [one] and one.get_xlabel() == "Year"
    fig, pair = plt.subplots(2, 1)
    assert placebo.plot(ax=list(pair)) is pair[0] and pair[1].get_lines()
    assert placebo.plot(effects=False).figure.axes == [plt.gca()]
    with pytest.raises(ValueError, match="ax must be one Axes or a pair; got 3"):
        placebo.plot(ax=[one, one, one])
    plt.close("all")


def _markers(ax):
    return [ln for ln in ax.get_lines() if ln.get_marker() == "D"]


def test_event_study_marks_its_reference_period_and_counts_cohorts() -> None:
    mpdta = load_table("mpdta")
    fits = {kind: quintara.staggered(mpdta, **MPDTA, **kw)
            for kind, kw in {"varying": {}, "universal": {"base_period": "universal"},
                             "sunab": {"method": "sunab"},
                             "imputation": {"method": "imputation"}}.items()}
    # Cohorts 2004, 2006 and 2007 in 2003..2007: at e = -4 only 2007 is observed, at
    # e = -1 all three, at e = +3 only 2004.
    expected = {-4: 1, -3: 2, -2: 2, -1: 3, 0: 3, 1: 2, 2: 1, 3: 1}
    for kind, fit in fits.items():
        assert fit.cohort_counts.to_dict() == {e: expected[e] for e in fit.raw.event_time}, kind
    assert {k: f.reference_period for k, f in fits.items()} == {
        "varying": None, "universal": -1, "sunab": -1, "imputation": None}
    for kind in ("universal", "sunab"):
        ax = fits[kind].plot()
        (marker,) = _markers(ax)
        assert (list(marker.get_xdata()), list(marker.get_ydata())) == ([-1], [0.0])
        assert "reference period (-1)" in [t.get_text() for t in ax.get_legend().get_texts()][0]
        assert ax.get_xlabel().endswith("base period -1)")
    assert "universal base period -1" in fits["universal"].plot().get_xlabel()
    ax = fits["varying"].plot()
    assert not _markers(ax) and "varying base period" in ax.get_xlabel()
    # Counts along the axis, one per event time, only when asked.
    ax = fits["sunab"].plot(show_counts=True)
    counts = {t.xy[0]: t.get_text() for t in ax.texts if t.get_text() != "adoption"}
    assert counts == {e: str(n) for e, n in fits["sunab"].cohort_counts.items()}
    assert len(fits["sunab"].plot().texts) == 1 and "cohorts per event time" in ax.get_xlabel()
    plt.close("all")


def test_power_curve_writes_the_mde_clear_of_the_legend(geo: quintara.Panel) -> None:
    # The MDE right of the middle, then near the left edge.
    for lifts in ([0.0, 0.01, 0.02, 0.03, 0.04, 0.05, 0.06], [0.0, 0.05, 0.5, 1.0]):
        pw = quintara.power(geo, treated=["Denver"], test_len=4, lifts=lifts, method="sc",
                            lookback=8)
        assert pw.mde is not None
        ax = pw.plot()
        ax.figure.canvas.draw()
        (label,) = [t for t in ax.texts if t.get_text().startswith("MDE")]
        assert label.get_text() == f"MDE {100 * pw.mde:.1f}%"
        legend = ax.get_legend()
        assert not label.get_window_extent().overlaps(legend.get_window_extent())
        assert ax.bbox.contains(*label.get_window_extent().corners()[0])
        assert all("MDE" not in t.get_text() for t in legend.get_texts())
        plt.close("all")
