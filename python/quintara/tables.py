"""Several results side by side, as text, HTML or LaTeX (`quintara.table`)."""

from __future__ import annotations

import html
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import pandas as pd

from ._summary import num
from .results import ConformalResult, SynthResult, _Result, json_number as _finite
from .results_analysis import ExperimentAnalysis
from .results_bacon import BaconDecomposition
from .results_did import StaggeredResult

__all__ = ["Table", "table", "STATS"]

# Every row a table can hold, in the order they are printed, with its label.
STATS: dict[str, str] = {
    "estimate": "Estimate",
    "se": "Std. error",
    "interval": "Interval",
    "p_value": "p-value",
    "n_units": "N units",
    "n_treated": "N treated",
    "n_periods": "N periods",
    "method": "Method",
    "inference": "Inference",
}
DEFAULT_STATS = (
    "estimate",
    "se",
    "interval",
    "p_value",
    "n_units",
    "n_periods",
    "method",
    "inference",
)
FORMATS = ("text", "html", "latex")
_NUMERIC = ("estimate", "se", "interval", "p_value")


@dataclass(frozen=True)
class _Column:
    """What one result contributes: the common numbers of every comparable result."""

    estimate: float
    se: float | None
    ci: tuple[float, float] | None
    level: float | None
    p_value: float | None
    n_units: int
    n_treated: int
    n_periods: int
    method: str
    inference: str
    alternative: str = "two-sided"


def _column(result: Any, position: int) -> _Column:
    """The comparable numbers of one result; a TypeError for anything else."""
    if isinstance(result, SynthResult):
        n, t = result.panel.shape
        return _Column(
            result.att,
            _finite(result.se),
            result.ci,
            result.level,
            _finite(result.p_value),
            n,
            len(result.treated),
            t,
            result.method,
            result.inference,
            result.alternative,
        )
    if isinstance(result, ConformalResult):
        n, t = result.panel.shape
        return _Column(
            result.att,
            None,
            None,
            None,
            result.p_value,
            n,
            len(result.treated),
            t,
            "cpasc",
            "conformal",
        )
    if isinstance(result, StaggeredResult):
        n, t = result.panel.shape
        clusters = f"{result.n_clusters} {result.cluster or 'unit'} clusters"
        return _Column(
            result.att,
            _finite(result.se),
            result.ci,
            result.level,
            _finite(result.raw.p_value),
            n,
            int(result.cohorts.notna().sum()),
            t,
            result.estimator,
            f"normal, {clusters}",
        )
    if isinstance(result, BaconDecomposition):
        n, t = result.panel.shape
        return _Column(
            result.att,
            None,
            None,
            None,
            None,
            n,
            int(result.cohorts.notna().sum()),
            t,
            "bacon",
            "none",
        )
    if isinstance(result, ExperimentAnalysis):
        # The periods the analysis read: none after the test's end.
        n, t = result.panel.shape[0], len(result.raw.observed)
        return _Column(
            result.att,
            _finite(result.raw.se),
            result.ci,
            result.level,
            result.p_value,
            n,
            len(result.treated),
            t,
            result.method,
            "in-time placebo",
            result.raw.alternative,
        )
    kind = type(result).__name__
    hint = (
        " (a design, not an estimate)"
        if isinstance(result, _Result)
        else "; pass the labelled results of synth, staggered or analyze"
    )
    raise TypeError(
        f"table: results[{position}] is a {kind}, which has no estimate to compare{hint}"
    )


def _level_text(level: float) -> str:
    return f"{100.0 * level:g}%"


