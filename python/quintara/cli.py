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
text, so leading zeros stay. --json writes the result's `to_dict()` (for select, a
dict of the design and the search, method, entry, ..., sizes, with the candidates, best
first, under "candidates"). An option left out takes the verb's default, which is the
compiled entry's except for select's --search (sized) and --solver (shared), fit
--inference placebo (the matched test, placebo_size="matched", with max_pre_ratio=5),
staggered's --balance (keep; drop for callaway, refuse for bacon) and callaway's
base_period (varying, which has no option here). Exit status: 0 on success, 2 on a usage
or data error (message on stderr), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
import warnings
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any

import pandas as pd

from . import cli_parser, verbs
from ._methods import SYNTH
from ._verbs_common import _entry, _entry_params
from .analysis import analyze
from .panel import Panel
from .verbs_did import _METHOD_OPTIONS, _STAGGERED

__all__ = ["main", "read_table"]


from .cli_tables import UsageError, _check_numbers, read_table


def _options(args: argparse.Namespace, names: Sequence[str]) -> dict[str, Any]:
    """The compiled-entry options the user gave (those left out keep the entry's defaults)."""
    return {n: getattr(args, n) for n in names if getattr(args, n, None) is not None}


def _time_order(path: str | None) -> list[str] | None:
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8-sig") as f:  # a byte-order mark is no label
            return [line.strip() for line in f if line.strip()]
    except OSError as e:
        raise UsageError(f"cannot read --time-order file {path}: {e.strerror}") from None


def _panel(args: argparse.Namespace) -> Panel:
    if args.thousands is not None and args.thousands == args.decimal:
        raise UsageError(
            f"--thousands {args.thousands} is also the decimal mark; pass --decimal as well "
            "(--thousands . --decimal , for 1.234,5)"
        )
    df = read_table(args.data, [args.unit], args.decimal, args.thousands)
    if args.decimal == "." and args.thousands is None:
        _check_numbers(df, args.outcome, args.data)
    # The staggered verb decides about missing cells itself (--balance).
    keep = getattr(args, "missing", "refuse") == "drop_donors" or args.command == "staggered"
    panel = Panel.from_long(
        df,
        unit=args.unit,
        time=args.time,
        outcome=args.outcome,
        time_order=_time_order(args.time_order),
        time_format=args.time_format,
        missing="keep" if keep else "refuse",
    )
    if getattr(args, "treated_column", None) is not None:
        _treated_from_column(args, df, panel)
    return panel


def _treated_from_column(args: argparse.Namespace, df: pd.DataFrame, panel: Panel) -> None:
    """--treated-column COL: the units with a 1 in COL are treated, from the
    first period with one to the last (--start and analyze's --end, when not
    given)."""
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
    # Positions in the panel's time order: text labels need not sort as text.
    where = {v: panel.period_position(v) for v in on[args.time].unique()}
    marked = on[args.time].map(where).groupby(on[args.unit])
    for name, bound in (("start", marked.min()), ("end", marked.max())):
        if not hasattr(args, name) or getattr(args, name) is not None:
            continue  # not an option of this command, or given
        if bound.nunique() > 1:
            shown = ", ".join(str(panel.periods[i]) for i in sorted(bound.unique())[:4])
            raise UsageError(
                f"the units --treated-column {col!r} marks {name} at different periods "
                f"({shown}); pass --{name}"
            )
        setattr(args, name, panel.periods[bound.iloc[0]])


def _progress(args: argparse.Namespace) -> bool | None:
    return True if args.progress else False if args.no_progress else None


def _method_takes(
    given: Iterable[str], method: str, methods: Iterable[str], takes: Callable[[str, str], bool]
) -> None:
    """An option the chosen method does not take, refused naming both (the
    verb would raise a TypeError, which the command line does not report)."""
    for name in given:
        if not takes(method, name):
            others = ", ".join(m for m in methods if takes(m, name))
            raise UsageError(
                f"--{name.replace('_', '-')} does not apply with --method {method} "
                f"(only with {others})"
            )


