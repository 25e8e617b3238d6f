"""`python -m quintara` (and `quintara demo`): a tour on the bundled data.

1. Proposition 99 (California's 1989 tobacco tax): synthetic control and
   synthetic difference-in-differences, each with placebo inference.
2. The minimum-wage panel: a Callaway-Sant'Anna event study of staggered
   adoption.
3. A geo experiment on weekly sales of 40 markets: the power of a test on two
   markets, and a search for the best markets to treat.

Prints a short report and writes plots to a folder it names (when matplotlib
is installed).
"""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Any

import quintara
from quintara.datasets import load_table

GEO_TREATED = ["Denver", "Portland"]
GEO_TEST_WEEKS = 8
GEO_LOOKBACK = 26  # most recent placebo windows: half a year of history
# Markets the marketing team could run the test in; the search picks from these.
GEO_ELIGIBLE = ["Austin", "Charlotte", "Cincinnati", "Cleveland", "Columbus", "Denver", "Indianapolis",
                "Kansas City", "Milwaukee", "Nashville", "Portland", "Raleigh", "Sacramento", "Salt Lake City"]


def _plotting() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    return plt


def demo(out: str | None = None) -> None:
    """Run the demo, printing the report and writing plots to `out` (default ./quintara-demo)."""
    started = time.perf_counter()
    plt = _plotting()
    folder = Path(out or "quintara-demo")
    plots: list[tuple[Any, str]] = []
    say = print

    say(f"quintara {quintara.__version__} demo: three questions answered from bundled long tables\n")

    prop99 = quintara.Panel.from_long(load_table("prop99"), unit="State", time="Year", outcome="PacksPerCapita")
    sc = quintara.synth(prop99, treated=["California"], start=1989, method="sc", inference="placebo")
    sdid = quintara.synth(prop99, treated=["California"], start=1989, method="sdid", inference="placebo")
    top = sc.weights.sort_values(ascending=False).head(3)
    say("1. Did California's 1989 tobacco tax (Proposition 99) cut cigarette sales?")
    say(f"   {prop99!r}")
    say(f"   Synthetic control builds a 'California without the tax' from other states "
        f"({', '.join(f'{k} {v:.0%}' for k, v in top.items())}).")
    for name, r in (("Synthetic control", sc), ("Synthetic diff-in-diff", sdid)):
        say(f"   {name:<23} {r.att:6.1f} packs per person per year, placebo p = {r.p_value:.3f}")
    say(f"   Reading: after 1989 California smoked about {-sc.att:.0f} fewer packs per person a year than its"
        " synthetic twin;\n   few of the 38 other states, refitted as if treated, show a gap that large.\n")
    plots += [(sc.plot, "prop99_synthetic_control.png"), (sdid.plot_placebos, "prop99_sdid_placebos.png")]

    mw = quintara.staggered(load_table("mpdta"), adoption="first_treat", estimator="callaway",
                            unit="countyreal", time="year", outcome="lemp", bands=True)
    es = mw.event_study
    say("2. Did raising the minimum wage change teen employment? (500 counties, 2003-2007, staggered adoption)")
    say(f"   Callaway-Sant'Anna ATT on log teen employment: {mw.att:.3f} (se {mw.se:.3f}),"
        f" about {100 * mw.att:.1f}% employment.")
    say("   Event study (years since adoption): "
        + ", ".join(f"{k:+d}: {v:.3f}" for k, v in zip(es.index.tolist(), es.att, strict=True)))
    say("   Reading: the pre-adoption estimates sit near zero (parallel trends are plausible); "
        "the effect grows with time.\n")
    plots.append((mw.plot, "minimum_wage_event_study.png"))

    geo = quintara.Panel.from_long(load_table("geo_sales"), unit="market", time="week", outcome="sales")
    pw = quintara.power(geo, GEO_TREATED, GEO_TEST_WEEKS, [0.0, 0.02, 0.04, 0.06, 0.08, 0.10, 0.12],
                        method="sdid", lookback=GEO_LOOKBACK)
    sel = quintara.select_markets(geo, GEO_TEST_WEEKS, 0.05, 3, eligible=GEO_ELIGIBLE, method="sdid",
                                  n_candidates=24, lookback=GEO_LOOKBACK // 2)
    best = sel.candidates.iloc[0]
    say(f"3. Planning a geo experiment: weekly sales of {geo.shape[0]} markets over {geo.shape[1]} weeks")
    mde = "more than the largest lift tried" if pw.mde is None else f"{pw.mde:.1%}"
    say(f"   An {GEO_TEST_WEEKS}-week test in {' and '.join(GEO_TREATED)} detects a lift of {mde}"
        f" with 80% power (replayed over the last {pw.raw.n_windows} weeks of history).")
    say(f"   Best of {len(sel.raw)} candidate sets for a 5% lift: {', '.join(map(str, best.markets))}"
        f" (power {best.power:.0%}, detectable lift {best.mde:.1%}, {best.holdout:.1%} of sales).")
    say("   Reading: testing in those markets makes a 5% lift likely to show, while holding back little"
        " revenue.\n")
    plots += [(pw.plot, "geo_power_curve.png"), (sel.plot, "geo_market_ranking.png")]

    if plt is None:
        say("Plots skipped: matplotlib is not installed (pip install 'quintara[plot]' to get them).")
    else:
        folder.mkdir(parents=True, exist_ok=True)
        for draw, name in plots:
            ax = draw()
            ax.figure.savefig(folder / name, dpi=110)
            plt.close(ax.figure)
        say(f"Plots written to {folder.resolve()}/: " + ", ".join(n for _, n in plots))
    say(f"Finished in {time.perf_counter() - started:.1f} s. Next: print(result.summary()), result.plot(),"
        " or `quintara --help`.")


def main() -> None:
    """Entry point of `python -m quintara`: the demo, plots in ./quintara-demo (or the first argument)."""
    demo(sys.argv[1] if len(sys.argv) > 1 else None)


if __name__ == "__main__":
    main()