class Table:
    """Results side by side: one column per result, one row per statistic.

    Made by `quintara.table`. ``str(t)`` renders in the format asked for;
    `to_text`, `to_html` and `to_latex` render in each format, `to_frame`
    gives the values; in a notebook the table shows as HTML.
    """

    def __init__(
        self, columns: list[_Column], names: list[str], stats: list[str], fmt: str, digits: int
    ) -> None:
        self._columns = columns
        self.names = names
        self.stats = stats
        self.fmt = fmt
        self.digits = digits

    def _cell(self, stat: str, c: _Column) -> str:
        d = self.digits
        if stat == "estimate":
            return num(c.estimate, d)
        if stat == "se":
            return "-" if c.se is None else f"({num(c.se, d)})"
        if stat == "interval":
            if c.ci is None:
                return "-"
            if math.isnan(c.ci[0]):  # the test rejects every effect; no jackknife se
                return "undefined" if c.inference == "jackknife" else "empty"
            return f"[{num(c.ci[0], d)}, {num(c.ci[1], d)}]"
        if stat == "p_value":
            return num(c.p_value, d)
        value = getattr(c, stat)
        return num(value) if isinstance(value, int) else str(value)

    def _levels(self) -> list[float]:
        return sorted({c.level for c in self._columns if c.level is not None and c.ci})

    def _label(self, stat: str) -> str:
        levels = self._levels()
        if stat == "interval" and len(levels) == 1:
            return f"{_level_text(levels[0])} interval"
        return STATS[stat]

    def _interval_note(self, cell: str, c: _Column) -> str:
        """An interval's level where the columns' levels differ, and its sidedness."""
        if not c.ci:
            return cell
        notes = [_level_text(c.level)] if c.level and len(self._levels()) > 1 else []
        if c.alternative != "two-sided":
            notes.append("one-sided")
        return f"{cell} ({', '.join(notes)})" if notes else cell

    def _grid(self) -> list[list[str]]:
        """Header row, then one row per statistic; every cell as text."""
        rows = [["", *self.names]]
        for stat in self.stats:
            cells = [self._cell(stat, c) for c in self._columns]
            if stat == "interval":
                cells = [
                    self._interval_note(cell, c)
                    for cell, c in zip(cells, self._columns, strict=True)
                ]
            rows.append([self._label(stat), *cells])
        return rows

    def _split(self) -> int:
        """Rows (after the header) of estimates; a rule separates the rest."""
        return sum(1 for s in self.stats if s in _NUMERIC)

    def to_text(self) -> str:
        """The table as plain text, columns right-aligned."""
        grid = self._grid()
        widths = [max(len(r[i]) for r in grid) for i in range(len(grid[0]))]

        def line(row: list[str]) -> str:
            first = row[0].ljust(widths[0])
            rest = "".join("  " + c.rjust(w) for c, w in zip(row[1:], widths[1:], strict=True))
            return (first + rest).rstrip()

        width = sum(widths) + 2 * (len(widths) - 1)
        out = ["=" * width, line(grid[0]), "-" * width]
        split = self._split()
        for i, row in enumerate(grid[1:]):
            if i == split and 0 < split < len(grid) - 1:
                out.append("-" * width)
            out.append(line(row))
        out.append("=" * width)
        return "\n".join(out)

    def to_html(self) -> str:
        """The table as an HTML ``<table>`` (labels escaped)."""
        grid = self._grid()
        esc = html.escape
        head = "".join(f"<th>{esc(h)}</th>" for h in grid[0])
        body = []
        split = self._split()
        for i, row in enumerate(grid[1:]):
            style = ' style="border-top: 1px solid"' if i == split and i else ""
            cells = "".join(f'<td style="text-align: right">{esc(c)}</td>' for c in row[1:])
            body.append(f'<tr{style}><th style="text-align: left">{esc(row[0])}</th>{cells}</tr>')
        return (
            '<table class="quintara-table">\n'
            f"<thead><tr>{head}</tr></thead>\n<tbody>\n" + "\n".join(body) + "\n</tbody>\n</table>"
        )

    def to_latex(self) -> str:
        """The table as a LaTeX ``tabular`` with booktabs rules (special characters escaped)."""
        grid = self._grid()
        cols = "l" + "r" * (len(grid[0]) - 1)
        out = [f"\\begin{{tabular}}{{{cols}}}", "\\toprule"]
        out.append(" & ".join(_latex(c) for c in grid[0]) + " \\\\")
        out.append("\\midrule")
        split = self._split()
        for i, row in enumerate(grid[1:]):
            if i == split and i:
                out.append("\\midrule")
            out.append(" & ".join(_latex(c) for c in row) + " \\\\")
        out += ["\\bottomrule", "\\end{tabular}"]
        return "\n".join(out)

    def to_frame(self) -> pd.DataFrame:
        """The values, unformatted: rows estimate, se, ci_lower, ci_upper, level,
        alternative, p_value, n_units, n_treated, n_periods, method, inference
        (every statistic, whichever were asked to print); one column per
        result, None where a result has no such value. An empty interval has
        NaN ends."""
        data: dict[str, list[Any]] = {}
        for name, c in zip(self.names, self._columns, strict=True):
            data[name] = [
                c.estimate,
                c.se,
                c.ci[0] if c.ci else None,
                c.ci[1] if c.ci else None,
                c.level,
                c.alternative if c.ci else None,
                c.p_value,
                c.n_units,
                c.n_treated,
                c.n_periods,
                c.method,
                c.inference,
            ]
        index = ["estimate", "se", "ci_lower", "ci_upper", "level", "alternative", "p_value"]
        index += ["n_units", "n_treated", "n_periods", "method", "inference"]
        return pd.DataFrame(data, index=pd.Index(index, name="statistic"), dtype=object)

    def __str__(self) -> str:
        return {"text": self.to_text, "html": self.to_html, "latex": self.to_latex}[self.fmt]()

    def __repr__(self) -> str:
        return self.to_text()

    def _repr_html_(self) -> str:
        return self.to_html()


