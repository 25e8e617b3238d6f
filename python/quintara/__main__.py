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
GEO_ELIGIBLE = [
    "Austin",
    "Charlotte",
    "Cincinnati",
    "Cleveland",
    "Columbus",
    "Denver",
    "Indianapolis",
    "Kansas City",
    "Milwaukee",
    "Nashville",
    "Portland",
    "Raleigh",
    "Sacramento",
    "Salt Lake City",
]


def _plotting() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    return plt


def demo(out: str | None = None) -> None:
    """Run the demo: print the report and write plots to `out` (default ./quintara-demo)."""
    started = time.perf_counter()
    plt = _plotting()
    folder = Path(out or "quintara-demo")
    plots: list[tuple[Any, str]] = []
    say = print
    say(f"quintara {quintara.__version__} demo: three questions answered from bundled tables\n")

    smoking = load_table("prop99")
    prop99 = quintara.Panel.from_long(smoking, unit="State", time="Year", outcome="PacksPerCapita")
    sc = quintara.synth(
        prop99, treated=["California"], start=1989, method="sc", inference="placebo"
    )
    sdid = quintara.synth(
        prop99, treated=["California"], start=1989, method="sdid", inference="placebo"
    )
    top = ", ".join(f"{k} {v:.0%}" for k, v in sc.weights.nlargest(3).items())
    say("1. Did California's 1989 tobacco tax (Proposition 99) cut cigarette sales?")
    say(f"   {prop99.shape[0]} states, {prop99.periods[0]}-{prop99.periods[-1]}.")
    say(f"   A 'California without the tax' is built from other states ({top}).")
    for name, r in (("synthetic control", sc), ("synthetic diff-in-diff", sdid)):
        say(f"   {name:<23} {r.att:6.1f} packs per person a year, placebo p = {r.p_value:.3f}")
    say(f"   Reading: after 1989 California smoked about {-sc.att:.0f} packs per person a year")
    say("   fewer than its synthetic twin. A small placebo p means few of the other states,")
    say("   refitted as if they had been treated, show a gap that large.\n")
    plots += [
        (sc.plot, "prop99_synthetic_control.png"),
        (sdid.plot_placebos, "prop99_placebos.png"),
    ]

    jobs = quintara.staggered(
        load_table("mpdta"),
        adoption="first_treat",
        unit="countyreal",
        time="year",
        outcome="lemp",
        bands=True,
    )
    es = jobs.event_study
    pre = es[es.index < 0]
    say("2. Did raising the minimum wage change teen employment?")
    say(f"   {jobs.panel.shape[0]} counties, 2003-2007, adopting in different years.")
    say(f"   Callaway-Sant'Anna ATT on log teen employment: {jobs.att:.3f} (se {jobs.se:.3f}).")
    for when, part in (("before", pre), ("after", es[es.index >= 0])):
        steps = zip(part.index.tolist(), part.att, strict=True)
        say(
            f"   {when} adoption (years: effect): "
            + ", ".join(f"{k:+d}: {v:.3f}" for k, v in steps)
        )
    flat = bool(((pre.lo <= 0) & (pre.hi >= 0)).all())
    say(
        "   Reading: about {:.0f}% fewer teen jobs, growing with time since adoption;\n"
        "   the years before adoption {}.\n".format(
            -100 * jobs.att,
            "show no effect (parallel trends look plausible)"
            if flat
            else "already move: check trends",
        )
    )
    plots.append((jobs.plot, "minimum_wage_event_study.png"))

    sales = load_table("geo_sales")
    geo = quintara.Panel.from_long(sales, unit="market", time="week", outcome="sales")
    lifts = [0.0, 0.02, 0.04, 0.06, 0.08, 0.10, 0.12]
    pw = quintara.power(
        geo, treated=GEO_TREATED, test_len=GEO_TEST_WEEKS, lifts=lifts, lookback=GEO_LOOKBACK
    )
    sel = quintara.select_markets(
        geo,
        eligible=GEO_ELIGIBLE,
        max_treated=3,
        test_len=GEO_TEST_WEEKS,
        target_lift=0.05,
        n_candidates=24,
        lookback=13,
    )
    best = sel.candidates.iloc[0]
    n, t = geo.shape
    say(f"3. Planning a geo experiment on weekly sales of {n} markets ({t} weeks)")
    mde = "more than 12%" if pw.mde is None else f"{pw.mde:.1%}"
    say(f"   An {GEO_TEST_WEEKS}-week test in {' and '.join(GEO_TREATED)} detects a lift of {mde}")
    say(f"   with 80% power (replayed on {pw.raw.n_windows} past windows where nothing happened).")
    say(f"   Best of {len(sel.raw)} candidate market sets for a 5% lift:")
    best_mde = "-" if best.mde is None or best.mde != best.mde else f"{best.mde:.1%}"
    say(f"   {', '.join(map(str, best.markets))}: power {best.power:.0%},")
    say(f"   detectable lift {best_mde}, {best.holdout:.1%} of all sales in the test.\n")
    plots += [(pw.plot, "geo_power_curve.png"), (sel.plot, "geo_market_ranking.png")]

    if plt is None:
        say("Plots skipped: matplotlib is not installed (pip install 'quintara[plot]').")
    else:
        folder.mkdir(parents=True, exist_ok=True)
        for draw, name in plots:
            ax = draw()
            ax.figure.savefig(folder / name, dpi=110)
            plt.close(ax.figure)
        say(f"Plots written to {folder.resolve()}/:")
        for _, name in plots:
            say(f"   {name}")
    say(f"Finished in {time.perf_counter() - started:.1f} s.")
    say("Next: `quintara --help` for the command line, or in Python `help(quintara.synth)`")
    say("(every verb returns a result with .summary() and .to_frame()).")


