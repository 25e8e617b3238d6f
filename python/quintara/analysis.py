"""The analysis of a finished geo experiment (`analyze`; entry `geo_analyze`).

One in-time test decides the experiment: the method fitted at the real split,
against the historical windows of the test's length in the pre-period (the
test `power` and `select_markets` design for). Every headline number (the
average effect, the incremental units, the lift in percent, the return on
spend) is that test's estimate rescaled, so all carry its p-value and its
interval, rescaled.
"""

from __future__ import annotations

import contextlib
import numbers
import re
from collections.abc import Hashable, Iterator, Sequence
from typing import Any

import numpy as np
import pandas as pd

from . import _progress, _quintara
from ._long import _first
from ._verbs_common import _check_lookback, _labelled_errors, named_counts
from .panel import Panel, as_panel, refuse_missing
from .results_analysis import ExperimentAnalysis

__all__ = ["analyze"]

# Options the verb passes to the compiled entry as they stand.
_OPTIONS = ("alpha", "min_pre", "lookback", "min_weight", "max_weight", "alternative")


@named_counts
def analyze(
    data: Panel | pd.DataFrame,
    *,
    treated: Any,
    start: Any,
    end: Any = None,
    method: str = "sdid",
    spend: float | str | None = None,
    exclude: Any = None,
    control_pool: Any = None,
    unit: Hashable | None = None,
    time: Hashable | None = None,
    outcome: Hashable | None = None,
    time_order: Sequence[Any] | None = None,
    time_format: str | None = None,
    progress: bool | None = None,
    **options: Any,
) -> ExperimentAnalysis:
    """Analyse a finished geo experiment by the test its design's power is for.

    Parameters
    ----------
    data : Panel or pandas.DataFrame
        The panel, or a long table with `unit`, `time` and `outcome` columns.
    treated : label or sequence of labels
        The treated markets.
    start, end : label
        The first and last test periods (`end`: the panel's last when None);
        later periods (a cool-down) are left out.
    method : {"sdid", "sc", "asc", "fp", "rsc"}
        The estimator of the untreated path, as in `power`.
    spend : float or str, optional
        The test's total spend, or a unit-level column of each market's test
        spend (summed over the treated markets; each must be present, finite
        and >= 0); gives the iROAS and the cost per incremental unit. In a
        go-dark test (``alternative="less"``) it is the spend withheld from the
        treated markets, and the iROAS the outcome lost per unit of it
        (``-incremental / spend``, positive when the outcome fell); otherwise
        the spend added (``incremental / spend``).
    exclude : label or sequence of labels, optional
        Markets neither treated nor used as controls (another test ran
        there, say, as in `select_markets`): left out of the panel the test
        is fitted on, as if the data never held them.
    control_pool : label or sequence of labels, optional
        The only markets used as controls (less any in `exclude`); every
        market not treated and not excluded when None. As in
        `select_markets`, a treated market in the pool is simply not a
        control, so a design's pool can be passed as it is; `exclude` may not
        list a treated market.
    unit, time, outcome, time_order, time_format : optional
        As in `synth`.
    progress : bool or None
        Show progress on stderr (None: only when stderr is a terminal).
    **options
        Passed to `geo_analyze`: ``alpha`` (0.1), ``min_pre``, ``lookback``,
        ``alternative`` ("two-sided", "greater" for a heavy-up test, "less"
        for a go-dark test), ``min_weight``, ``max_weight``.

    Returns
    -------
    ExperimentAnalysis
        ``att``: the average effect per treated market and test period, in
        outcome units; ``incremental``: ``att`` x test periods x treated
        markets; ``lift_pct``: the incremental units in percent of the
        counterfactual total (NaN when that total is not positive); with
        `spend`, ``iroas`` (incremental units per unit of spend added, or
        units lost per unit withheld) and the cost per incremental unit.
        Each is the one test's estimate rescaled, so all share ``p_value`` (the smallest
        alpha at which the in-time test rejects) and each interval is the
        test's ``ci`` (``att`` +- the windows' 1 - alpha quantile of
        ``|ATT|``) rescaled. ``paths()``: the effect and cumulative paths
        with pointwise bands. ``controls`` and ``excluded`` name the markets
        the fit could use as controls and those `exclude` and `control_pool`
        left out.

    See Also
    --------
    power, select_markets : The design this test is for.
    ExperimentAnalysis.to_mmm : The calibration record for marketing-mix models.
    geo_analyze : The entry.

    Notes
    -----
    The in-time test and what each number means: :ref:`inference`. A design
    from selection to analysis and the MMM export: the geo walkthrough.
    """
    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise TypeError(
            f"analyze() got unexpected option(s) {', '.join(unknown)} "
            f"(it takes {', '.join(_OPTIONS)})"
        )
    _check_lookback(options)
    full = as_panel(data, unit, time, outcome, time_order, time_format)
    treated_rows = full.unit_positions(treated)
    kept = _kept_rows(full, treated_rows, exclude, control_pool)
    # The compiled entry takes every row but the treated as a control: the
    # markets left out are dropped from the panel it is given.
    left_out = sorted(set(range(full.shape[0])) - set(kept))
    panel = full.without_units(left_out) if left_out else full
    # A Panel built with allow_missing reaches here with its holes; named by
    # label as synth names them, not as the compiled entry's bare refusal.
    # A market left out never enters the fit, so its holes do not matter.
    refuse_missing(panel.y, panel.units, panel.periods)
    new_row = {old: new for new, old in enumerate(kept)}
    rows = [new_row[i] for i in treated_rows]
    t0 = panel.period_position(start)
    if t0 == 0:
        raise ValueError(f"start {start} is the first period; at least one pre-period is needed")
    stop = panel.shape[1] if end is None else panel.period_position(end) + 1
    if stop <= t0:
        raise ValueError(f"end {end} is before start {start}")
    total = _total_spend(panel, rows, spend)
    with _labelled_errors(panel), _in_analyze_terms(start):
        raw = _progress.run(
            _quintara.geo_analyze,
            panel.y,
            rows,
            t0,
            label=f"{method} analysis",
            show=progress,
            end_time=stop,
            method=method,
            spend=total,
            **options,
        )
    excluded = [full.units[i] for i in left_out]
    return ExperimentAnalysis(raw, panel, rows, t0, stop, method, dict(options), excluded)