def _entry_takes(entry: str, name: str) -> bool:
    params = _entry_params(_entry(entry))
    return params is None or name in params  # without a signature the entry decides


# The options of one test alone, by the --inference that takes them.
_TEST_OPTIONS = {
    "placebo": ("placebo_size", "n_placebo", "max_pre_ratio", "seed"),
    "in_time": ("lookback", "min_pre", "alternative"),
}


def _fit(args: argparse.Namespace) -> Any:
    for inference, names in _TEST_OPTIONS.items():
        for name in names:
            if getattr(args, name) is not None and args.inference != inference:
                raise UsageError(
                    f"--{name.replace('_', '-')} applies only with --inference {inference}"
                )
    opts = _options(args, ["level", *_TEST_OPTIONS.get(args.inference, ())])
    if "level" in opts and not 0.0 < opts["level"] < 1.0:
        raise UsageError(f"--level must be between 0 and 1; got {opts['level']}")
    if args.inference == "in_time" and "level" in opts:
        # The design's test is stated by its size, as `power` states it.
        opts["alpha"] = 1.0 - opts.pop("level")
    elif args.inference not in ("conformal", "in_time"):  # the method's entry takes them
        _method_takes(opts, args.method, SYNTH, lambda m, n: _entry_takes(SYNTH[m].entry, n))
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
    given = [*opts, *(["control"] if args.control != "never" else [])]
    _method_takes(
        given, args.estimator, _STAGGERED, lambda m, n: m == "callaway" or n in _METHOD_OPTIONS[m]
    )
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


_CELL_SIZE = cli_parser.whole(1)


