"""quintara.table puts results side by side; summaries print large numbers with
separators, elide long event studies and render as HTML."""

from __future__ import annotations

import math
import re

import numpy as np
import pandas as pd
import pytest

import quintara
from quintara._summary import num
from quintara.datasets import load_table


@pytest.fixture(scope="module")
def three(prop99: quintara.Panel) -> list[quintara.SynthResult]:
    fit = {"treated": "California", "start": 1989}
    return [quintara.synth(prop99, **fit, method="sc", inference="placebo"),
            quintara.synth(prop99, **fit, method="sdid", inference="placebo"),
            quintara.synth(prop99, **fit, method="sc", inference="conformal", level=0.9)]


@pytest.fixture(scope="module")
def jobs() -> quintara.StaggeredResult:
    return quintara.staggered(load_table("mpdta"), adoption="first_treat", unit="countyreal",
                              time="year", outcome="lemp")


def _cells(text: str, label: str) -> list[str]:
    """The cells of a text table's row, split on runs of two or more spaces."""
    line = next(row for row in text.splitlines() if row.startswith(label))
    return re.split(r"\s{2,}", line[len(label):].strip())


def test_sc_sdid_and_conformal_fits_of_prop99_side_by_side(three: list) -> None:
    sc, sdid, conformal = three
    t = quintara.table(three)
    text = str(t)
    assert t.names == ["(1) sc", "(2) sdid", "(3) sc"]
    assert _cells(text, "Estimate") == [num(r.att) for r in three]
    assert _cells(text, "p-value") == [num(r.p_value) for r in three]
    # Levels differ (0.95, 0.95, 0.9): each interval names its own.
    assert _cells(text, "Interval") == [
        f"[{num(r.ci[0])}, {num(r.ci[1])}] ({lv})"
        for r, lv in zip(three, ["95%", "95%", "90%"], strict=True)]
    assert _cells(text, "Std. error") == ["-", "-", "-"]  # placebo and conformal have no SE
    assert _cells(text, "N units") == ["39"] * 3 and _cells(text, "N periods") == ["31"] * 3
    assert _cells(text, "Inference") == ["placebo", "placebo", "conformal"]
    frame = t.to_frame()
    assert frame.loc["estimate"].tolist() == [r.att for r in three]
    assert frame.loc["ci_lower"].tolist() == [r.ci[0] for r in three]
    assert frame.loc["level"].tolist() == [0.95, 0.95, 0.9]
    assert frame.loc["method"].tolist() == ["sc", "sdid", "sc"]
    html = t._repr_html_()
    assert html == t.to_html() and html.startswith('<table class="quintara-table">')
    assert html.count("<tr") == 1 + len(t.stats)
    assert f'<td style="text-align: right">{num(sdid.att)}</td>' in html
    latex = t.to_latex()
    assert latex.startswith("\\begin{tabular}{lrrr}") and latex.count("\\\\") == 1 + len(t.stats)
    assert "(95\\%)" in latex and "(90\\%)" in latex  # % escaped


