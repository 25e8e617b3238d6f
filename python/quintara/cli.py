"""The `quintara` command line: a long table in, a summary out.

    quintara fit DATA --unit COL --time COL --outcome COL --treated NAME [NAME ...]
        --start PERIOD
    quintara staggered DATA --unit COL --time COL --outcome COL --adoption COL
    quintara power DATA --unit COL --time COL --outcome COL --treated NAME [NAME ...]
        --test-len N --lifts X [X ...]
    quintara select DATA --unit COL --time COL --outcome COL --test-len N --target-lift X
        --max-treated K      (or --cells K:LIFT[:BUDGET] ... for a multi-cell design)
    quintara diagnose DATA --unit COL --time COL --outcome COL --treated NAME [NAME ...]
        --test-len N
    quintara analyze DATA --unit COL --time COL --outcome COL --treated NAME [NAME ...]
        --start PERIOD [--end PERIOD] [--spend X|COL] [--mmm FILE]
    quintara demo [--out DIR]

DATA is a CSV file (delimiter detected; .gz, .bz2 and .xz read through their
compression) or, with pyarrow installed, a Parquet file; unit codes are read as
text, so leading zeros stay. --json writes the result's `to_dict()` (for select, its list of
candidates, best first). Every option left out takes the compiled entry's default. Exit status:
0 on success, 2 on a usage or data error (message on stderr), 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import re
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import pandas as pd

from . import verbs
from .analysis import analyze
from .panel import Panel

__all__ = ["main", "read_table"]


class UsageError(Exception):
    """A bad argument or data file, reported in one line with exit status 2."""


def read_table(
    path: str,
    text_columns: Sequence[str] = (),
    decimal: str = ".",
    thousands: str | None = None,
) -> pd.DataFrame:
    """Read a long table: Parquet by suffix (.parquet, .pq), else CSV (delimiter
    detected; .gz, .bz2 and .xz compressed, by suffix). `text_columns`
    are read as text, so unit codes keep their leading zeros."""
    p = Path(path)
    if not p.is_file():
        raise UsageError(f"no such file: {path}")
    if p.suffix.lower() in (".parquet", ".pq"):
        try:
            df = pd.read_parquet(p)
        except ImportError:
            raise UsageError("reading Parquet needs pyarrow: pip install pyarrow") from None
    else:
        df = _read_csv(p, path, text_columns, decimal, thousands)
    if df.empty:
        raise UsageError(f"{path} has no rows")
    return df


def _read_csv(
    p: Path, path: str, text_columns: Sequence[str], decimal: str, thousands: str | None
) -> pd.DataFrame:
    try:
        with _open_text(p) as f:
            head = f.read(65536)
    except (OSError, EOFError, UnicodeDecodeError) as e:
        raise UsageError(f"cannot read {path}: {e}") from None
    if not head.strip():
        raise UsageError(f"{path} has no rows")
    try:
        sep = csv.Sniffer().sniff(head, delimiters=",;\t|").delimiter
    except csv.Error:
        sep = ","
    try:
        return pd.read_csv(
            p,
            sep=sep,
            dtype={c: str for c in text_columns},
            decimal=decimal,
            thousands=thousands,
        )
    except (pd.errors.ParserError, UnicodeDecodeError) as e:
        raise UsageError(f"cannot read {path} as CSV: {e}") from None


def _open_text(p: Path) -> Any:
    """The file as text, through its compression where the suffix names one."""
    import bz2
    import gzip
    import lzma

    suffix = p.suffix.lower()
    if suffix == ".gz":
        return gzip.open(p, "rt", encoding="utf-8", newline="")
    if suffix == ".bz2":
        return bz2.open(p, "rt", encoding="utf-8", newline="")
    if suffix == ".xz":
        return lzma.open(p, "rt", encoding="utf-8", newline="")
    return p.open("r", encoding="utf-8", newline="")


# How a number column reads when its CSV file writes numbers the continental
# way, or groups thousands: (pattern every value matches, the options to pass).
_NUMBER_STYLES = [
    (re.compile(r"^[+-]?\d{1,3}(,\d{3})+(\.\d+)?$"), "thousands separators", "--thousands ,"),
    (
        re.compile(r"^[+-]?\d{1,3}(\.\d{3})+(,\d+)?$"),
        "thousands separators",
        "--thousands . --decimal ,",
    ),
    (re.compile(r"^[+-]?\d+(,\d+)?$"), "a decimal comma", "--decimal ,"),
]


def _check_numbers(df: pd.DataFrame, column: str, path: str) -> None:
    """Numbers written with a decimal comma or thousands separators, named as such."""
    if column not in df.columns or not pd.api.types.is_string_dtype(df[column]):
        return
    texts = df[column].dropna().astype(str).str.strip()
    marked = texts[texts.str.contains(r"[,.]")]
    if marked.empty:
        return
    for pattern, what, fix in _NUMBER_STYLES:
        if texts.str.match(pattern).all():
            raise UsageError(
                f"column {column!r} of {path} writes numbers with {what} (such as "
                f"{marked.iloc[0]!r}); pass {fix}"
            )


def _options(args: argparse.Namespace, names: Sequence[str]) -> dict[str, Any]:
    """The compiled-entry options the user gave (those left out keep the entry's defaults)."""
    return {n: getattr(args, n) for n in names if getattr(args, n, None) is not None}


def _time_order(path: str | None) -> list[str] | None:
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8") as f:
            return [line.strip() for line in f if line.strip()]
    except OSError as e:
        raise UsageError(f"cannot read --time-order file {path}: {e.strerror}") from None


def _panel(args: argparse.Namespace) -> Panel:
    df = read_table(args.data, [args.unit], args.decimal, args.thousands)
    if args.decimal == "." and args.thousands is None:
        _check_numbers(df, args.outcome, args.data)
    # The staggered verb decides about missing cells itself (--balance).
    keep = getattr(args, "missing", "refuse") == "drop_donors" or args.command == "staggered"
    if getattr(args, "treated_column", None) is not None:
        _treated_from_column(args, df)
    return Panel.from_long(
        df,
        unit=args.unit,
        time=args.time,
        outcome=args.outcome,
        time_order=_time_order(args.time_order),
        time_format=args.time_format,
        missing="keep" if keep else "refuse",
    )


def _treated_from_column(args: argparse.Namespace, df: pd.DataFrame) -> None:
    """--treated-column COL: the units with a 1 in COL are treated, from the
    first period with one (fit's --start, when not given)."""
    col = args.treated_column
    if col not in df.columns:
        raise UsageError(f"--treated-column {col!r} is not a column of {args.data}")
    flag = pd.to_numeric(df[col], errors="coerce")
    if not flag.dropna().isin([0, 1]).all() or flag.isna().any():
        raise UsageError(f"--treated-column {col!r} must hold 0 and 1 only")
    on = df[flag == 1]
    if on.empty:
        raise UsageError(f"--treated-column {col!r} marks no unit as treated")
    args.treated = sorted(on[args.unit].astype(str).unique())
    if hasattr(args, "start") and args.start is None:
        firsts = on.groupby(args.unit)[args.time].min()
        if firsts.nunique() > 1:
            raise UsageError(
                f"the units --treated-column {col!r} marks start at different periods "
                f"({', '.join(map(str, sorted(firsts.unique())[:4]))}); pass --start"
            )
        args.start = firsts.iloc[0]


def _progress(args: argparse.Namespace) -> bool | None:
    return False if args.no_progress else None


def _fit(args: argparse.Namespace) -> Any:
    opts = _options(args, ["level"])
    if args.inference == "in_time" and "level" in opts:
        # The design's test is stated by its size, as `power` states it.
        opts["alpha"] = 1.0 - opts.pop("level")
    return verbs.synth(
        _panel(args),
        treated=args.treated,
        start=args.start,
        method=args.method,
        inference=args.inference,
        missing=args.missing,
        progress=_progress(args),
        **opts,
    )


def _staggered(args: argparse.Namespace) -> Any:
    window = ["min_e", "max_e", "balance_e"]
    opts = _options(args, ["n_reps", "seed", "level", "anticipation", "est_method", *window])
    if args.bands:
        opts["bands"] = True
    return verbs.staggered(
        _panel(args),
        adoption=args.adoption,
        method=args.estimator,
        control=args.control,
        balance=args.balance,
        weights=args.weights,
        cluster=args.cluster,
        progress=_progress(args),
        **opts,
    )


def _power(args: argparse.Namespace) -> Any:
    opts = _options(args, ["alpha", "target_power", "lookback", "min_pre", "alternative"])
    return verbs.power(
        _panel(args),
        treated=args.treated,
        test_len=args.test_len,
        lifts=args.lifts,
        method=args.method,
        progress=_progress(args),
        **opts,
    )


def _cell(text: str) -> dict[str, Any]:
    """One --cells entry, K:LIFT or K:LIFT:BUDGET."""
    parts = text.split(":")
    try:
        if len(parts) not in (2, 3):
            raise ValueError
        cell: dict[str, Any] = {"max_treated": int(parts[0]), "target_lift": float(parts[1])}
        if len(parts) == 3:
            cell["budget"] = float(parts[2])
    except ValueError:
        raise UsageError(f"--cells entries are K:LIFT or K:LIFT:BUDGET; got {text!r}") from None
    return cell


def _select_cells(args: argparse.Namespace) -> Any:
    """`select --cells`: the joint multi-cell search."""
    single = ("max_treated", "target_lift", "include", "exact_size", "search", "swaps", "budget")
    given = [n for n in single if getattr(args, n, None) is not None]
    if given:
        flag = "--" + given[0].replace("_", "-")
        raise UsageError(f"{flag} does not apply with --cells (each cell gives its own)")
    opts = _options(
        args,
        [
            "method",
            "alpha",
            "target_power",
            "lookback",
            "min_pre",
            "seed",
            "cost_per_unit",
            "alternative",
            "solver",
        ],
    )
    if args.candidates is not None:
        opts["n_candidates"] = args.candidates
    return verbs.select_markets(
        _panel(args),
        cells=[_cell(c) for c in args.cells],
        eligible=args.eligible,
        test_len=args.test_len,
        exclude=args.exclude,
        control_pool=args.control_pool,
        spend=args.spend,
        progress=_progress(args),
        **opts,
    )


def _select(args: argparse.Namespace) -> Any:
    if args.cells is not None:
        return _select_cells(args)
    for name in ("target_lift", "max_treated"):
        if getattr(args, name) is None:
            raise UsageError(f"--{name.replace('_', '-')} is required (or --cells)")
    opts = _options(
        args,
        [
            "method",
            "alpha",
            "target_power",
            "lookback",
            "min_pre",
            "seed",
            "exact_size",
            "search",
            "solver",
            "swaps",
            "budget",
            "cost_per_unit",
            "alternative",
        ],
    )
    if args.candidates is not None:
        opts["n_candidates"] = args.candidates
    return verbs.select_markets(
        _panel(args),
        eligible=args.eligible,
        max_treated=args.max_treated,
        test_len=args.test_len,
        target_lift=args.target_lift,
        include=args.include,
        exclude=args.exclude,
        control_pool=args.control_pool,
        spend=args.spend,
        progress=_progress(args),
        **opts,
    )


def _analyze(args: argparse.Namespace) -> Any:
    opts = _options(args, ["alpha", "lookback", "min_pre", "alternative"])
    spend: float | str | None = args.spend
    if spend is not None:
        try:
            spend = float(spend)
        except ValueError:
            pass  # a column name
    result = analyze(
        _panel(args),
        treated=args.treated,
        start=args.start,
        end=args.end,
        method=args.method,
        spend=spend,
        progress=_progress(args),
        **opts,
    )
    if args.mmm:
        result.to_mmm(args.channel, path=args.mmm)
    return result


def _diagnose(args: argparse.Namespace) -> Any:
    return verbs.diagnose(
        _panel(args), treated=args.treated, test_len=args.test_len, method=args.method
    )


def _parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="quintara",
        description="Causal effects and geo-experiment design "
        "from a long table (one row per unit and period).",
    )
    from . import __version__

    top.add_argument("--version", action="version", version=f"quintara {__version__}")
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str, run: Any, treated: bool) -> argparse.ArgumentParser:
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
        p.add_argument(
            "--plot", metavar="FILE", help="also write the result's plot (needs matplotlib)"
        )
        p.add_argument("--no-progress", action="store_true", help="never draw progress on stderr")
        return p

    p = command(
        "fit", "Synthetic-control-family fit of treated units from a start period.", _fit, True
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
        help="estimator: synthetic control, its penalised/augmented/robust forms, "
        "synthetic DiD, matrix completion or conformal prediction (default: sc)",
    )
    p.add_argument(
        "--inference",
        default="none",
        choices=["none", "placebo", "conformal", "in_time", "jackknife"],
        help="placebo: matched placebo test; conformal: conformal test (sc, fp, asc, sdid); "
        "in_time: the geo power design's test over historical windows; jackknife: sdid only",
    )
    p.add_argument("--level", type=float, help="confidence level")
    p.add_argument(
        "--missing",
        default="refuse",
        choices=["refuse", "drop_donors"],
        help="missing cells: refuse the table, or drop the donors that have them",
    )

    p = command("staggered", "Staggered-adoption difference-in-differences.", _staggered, False)
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
        "--n-reps", dest="n_reps", type=int, metavar="N", help="bootstrap replicates (default 999)"
    )
    p.add_argument("--seed", type=int, help="seed of the bootstrap draws (default 0)")
    p.add_argument("--level", type=float, help="confidence level (default 0.95)")
    p.add_argument(
        "--anticipation",
        type=int,
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
        p.add_argument(f"--{flag}", dest=flag.replace("-", "_"), type=int, metavar="E", help=what)
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

    p = command("power", "Power curve of a geo test on the treated markets.", _power, True)
    p.add_argument(
        "--test-len", dest="test_len", type=int, required=True, metavar="N", help=_TEST_LEN
    )
    p.add_argument(
        "--lifts", type=float, nargs="+", required=True, metavar="X", help="lifts as fractions"
    )
    p.add_argument("--method", default="sdid", help="sc, asc, sdid, fp, rsc or ensemble")
    p.add_argument("--alpha", type=float, help=_ALPHA)
    p.add_argument("--target-power", dest="target_power", type=float, help=_TARGET_POWER)
    p.add_argument("--lookback", type=int, metavar="N", help="use only the last N windows")
    p.add_argument("--min-pre", dest="min_pre", type=int, metavar="N", help=_MIN_PRE)
    p.add_argument(
        "--alternative",
        choices=["two-sided", "greater", "less"],
        help="one-sided: greater for a heavy-up test, less for go-dark (negative lifts)",
    )

    p = command("select", "Search and rank treated-market sets.", _select, False)
    p.add_argument(
        "--test-len", dest="test_len", type=int, required=True, metavar="N", help=_TEST_LEN
    )
    p.add_argument(
        "--target-lift",
        dest="target_lift",
        type=float,
        metavar="X",
        help="the lift to detect, as a fraction (0.05: +5%%; negative for go-dark)",
    )
    p.add_argument(
        "--max-treated", dest="max_treated", type=int, metavar="K", help="largest set size"
    )
    p.add_argument(
        "--cells",
        nargs="+",
        metavar="K:LIFT[:BUDGET]",
        help="a multi-cell design instead: per cell its largest size, target lift and budget; "
        "disjoint cells sharing one control pool",
    )
    p.add_argument("--candidates", type=int, metavar="N", help="candidate sets to score")
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
        "--swaps", type=int, metavar="N", help="more evaluations improving the best by swaps"
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
        "--exact-size", dest="exact_size", type=int, metavar="K", help="only sets of K markets"
    )
    p.add_argument("--alpha", type=float, help=_ALPHA)
    p.add_argument("--target-power", dest="target_power", type=float, help=_TARGET_POWER)
    p.add_argument("--lookback", type=int, metavar="N", help="use only the last N windows")
    p.add_argument("--min-pre", dest="min_pre", type=int, metavar="N", help=_MIN_PRE)
    p.add_argument(
        "--alternative",
        choices=["two-sided", "greater", "less"],
        help="one-sided: greater for a heavy-up test, less for go-dark (negative lifts)",
    )
    p.add_argument("--seed", type=int, help="seed of the candidate draws (default 0)")

    p = command("diagnose", "Design diagnostics of a treated-market set.", _diagnose, True)
    p.add_argument(
        "--test-len", dest="test_len", type=int, required=True, metavar="N", help=_TEST_LEN
    )
    p.add_argument(
        "--method",
        default="sdid",
        choices=["sdid", "sc", "asc", "fp", "rsc"],
        help="the estimator the test will use (its synthetic control is plotted)",
    )

    p = command(
        "analyze",
        "Analyse a finished geo experiment: lift, incremental units, iROAS.",
        _analyze,
        True,
    )
    p.add_argument(
        "--start",
        metavar="PERIOD",
        help="first test period (with --treated-column: its first marked period)",
    )
    p.add_argument("--end", metavar="PERIOD", help="last test period (default: the last)")
    p.add_argument("--method", default="sdid", help="sc, asc, sdid, fp or rsc")
    p.add_argument(
        "--spend", metavar="X|COL", help="the test's total spend, or a unit-level spend column"
    )
    p.add_argument("--alpha", type=float, help="size of the test (default 0.1)")
    p.add_argument("--lookback", type=int, metavar="N", help="use only the last N windows")
    p.add_argument("--min-pre", dest="min_pre", type=int, metavar="N", help=_MIN_PRE)
    p.add_argument(
        "--alternative",
        choices=["two-sided", "greater", "less"],
        help="one-sided: greater for a heavy-up test, less for go-dark",
    )
    p.add_argument(
        "--mmm", metavar="FILE", help="also write the calibration record for MMMs as JSON"
    )
    p.add_argument("--channel", default="media", help="the channel named in --mmm's record")

    p = sub.add_parser(
        "demo", help="Run the demo on the bundled data.", description="Run the demo."
    )
    p.add_argument("--out", metavar="DIR", help="folder for the plots (default: ./quintara-demo)")
    p.set_defaults(run=None)
    return top