def _check_lift_sign(lift: float, alternative: str | None, given: str) -> None:
    """A lift's sign against --alternative, named as the options spell them
    (`given`: where the lift was given); a go-dark test's lift is negative."""
    if lift < 0 and alternative != "less":
        raise UsageError(f"{given} is negative, a go-dark test: pass --alternative less")
    if lift > 0 and alternative == "less":
        raise UsageError(
            f"{given} is positive, but --alternative less tests a decrease; give a negative lift"
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
    budget = cell.get("budget")
    # float() reads "nan" and "inf"; no budget is a cell without one.
    if budget is not None and not (math.isfinite(budget) and budget > 0):
        raise UsageError(
            f"--cells entry {text!r}: BUDGET must be finite and > 0 (K:LIFT for no budget); "
            f"got {parts[2]}"
        )
    try:
        _CELL_SIZE(parts[0])  # as --max-treated is checked
    except argparse.ArgumentTypeError as e:
        raise UsageError(f"--cells entry {text!r}: K {e}") from None
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
    cells = [_cell(c) for c in args.cells]
    for text, cell in zip(args.cells, cells, strict=True):
        _check_lift_sign(cell["target_lift"], args.alternative, f"--cells entry {text!r}: LIFT")
    return verbs.select_markets(
        _panel(args),
        cells=cells,
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
    if args.target_lift is None:
        raise UsageError("--target-lift is required (or --cells)")
    if args.max_treated is None and args.exact_size is None:
        raise UsageError("--max-treated is required (or --exact-size, or --cells)")
    _check_lift_sign(args.target_lift, args.alternative, f"--target-lift {args.target_lift:g}")
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
    if args.channel is not None and args.mmm is None:
        raise UsageError("--channel names the channel of --mmm's record; pass --mmm FILE too")
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
        result.to_mmm(args.channel or "media", path=args.mmm)
    return result


def _diagnose(args: argparse.Namespace) -> Any:
    return verbs.diagnose(
        _panel(args), treated=args.treated, test_len=args.test_len, method=args.method
    )


def _parser() -> argparse.ArgumentParser:
    runs = {
        "fit": _fit,
        "staggered": _staggered,
        "power": _power,
        "select": _select,
        "diagnose": _diagnose,
        "analyze": _analyze,
    }
    return cli_parser.build(runs)


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


def _settle_data_and_units(top: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """`--treated A B data.csv` (or another unit list before the file) gives the
    file to the list: take it back. Names may also come as one comma-separated
    list."""
    if args.command == "demo":
        return
    parser = _subparser(top, args.command)  # its usage line, naming the command
    for name in cli_parser.UNIT_LISTS:
        given = getattr(args, name, None)
        if given is None:
            continue
        if args.data is None and Path(given[-1]).is_file():
            args.data = given.pop()
        names = (part.strip() for item in given for part in item.split(","))
        units = [unit for unit in names if unit]
        if not units:
            parser.error(f"argument --{name.replace('_', '-')}: expected at least one name")
        setattr(args, name, units)
    if args.data is None:
        parser.error("the following arguments are required: DATA")
    if hasattr(args, "treated_column"):
        if (args.treated is None) == (args.treated_column is None):
            parser.error("give one of --treated and --treated-column")
        if (
            args.command in ("fit", "analyze")
            and args.start is None
            and args.treated_column is None
        ):
            parser.error("the following arguments are required: --start")


def _subparser(top: argparse.ArgumentParser, command: str) -> argparse.ArgumentParser:
    sub = next(a for a in top._actions if isinstance(a, argparse._SubParsersAction))
    parser: argparse.ArgumentParser = sub.choices[command]
    return parser


def _in_flag_terms(parser: argparse.ArgumentParser, text: str) -> str:
    """A message's `name=value` advice, where `name` is one of the command's
    options, in the command line's spelling: `--name value`."""
    flags = {
        a.dest: a.option_strings[-1]
        for a in parser._actions
        if a.option_strings and a.option_strings[-1].startswith("--")
    }
    return re.sub(
        r"\b([a-z_]+)=(\S+?)(?=[\s,;:)]|\.(?:\s|$)|$)",
        lambda m: (
            f"{flags[m.group(1)]} {m.group(2).strip(chr(39))}"
            if m.group(1) in flags
            else m.group(0)
        ),
        text,
    )


def command_names() -> set[str]:
    """The subcommands of the command line."""
    sub = next(a for a in _parser()._actions if isinstance(a, argparse._SubParsersAction))
    return set(sub.choices)


# The formats a plot file may take (matplotlib's, by suffix).
_PLOT_SUFFIXES = {".png", ".pdf", ".svg", ".jpg", ".jpeg", ".eps", ".ps", ".tif", ".tiff", ".webp"}


def _check_outputs(args: argparse.Namespace) -> None:
    """Every file the run will write, checked before it runs: a long run must
    not end in a missing folder, nor overwrite the table it read."""
    data = Path(args.data).resolve()
    for option in ("json", "plot", "mmm"):
        path = getattr(args, option, None)
        if path is None:
            continue
        target = Path(path)
        if target.resolve() == data:
            raise UsageError(f"--{option} {path} is the data file; name another file")
        if not target.resolve().parent.is_dir():
            raise UsageError(f"--{option} {path}: no folder {target.parent}")
        if target.is_dir():
            raise UsageError(f"--{option} {path} is a folder; name a file")
        if option == "plot" and target.suffix.lower() not in _PLOT_SUFFIXES:
            shown = ", ".join(sorted(_PLOT_SUFFIXES))
            raise UsageError(f"--plot {path}: name a file ending in one of {shown}")


def _one_line_warning(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: Any = None,
    line: str | None = None,
) -> None:
    """A warning as the command line's errors are: one line, no source."""
    print(f"quintara: warning: {message}", file=sys.stderr if file is None else file)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        # Refused by the command's parser: its usage line, naming the command.
        _subparser(parser, args.command).error(f"unrecognized arguments: {' '.join(unknown)}")
    _settle_data_and_units(parser, args)
    shown, warnings.showwarning = warnings.showwarning, _one_line_warning
    try:
        if args.command != "demo":
            _check_outputs(args)
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
        text = _in_flag_terms(_subparser(parser, args.command), str(e))
        print(f"quintara {args.command}: error: {text}", file=sys.stderr)
        return 2
    finally:
        warnings.showwarning = shown


if __name__ == "__main__":
    sys.exit(main())