def test_names_stats_formats_and_other_results(three: list, jobs, prop99) -> None:
    sc = three[0]
    named = quintara.table({"<b>A&B</b>": sc, "x_1 %": jobs}, stats=["estimate", "se", "n_treated"])
    assert named.names == ["<b>A&B</b>", "x_1 %"]
    assert "&lt;b&gt;A&amp;B&lt;/b&gt;" in named.to_html() and "<b>A" not in named.to_html()
    assert "x\\_1 \\%" in named.to_latex()
    text = named.to_text()
    assert [r.split()[0] for r in text.splitlines()[3:-1] if r.strip("-")] == \
        ["Estimate", "Std.", "N"]  # the rows asked for, in that order
    assert _cells(text, "Std. error") == ["-", f"({num(jobs.se)})"]
    assert _cells(text, "N treated") == ["1", str(int(jobs.cohorts.notna().sum()))]
    # One result alone; fmt chooses what str() gives; digits the decimals.
    assert str(quintara.table(sc, fmt="latex")).startswith("\\begin{tabular}")
    assert str(quintara.table(sc, fmt="html")).startswith("<table")
    assert _cells(str(quintara.table(sc, digits=2)), "Estimate") == [f"{sc.att:.2f}"]
    # A DiD column: its overall ATT with the normal interval and clustered SE.
    cols = quintara.table([jobs, sc]).to_frame()
    assert cols.loc["estimate"].tolist() == [jobs.att, sc.att]
    assert (cols.loc["ci_lower", "callaway"], cols.loc["p_value", "callaway"]) == (
        jobs.ci[0], jobs.raw.p_value)
    assert cols.loc["inference", "callaway"] == "normal, 500 unit clusters"
    assert quintara.table([sc, sc]).names == ["(1) sc", "(2) sc"]
    # An analysis and a Bacon decomposition have estimates too.
    geo = load_table("geo_sales")
    report = quintara.analyze(geo, treated=["Denver"], start="2025-10-06", end="2025-11-03",
                              unit="market", time="week", outcome="sales", method="sc")
    bacon = quintara.staggered(jobs.panel, adoption=jobs.cohorts.to_dict(), method="bacon")
    f = quintara.table([report, bacon]).to_frame()
    assert f.loc["estimate"].tolist() == [report.att, bacon.att]
    assert f.loc["ci_upper", "sc"] == report.ci[1] and f.loc["se", "bacon"] is None
    assert f.loc["se", "sc"] == report.raw.se == report.tidy().se.iloc[0]  # as tidy() has it
    # The periods the analysis read, none past the test's end.
    weeks = list(report.panel.periods)
    assert f.loc["n_periods", "sc"] == weeks.index("2025-11-03") + 1 < len(weeks)


def test_empty_and_one_sided_intervals_say_so(prop99) -> None:
    empty = quintara.synth(prop99, treated="California", start=1989, inference="conformal",
                           level=0.5)
    one = quintara.synth(prop99, treated=["California", "Nevada"], start=1997,
                         inference="in_time", alternative="greater")
    assert math.isnan(empty.ci[0]) and one.ci[1] == math.inf
    t = quintara.table([empty, one])
    assert _cells(t.to_text(), "Interval") == [
        "empty (50%)", f"[{num(one.ci[0])}, inf] (90%, one-sided)"]
    f = t.to_frame()
    assert f.loc["alternative"].tolist() == ["two-sided", "greater"]
    assert re.search(r"\[one-sided +90%\]", one.summary())


