"""The command line's argument parser: each command's options and help."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, NoReturn

from . import verbs

__all__ = ["build", "UNIT_LISTS", "whole"]

if TYPE_CHECKING:  # generic for type checkers only
    _Sub = argparse._SubParsersAction["_Parser"]

# Help shared by the geo commands' options.
_TEST_LEN = "length of the test period, in periods"
_ALPHA = "size of the detection test (default 0.1)"
_TARGET_POWER = "the power the minimum detectable effect is read at (default 0.8)"
_MIN_PRE = (
    "fewest pre-periods before a historical window (default 0: the test's length, at least 2)"
)

# The options that name units; the command line splits their commas and
# takes back a data file given after their names.
UNIT_LISTS = ("treated", "eligible", "include", "exclude", "control_pool")

# The compiled entries read integers as 64-bit numbers.
_INT64 = 2**63 - 1


def whole(least: int, most: int = _INT64) -> Callable[[str], int]:
    """An argparse type: a whole number from `least` to `most`, refused at
    parse time (the compiled entry would overflow on a negative count)."""

    def number(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be a whole number; got {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be {least} or more; got {value}")
        if value > most:
            raise argparse.ArgumentTypeError(f"must be at most {most}; got {value}")
        return value

    return number


_COUNT = whole(1)  # sizes, lengths and numbers of things: zero means nothing
_NONNEG = whole(0)  # seeds, and counts whose zero is meaningful
_EVENT_TIME = whole(-_INT64 - 1)


class _Parser(argparse.ArgumentParser):
    """A bad option value is one line, as the command line's other input
    errors are; a command line of the wrong shape also shows the usage."""

    def error(self, message: str) -> NoReturn:
        # argparse names the option first: "argument --seed: ...".
        if message.startswith("argument -"):
            self.exit(2, f"{self.prog}: error: {message}\n")
        super().error(message)


def build(runs: dict[str, Any]) -> argparse.ArgumentParser:
    """The parser; `runs` maps each command to the function that runs it."""
    top = _Parser(
        prog="quintara",
        description="Causal effects and geo-experiment design "
        "from a long table (one row per unit and period).",
    )
    from . import __version__

    top.add_argument("--version", action="version", version=f"quintara {__version__}")
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in (
        _add_fit,
        _add_staggered,
        _add_power,
        _add_select,
        _add_diagnose,
        _add_analyze,
        _add_demo,
    ):
        add(sub, runs)
    return top


def _command(
    sub: _Sub, name: str, help: str, run: Any, treated: bool, progress: bool = True
) -> argparse.ArgumentParser:
    """A command's parser with the options every command shares (`progress`:
    whether the command's run can report progress)."""
    p = sub.add_parser(name, help=help, description=help)
    p.set_defaults(run=run)
    p.add_argument(
        "data",
        metavar="DATA",
        nargs="?",
        help="CSV (delimiter detected, may be compressed) or Parquet file, long format",
    )
    p.add_argument("--unit", required=True, metavar="COL", help="unit (market) label column")
    p.add_argument("--time", required=True, metavar="COL", help="period label column")
    p.add_argument("--outcome", required=True, metavar="COL", help="outcome column")
    p.add_argument(
        "--decimal", default=".", metavar="CHAR", help="decimal mark of a CSV file (e.g. ,)"
    )
    p.add_argument(
        "--thousands", metavar="CHAR", help="thousands separator of a CSV file (e.g. . or ,)"
    )
    p.add_argument(
        "--time-format",
        metavar="FORMAT",
        help="strptime format of text period labels (e.g. %%d/%%m/%%Y); "
        "by default numbers and dates in one common format are recognised",
    )
    p.add_argument(
        "--time-order",
        metavar="FILE",
        help="text file listing the period labels in time order, one per line",
    )
    if treated:
        p.add_argument(
            "--treated",
            nargs="+",
            metavar="NAME",
            help="treated units (names, or one comma-separated list)",
        )
        p.add_argument(
            "--treated-column",
            metavar="COL",
            help="a 0/1 column marking treated (unit, period) rows, instead of --treated",
        )
    p.add_argument("--json", metavar="FILE", help="also write the result as JSON")
    p.add_argument("--plot", metavar="FILE", help="also write the result's plot (needs matplotlib)")
    if not progress:
        return p
    shown = p.add_mutually_exclusive_group()
    shown.add_argument(
        "--progress",
        action="store_true",
        help="report progress on stderr even when it is not a terminal (a line every "
        "few seconds); by default only a terminal shows it",
    )
    shown.add_argument("--no-progress", action="store_true", help="never report progress on stderr")
    return p


