"""The analysis of a finished geo experiment (`analyze`; entry `geo_analyze`).

One in-time test decides the experiment: the method fitted at the real split,
against the historical windows of the test's length in the pre-period (the
test `power` and `select_markets` design for). Every headline number (the
average effect, the incremental units, the lift in percent, the return on
spend) is that test's estimate rescaled, so all carry its p-value and its
interval, rescaled.
"""

from __future__ import annotations

import numbers
from collections.abc import Hashable, Sequence
from typing import Any

import numpy as np
import pandas as pd

from . import _progress, _quintara
from ._verbs_common import _check_lookback, _labelled_errors, named_counts
from .panel import Panel, _first, as_panel, refuse_missing
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
        counterfactual total; with `spend`, ``iroas`` (incremental units per
        unit of spend added, or units lost per unit withheld) and the cost per
        incremental unit. Each is the one
        test's estimate rescaled, so all share ``p_value`` (the smallest
        alpha at which the in-time test rejects) and each interval is the
        test's ``ci`` (``att`` +- the windows' 1 - alpha quantile of
        ``|ATT|``) rescaled. ``paths()``: the effect and cumulative paths
        with pointwise bands.

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
    panel = as_panel(data, unit, time, outcome, time_order, time_format)
    # A Panel built with allow_missing reaches here with its holes; named by
    # label as synth names them, not as the compiled entry's bare refusal.
    refuse_missing(panel.y, panel.units, panel.periods)
    rows = panel.unit_positions(treated)
    t0 = panel.period_position(start)
    if t0 == 0:
        raise ValueError(f"start {start} is the first period; at least one pre-period is needed")
    stop = panel.shape[1] if end is None else panel.period_position(end) + 1
    if stop <= t0:
        raise ValueError(f"end {end} is before start {start}")
    total = _total_spend(panel, rows, spend)
    with _labelled_errors(panel):
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
    return ExperimentAnalysis(raw, panel, rows, t0, stop, method, dict(options))


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
