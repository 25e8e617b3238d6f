"""Every plot renders with the Agg backend, labelled, on a given or a new Axes."""

from __future__ import annotations

from pathlib import Path

import pytest

import quintara
from quintara.datasets import load_table

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
plt = pytest.importorskip("matplotlib.pyplot")


def test_every_plot_renders_labelled(tmp_path: Path) -> None:
    prop99 = quintara.Panel.from_long(load_table("prop99").query("Year <= 1995"), unit="State",
                                      time="Year", outcome="PacksPerCapita")
    sc = quintara.synth(prop99, treated=["California"], start=1989, inference="placebo")
    cs = quintara.staggered(load_table("mpdta"), adoption="first_treat", unit="countyreal",
                            time="year", outcome="lemp", bands=True, n_reps=99)
    bacon = quintara.staggered(cs.panel, adoption=cs.cohorts.to_dict(), method="bacon")
    geo = quintara.Panel.from_long(load_table("geo_sales"), unit="market", time="week",
                                   outcome="sales")
    pw = quintara.power(geo, treated=["Denver"], test_len=4, lifts=[0.0, 0.05, 0.1, 0.2],
                        method="sc", lookback=8)
    sel = quintara.select_markets(geo, eligible=["Austin", "Denver", "Tampa"], max_treated=2,
                                  test_len=4, target_lift=0.1, n_candidates=4, method="sc",
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
    # A given Axes is drawn on and returned.
    fig, given = plt.subplots()
    assert cs.plot(ax=given) is given and len(given.collections) > 0
    plt.close("all")


def test_real_time_axes_honest_titles_and_the_twfe_estimate() -> None:
    geo = quintara.Panel.from_long(load_table("geo_sales"), unit="market", time="week",
                                   outcome="sales")
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
    twfe = quintara.staggered(load_table("mpdta"), adoption="first_treat", unit="countyreal",
                              time="year", outcome="lemp", method="twfe")
    ax = twfe.plot()
    estimate, low, high = ax.get_lines()[:3]  # the point, then its interval's caps
    assert (estimate.get_ydata()[0], low.get_ydata()[0], high.get_ydata()[0]) == (
        twfe.att, *twfe.ci)
    assert ax.get_title().startswith("twfe: ATT")
    plt.close("all")