def _add_fit(sub: _Sub, runs: dict[str, Any]) -> None:
    p = _command(
        sub,
        "fit",
        "Synthetic-control-family fit of treated units from a start period.",
        runs["fit"],
        True,
    )
    p.add_argument(
        "--start",
        metavar="PERIOD",
        help="first treated period (with --treated-column: its first marked period)",
    )
    p.add_argument(
        "--method",
        default="sc",
        choices=verbs.SYNTH_METHODS,
        help="estimator: synthetic control, its demeaned/augmented/robust forms, "
        "synthetic DiD, matrix completion or conformal prediction (default: sc)",
    )
    p.add_argument(
        "--inference",
        default="none",
        choices=["none", "placebo", "conformal", "in_time", "jackknife"],
        help="placebo: matched placebo test; conformal: conformal test (sc, fp, asc, sdid); "
        "in_time: the geo power design's test over historical windows; jackknife: sdid only",
    )
    p.add_argument(
        "--level",
        type=float,
        help="confidence level (default 0.95; with --inference in_time 0.9, as alpha = 1 - level)",
    )
    p.add_argument(
        "--missing",
        default="refuse",
        choices=["refuse", "drop_donors"],
        help="missing cells: refuse the table, or drop the donors that have them",
    )
    placebo = p.add_argument_group("with --inference placebo")
    placebo.add_argument(
        "--placebo-size",
        dest="placebo_size",
        choices=["matched", "single"],
        help="placebos of the treated set's size (matched, the default) or one donor each",
    )
    placebo.add_argument(
        "--n-placebo", dest="n_placebo", type=_COUNT, metavar="N", help="placebo sets drawn"
    )
    placebo.add_argument(
        "--max-pre-ratio",
        dest="max_pre_ratio",
        type=float,
        metavar="R",
        help="leave out placebos whose pre-period RMSE is over R times the treated fit's "
        "(default 5; 0 keeps every placebo)",
    )
    placebo.add_argument("--seed", type=_NONNEG, help="seed of the placebo draws")
    in_time = p.add_argument_group("with --inference in_time")
    _windows(in_time, "one-sided: greater for an effect up, less for one down")


def _add_staggered(sub: _Sub, runs: dict[str, Any]) -> None:
    p = _command(
        sub, "staggered", "Staggered-adoption difference-in-differences.", runs["staggered"], False
    )
    p.add_argument(
        "--adoption",
        required=True,
        metavar="COL",
        help="adoption-period column (missing, 0 or not a period: never treated)",
    )
    p.add_argument(
        "--method",
        "--estimator",
        dest="estimator",
        default="callaway",
        choices=["callaway", "twfe", "sunab", "imputation", "bacon"],
        help="Callaway-Sant'Anna (default), two-way fixed effects, Sun-Abraham, the "
        "imputation estimator, or the Goodman-Bacon decomposition",
    )
    p.add_argument(
        "--control",
        default="never",
        choices=["never", "notyet"],
        help="comparison units: never treated (default) or not yet treated (callaway)",
    )
    p.add_argument("--bands", action="store_true", help="simultaneous bands (callaway)")
    p.add_argument(
        "--n-reps",
        dest="n_reps",
        type=_COUNT,
        metavar="N",
        help="bootstrap replicates (default 999)",
    )
    p.add_argument("--seed", type=_NONNEG, help="seed of the bootstrap draws (default 0)")
    p.add_argument("--level", type=float, help="confidence level (default 0.95)")
    p.add_argument(
        "--anticipation",
        type=_NONNEG,
        metavar="K",
        help="periods before adoption the treatment may already act (default 0)",
    )
    p.add_argument(
        "--est-method",
        dest="est_method",
        choices=["reg", "ipw", "dr"],
        help="callaway's group-time estimator: outcome regression (default), inverse "
        "probability weighting or doubly robust",
    )
    for flag, what in (
        ("min-e", "earliest event time of the event study (callaway)"),
        ("max-e", "latest event time of the event study (callaway)"),
        ("balance-e", "keep cohorts observed this many periods after adoption (callaway)"),
    ):
        kind = _NONNEG if flag == "balance-e" else _EVENT_TIME  # event times may be negative
        p.add_argument(f"--{flag}", dest=flag.replace("-", "_"), type=kind, metavar="E", help=what)
    p.add_argument("--weights", metavar="COL", help="unit-level column of sampling weights")
    p.add_argument(
        "--cluster", metavar="COL", help="unit-level column to cluster the standard errors by"
    )
    p.add_argument(
        "--balance",
        choices=["drop", "keep", "refuse"],
        help="missing cells: drop incomplete units, fit the observed cells, or refuse "
        "(default: keep for twfe/sunab/imputation, drop for callaway, refuse for bacon)",
    )


def _test_len(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--test-len", dest="test_len", type=_COUNT, required=True, metavar="N", help=_TEST_LEN
    )


def _windows(p: Any, alternative: str) -> None:
    """The historical windows' options of the in-time test (`p` a parser or
    an argument group), `alternative` its help."""
    p.add_argument("--lookback", type=_COUNT, metavar="N", help="use only the last N windows")
    p.add_argument("--min-pre", dest="min_pre", type=_NONNEG, metavar="N", help=_MIN_PRE)
    p.add_argument("--alternative", choices=["two-sided", "greater", "less"], help=alternative)


def _detection_options(p: argparse.ArgumentParser) -> None:
    """The design's detection test and power target, as power and select take them."""
    p.add_argument("--alpha", type=float, help=_ALPHA)
    p.add_argument("--target-power", dest="target_power", type=float, help=_TARGET_POWER)
    _windows(p, "one-sided: greater for a heavy-up test, less for go-dark (negative lifts)")