_LATEX = {
    "\\": r"\textbackslash{}",
    "&": r"\&",
    "%": r"\%",
    "$": r"\$",
    "#": r"\#",
    "_": r"\_",
    "{": r"\{",
    "}": r"\}",
    "~": r"\textasciitilde{}",
    "^": r"\textasciicircum{}",
}


def _latex(text: str) -> str:
    return "".join(_LATEX.get(ch, ch) for ch in text)


def _default_names(columns: list[_Column]) -> list[str]:
    methods = [c.method for c in columns]
    if len(set(methods)) == len(methods):
        return methods
    return [f"({i}) {m}" for i, m in enumerate(methods, start=1)]


def table(
    results: Any,
    *,
    names: Sequence[str] | None = None,
    stats: Sequence[str] = DEFAULT_STATS,
    fmt: str = "text",
    digits: int = 4,
) -> Table:
    """Put several results side by side, one column each.

    Parameters
    ----------
    results : result, sequence of results, or mapping of name to result
        Fits of `synth` (any method and inference), `staggered` (the overall
        ATT; the Goodman-Bacon decomposition's TWFE estimate) and `analyze`.
        A mapping's keys name the columns.
    names : sequence of str, optional
        Column names, one per result; by default the keys of a mapping, else
        the methods (numbered when two share one).
    stats : sequence of str
        The rows, in the order given: any of "estimate", "se" (in
        parentheses), "interval" (at each result's level), "p_value",
        "n_units", "n_treated", "n_periods", "method", "inference". A value
        a result does not have prints as "-".
    fmt : {"text", "html", "latex"}
        What ``str()`` of the table gives; every format stays available
        through `Table.to_text`, `Table.to_html` and `Table.to_latex`.
    digits : int
        Decimals of numbers below 1,000 (larger ones get thousands separators
        and fewer decimals).

    Returns
    -------
    Table
        The table; ``to_frame()`` gives its values unformatted.

    Raises
    ------
    TypeError
        For a result without an estimate to compare (a power analysis, a
        market selection, ...) or anything that is not a result.
    ValueError
        For an unknown statistic or format, or names that do not match.
    """
    if isinstance(results, Mapping):
        if names is None:
            names = [str(k) for k in results]
        items = list(results.values())
    elif isinstance(results, _Result):
        items = [results]
    elif isinstance(results, Sequence) and not isinstance(results, str | bytes):
        items = list(results)
    else:
        raise TypeError(
            "table: results must be a result, a sequence of results or a mapping of names "
            f"to results; got {type(results).__name__}"
        )
    if not items:
        raise ValueError("table: results is empty")
    columns = [_column(r, i) for i, r in enumerate(items)]
    if isinstance(stats, str):
        stats = [stats]
    unknown = [s for s in stats if s not in STATS]
    if unknown or not stats:
        raise ValueError(
            f"table: unknown stats {unknown}; choose from {', '.join(STATS)}"
            if unknown
            else "table: stats is empty"
        )
    if fmt not in FORMATS:
        raise ValueError(f"table: fmt must be one of {', '.join(FORMATS)}; got {fmt!r}")
    if isinstance(digits, bool) or not isinstance(digits, int) or not 0 <= digits <= 12:
        raise ValueError(f"table: digits must be an integer from 0 to 12; got {digits!r}")
    if names is None:
        names = _default_names(columns)
    names = [str(n) for n in names]
    if len(names) != len(columns):
        raise ValueError(f"table: {len(names)} names for {len(columns)} results")
    return Table(columns, names, list(stats), fmt, digits)