def main() -> None:
    """`python -m quintara [DIR]`: the demo, plots in DIR (default ./quintara-demo).

    An option (``--help``, ``--version``), a command of the `quintara` command
    line or more than one argument goes to that command line instead, so it is
    never taken for a folder; nor is a bare word that is a near miss of a command.
    """
    args = sys.argv[1:]
    if len(args) > 1 or (args and (args[0].startswith("-") or args[0] in _commands())):
        from .cli import main as cli

        raise SystemExit(cli(args))
    if args:
        _refuse_near_command(args[0])
        _refuse_file(args[0])
    try:
        demo(args[0] if args else None)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        raise SystemExit(130) from None
    except OSError as e:  # the plots' folder cannot be made or written
        print(f"quintara: error: {e}", file=sys.stderr)
        raise SystemExit(2) from None


def _refuse_file(word: str) -> None:
    """A usage error for a bare argument that is a file: a table to analyse
    (which needs a command), never the demo's plots' folder."""
    if Path(word).is_file():
        from .cli import _parser

        _parser().error(
            f"{word} is a file, not a folder for the demo's plots; to analyse a table name "
            f"a command, e.g. quintara fit {word} --unit ... (see quintara --help)"
        )


def _commands() -> set[str]:
    from .cli import command_names

    return command_names()


def _refuse_near_command(word: str) -> None:
    """A usage error for a bare word that looks like a mistyped command
    ("analyse"), which the demo would take for its plots' folder."""
    import difflib
    import shlex

    if Path(word).name != word:  # a path ("./analyse") is meant as a folder
        return
    # Stricter than difflib's default, which takes folder names like "analysis".
    near = difflib.get_close_matches(word.lower(), sorted(_commands()), n=1, cutoff=0.8)
    if near:
        from .cli import _parser

        _parser().error(
            f"{word!r} is not a command (did you mean {near[0]!r}?); for the demo's "
            f"plots in a folder of that name: quintara demo --out {shlex.quote(word)}"
        )


if __name__ == "__main__":
    main()