def _add_power(sub: _Sub, runs: dict[str, Any]) -> None:
    p = _command(
        sub, "power", "Power curve of a geo test on the treated markets.", runs["power"], True
    )
    _test_len(p)
    p.add_argument(
        "--lifts", type=float, nargs="+", required=True, metavar="X", help="lifts as fractions"
    )
    p.add_argument("--method", default="sdid", help="sc, asc, sdid (default), fp, rsc or ensemble")
    _detection_options(p)


def _add_select(sub: _Sub, runs: dict[str, Any]) -> None:
    p = _command(sub, "select", "Search and rank treated-market sets.", runs["select"], False)
    _test_len(p)
    p.add_argument(
        "--target-lift",
        dest="target_lift",
        type=float,
        metavar="X",
        help="the lift to detect, as a fraction (0.05: +5%%; negative, such as -0.05, for "
        "a go-dark test with --alternative less)",
    )
    p.add_argument(
        "--max-treated",
        dest="max_treated",
        type=_COUNT,
        metavar="K",
        help="largest set size (default with --exact-size: that size)",
    )
    p.add_argument(
        "--cells",
        nargs="+",
        metavar="K:LIFT[:BUDGET]",
        help="a multi-cell design instead: per cell its largest size, target lift (negative "
        "with --alternative less) and budget; disjoint cells sharing one control pool",
    )
    p.add_argument(
        "--candidates", type=_COUNT, metavar="N", help="candidate sets to score (default 200)"
    )
    p.add_argument(
        "--search",
        choices=["sized", "random"],
        help="sized (default): the budget shared among the sizes 1..max-treated; random: "
        "every single market first, then random larger sets",
    )
    p.add_argument(
        "--solver",
        choices=["shared", "refit"],
        help="shared (default): Gram matrices formed once and shared by every candidate; "
        "refit: every candidate's windows fitted from scratch",
    )
    p.add_argument("--method", help="sc, asc, sdid (default), fp or rsc")
    p.add_argument(
        "--eligible", nargs="+", metavar="NAME", help="markets that may be treated (default: all)"
    )
    p.add_argument("--include", nargs="+", metavar="NAME", help="markets every candidate contains")
    p.add_argument(
        "--exclude", nargs="+", metavar="NAME", help="markets neither treated nor controls"
    )
    p.add_argument(
        "--swaps", type=_NONNEG, metavar="N", help="more evaluations improving the best by swaps"
    )
    p.add_argument("--budget", type=float, help="largest investment a candidate may need")
    p.add_argument(
        "--cost-per-unit",
        dest="cost_per_unit",
        type=float,
        help="cost of one incremental unit of the outcome (with --budget)",
    )
    p.add_argument("--spend", metavar="COL", help="unit-level column of each market's test cost")
    p.add_argument(
        "--control-pool",
        dest="control_pool",
        nargs="+",
        metavar="NAME",
        help="the only markets used as controls",
    )
    p.add_argument(
        "--exact-size", dest="exact_size", type=_COUNT, metavar="K", help="only sets of K markets"
    )
    _detection_options(p)
    p.add_argument("--seed", type=_NONNEG, help="seed of the candidate draws (default 0)")


def _add_diagnose(sub: _Sub, runs: dict[str, Any]) -> None:
    p = _command(
        sub,
        "diagnose",
        "Design diagnostics of a treated-market set.",
        runs["diagnose"],
        True,
        progress=False,  # one fit: nothing to report
    )
    _test_len(p)
    p.add_argument(
        "--method",
        default="sdid",
        choices=["sdid", "sc", "asc", "fp", "rsc"],
        help="the estimator the test will use (its synthetic control is plotted)",
    )


def _add_analyze(sub: _Sub, runs: dict[str, Any]) -> None:
    p = _command(
        sub,
        "analyze",
        "Analyse a finished geo experiment: lift, incremental units, iROAS.",
        runs["analyze"],
        True,
    )
    p.add_argument(
        "--start",
        metavar="PERIOD",
        help="first test period (with --treated-column: its first marked period)",
    )
    p.add_argument(
        "--end",
        metavar="PERIOD",
        help="last test period (default: the last; with --treated-column: its last marked period)",
    )
    p.add_argument("--method", default="sdid", help="sc, asc, sdid (default), fp or rsc")
    p.add_argument(
        "--spend", metavar="X|COL", help="the test's total spend, or a unit-level spend column"
    )
    p.add_argument("--alpha", type=float, help="size of the test (default 0.1)")
    _windows(p, "one-sided: greater for a heavy-up test, less for go-dark")
    p.add_argument(
        "--mmm", metavar="FILE", help="also write the calibration record for MMMs as JSON"
    )
    p.add_argument("--channel", help="the channel named in --mmm's record (default: media)")


def _add_demo(sub: _Sub, runs: dict[str, Any]) -> None:
    p = sub.add_parser(
        "demo", help="Run the demo on the bundled data.", description="Run the demo."
    )
    p.add_argument("--out", metavar="DIR", help="folder for the plots (default: ./quintara-demo)")
    p.set_defaults(run=None)