# Help shared by the geo commands' options.
_TEST_LEN = "length of the test period, in periods"
_ALPHA = "size of the detection test (default 0.1)"
_TARGET_POWER = "the power the minimum detectable effect is read at (default 0.8)"
_MIN_PRE = "fewest pre-periods before a historical window (default 0)"


def _write_plot(result: Any, path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'quintara[plot]'") from None
    ax = result.plot()
    figure = (ax[0] if isinstance(ax, list) else ax).figure
    figure.savefig(path, dpi=120)
    plt.close(figure)


def _settle_data_and_treated(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """`--treated A B data.csv` gives the file to --treated: take it back. Names
    may also come as one comma-separated list."""
    if args.command == "demo":
        return
    treated = getattr(args, "treated", None)
    if args.data is None and treated and Path(treated[-1]).is_file():
        args.data = treated.pop()
    if args.data is None:
        parser.error("the following arguments are required: DATA")
    if treated is not None:
        args.treated = [name for item in treated for name in item.split(",") if name]
    if hasattr(args, "treated_column"):
        if (args.treated is None) == (args.treated_column is None):
            parser.error("give one of --treated and --treated-column")
        if (
            args.command in ("fit", "analyze")
            and args.start is None
            and args.treated_column is None
        ):
            parser.error("the following arguments are required: --start")


def command_names() -> set[str]:
    """The subcommands of the command line."""
    sub = next(a for a in _parser()._actions if isinstance(a, argparse._SubParsersAction))
    return set(sub.choices)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    _settle_data_and_treated(parser, args)
    try:
        if args.command == "demo":
            from .__main__ import demo

            demo(args.out)
            return 0
        result = args.run(args)
        # Flushed here, so that a reader who stopped early is met below.
        print(result.summary(), flush=True)
        if args.json:
            value = result.to_dict()
            Path(args.json).write_text(json.dumps(value, indent=2) + "\n", encoding="utf-8")
        if args.plot:
            _write_plot(result, args.plot)
        return 0
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader stopped (`quintara ... | head`): nothing more to say, and
        # the interpreter's own flush at exit must not fail on the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (UsageError, ValueError, OSError) as e:
        print(f"quintara {args.command}: error: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