@pytest.mark.parametrize("given, kwargs, error, message", [
    ("power", {}, TypeError, "table: results[1] is a PowerAnalysis, which has no estimate to "
                             "compare (a design, not an estimate)"),
    ("raw", {}, TypeError, "table: results[1] is a SCResult, which has no estimate to compare; "
                           "pass the labelled results of synth, staggered or analyze"),
    ("str", {}, TypeError, "table: results must be a result, a sequence of results or a "
                           "mapping of names to results; got str"),
    ("empty", {}, ValueError, "table: results is empty"),
    ("two", {"stats": ["estimate", "r2"]}, ValueError, "table: unknown stats ['r2']; choose from "
     "estimate, se, interval, p_value, n_units, n_treated, n_periods, method, inference"),
    ("two", {"stats": []}, ValueError, "table: stats is empty"),
    ("two", {"fmt": "md"}, ValueError, "table: fmt must be one of text, html, latex; got 'md'"),
    ("two", {"names": ["a"]}, ValueError, "table: 1 names for 2 results"),
    ("two", {"digits": -1}, ValueError, "table: digits must be an integer from 0 to 12; got -1"),
])
def test_what_table_refuses(given, kwargs, error, message, three, geo) -> None:
    sc = three[0]
    if given == "power":
        results = [sc, quintara.power(geo, treated=["Denver"], test_len=4, lifts=[0.0, 0.1],
                                      method="sc", lookback=4)]
    else:
        results = {"raw": [sc, sc.raw], "str": "sc", "empty": [], "two": [sc, sc]}[given]
    with pytest.raises(error) as e:
        quintara.table(results, **kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("value, digits, text", [
    (21345.2, 4, "21,345.2"),
    (-1234.5, 4, "-1,234.50"),
    (1234.5678, 2, "1,234.6"),
    (123456789.0, 4, "123,456,789.0"),
    (999.99999, 4, "1,000.00"),         # rounding crosses 1,000: separators, not "1000.0000"
    (999.4, 4, "999.4000"),
    (1e-5, 4, "0.0000"),
    (-3e15, 4, "-3e+15"),
    (12345, 4, "12,345"),
    (np.int64(-20000), 4, "-20,000"),
    (1989, 4, "1989"),                  # four-digit integers (years) stay as they are
    (True, 4, "True"),
    (None, 4, "-"),
    (math.nan, 4, "nan"),
    (-math.inf, 4, "-inf"),
])
def test_number_cells(value, digits, text) -> None:
    assert num(value, digits) == text


def test_large_outcomes_print_with_separators_not_exponents() -> None:
    geo = load_table("geo_sales")
    fit = quintara.synth(geo, treated=["Denver", "Portland"], start="2025-10-06", method="sc",
                         unit="market", time="week", outcome="sales")
    assert abs(fit.raw.pre_rmspe) >= 1e3  # weekly sales in the tens of thousands
    text = fit.summary()
    assert "e+" not in text and num(fit.raw.pre_rmspe) in text and "," in num(fit.raw.pre_rmspe)
    assert "e+" not in quintara.table(fit).to_text()


def _long_staggered() -> pd.DataFrame:
    rng = np.random.default_rng(3)
    n, t = 60, 30
    unit = np.repeat(np.arange(n), t)
    year = np.tile(np.arange(2000, 2000 + t), n)
    adopt = np.repeat(np.where(np.arange(n) < 20, 2012, np.where(np.arange(n) < 40, 2018, 0)), t)
    y = rng.normal(size=n * t) + ((adopt > 0) & (year >= adopt))
    return pd.DataFrame({"u": unit, "t": year, "y": y, "g": adopt})


def test_long_event_studies_print_a_window_around_adoption(jobs) -> None:
    fit = quintara.staggered(_long_staggered(), adoption="g", unit="u", time="t", outcome="y",
                             method="sunab")
    times = [int(e) for e in fit.raw.event_time]
    lines = fit.summary().splitlines()
    printed = [int(r.split()[1]) for r in lines if r.startswith("event ")]
    assert printed == [e for e in times if abs(e) <= 5] and len(printed) < len(times)
    below = sum(1 for e in times if e < -5)
    above = sum(1 for e in times if e > 5)
    # One elision row on each side, where the left-out rows were.
    first = lines.index(next(r for r in lines if r.startswith("event ")))
    assert lines[first - 1] == f"... ({below} event times elided)"
    last = max(i for i, r in enumerate(lines) if r.startswith("event "))
    assert lines[last + 1] == f"... ({above} event times elided)"
    assert lines[last + 2].startswith("pre-trends")  # the rows after the event study stay
    assert f"{below + above} event times outside -5..+5 are left out" in fit.summary()
    assert len(fit.to_frame()) == len(times) and len(fit.tidy()) > len(times)
    # A short event study prints whole.
    assert "elided" not in jobs.summary()
    assert sum(r.startswith("event ") for r in jobs.summary().splitlines()) == len(
        jobs.raw.event_time)


def test_every_result_renders_as_html_with_labels_escaped(jobs) -> None:
    geo = load_table("geo_sales")
    geo["market"] = geo.market.replace({"Denver": "<Denver & co>"})
    panel = quintara.Panel.from_long(geo, unit="market", time="week", outcome="sales")
    treated = ["<Denver & co>"]
    results = [
        quintara.synth(panel, treated=treated, start="2025-10-06", method="sc"),
        quintara.synth(panel, treated=[*treated, "Portland"], start="2025-10-06",
                       method="cpasc"),
        quintara.power(panel, treated=treated, test_len=4, lifts=[0.0, 0.1], method="sc",
                       lookback=4),
        quintara.select_markets(panel, eligible=["Austin", "<Denver & co>"], max_treated=1,
                                test_len=4, target_lift=0.1, n_candidates=2, method="sc",
                                lookback=3),
        quintara.diagnose(panel, treated=treated, test_len=4),
        quintara.analyze(panel, treated=treated, start="2025-10-06", method="sc"),
    ]
    results.append(jobs)
    kinds = set()
    for r in results:
        html = r._repr_html_()
        kinds.add(type(r).__name__)
        assert html.startswith('<table class="quintara-summary">'), type(r)
        assert "<caption>" in html and "<Denver" not in html
        # Every info pair of the summary is a row.
        assert html.count("<tr>") >= len(r.summary().splitlines()) // 4, type(r)
    assert "&lt;Denver &amp; co&gt;" in results[0]._repr_html_()
    assert len(kinds) == len(results)