def _markets(panel: Panel, name: str, labels: Any) -> list[int]:
    """The rows of the markets an option lists, a label not in the panel
    refused naming the option."""
    try:
        return panel.unit_positions(labels)
    except ValueError as err:
        raise ValueError(f"{name}: {err}") from None


def _kept_rows(panel: Panel, treated: list[int], exclude: Any, control_pool: Any) -> list[int]:
    """The rows the test is fitted on, in panel order: the treated markets and
    the controls `exclude` and `control_pool` leave (as `select_markets`
    reads them: the pool, or every market, less the excluded ones)."""
    if exclude is None and control_pool is None:
        return list(range(panel.shape[0]))
    mine = set(treated)
    excluded = set() if exclude is None else set(_markets(panel, "exclude", exclude))
    pool = None if control_pool is None else set(_markets(panel, "control_pool", control_pool))
    # Treating a market left out of the fit is a contradiction, not a request
    # to drop it: which of the two the caller meant is theirs to say.
    shared = [str(panel.units[i]) for i in sorted(excluded & mine)]
    if shared:
        which = "market" if len(shared) == 1 else "markets"
        raise ValueError(
            f"treated and exclude share {which} {_first(shared)}; exclude lists markets "
            "left out of the fit, which a treated market cannot be"
        )
    controls = (set(range(panel.shape[0])) if pool is None else pool) - excluded - mine
    if not controls:
        raise ValueError(
            "exclude and control_pool leave no control market; at least one must remain"
        )
    return sorted(mine | controls)


# The compiled entry names the test's first period by its own argument,
# treat_time, and the test periods its post-period; analyze's caller gave
# start and end. In order: the remedy is reworded whole first.
def _shorten(m: re.Match[str]) -> str:
    return ("S" if m[1] == "T" else "s") + "horten the test (a later start or an earlier end)"


_ENTRY_WORDS = (
    (re.compile(r"\b([Tt])est a shorter post-period"), _shorten),
    (re.compile(r"\bpost-period\b"), lambda m: "test window"),
)


@contextlib.contextmanager
def _in_analyze_terms(start: Any) -> Iterator[None]:
    """The compiled call's ValueErrors in analyze's argument names."""
    try:
        yield
    except ValueError as err:
        text = str(err)
        for pattern, to in _ENTRY_WORDS:
            text = pattern.sub(to, text)
        text = re.sub(r"\btreat_time\b", lambda m: f"start {start}", text)
        if text == str(err):
            raise
        raise type(err)(text).with_traceback(err.__traceback__) from None


def _total_spend(panel: Panel, rows: list[int], spend: Any) -> float | None:
    """The test's total spend: a number as given, or a unit-level column summed
    over the treated markets."""
    if spend is None:
        return None
    if isinstance(spend, str):
        column = pd.to_numeric(panel.unit_column(spend), errors="raise")
        column = column.loc[[panel.units[i] for i in rows]]
        values = column.to_numpy(dtype=np.float64, na_value=np.nan)
        # A sum skips NaN and lets a negative spend offset the others: either
        # would misstate the iROAS without a word.
        bad = ~(np.isfinite(values) & (values >= 0))
        if bad.any():
            gaps = [f"{u} ({v})" for u, v in zip(column.index[bad], values[bad], strict=True)]
            raise ValueError(
                f"spend column {spend!r} is missing, non-finite or negative for treated "
                f"markets {_first(gaps)}"
            )
        return float(values.sum())
    # bool is a number to Python, never a spend; a sequence needs a column.
    if isinstance(spend, bool) or not isinstance(spend, numbers.Real):
        raise TypeError(
            f"spend must be a number or a unit-level column name, not {type(spend).__name__}"
        )
    return float(spend)
