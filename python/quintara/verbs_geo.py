"""The labelled geo-experiment verbs: `power`, `select_markets` (single and
multi-cell designs) and `diagnose`."""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from typing import Any, overload

import pandas as pd

from . import _progress, _quintara
from ._verbs_common import (
    _check_lookback,
    _check_options,
    _choice,
    _labelled_errors,
    named_counts,
)
from .panel import Panel, as_panel, refuse_missing
from .results_cells import CellSelection
from .results_geo import Diagnostics, PowerAnalysis
from .results_select import MarketSelection


@named_counts
def power(
    data: Panel | pd.DataFrame,
    *,
    treated: Any,
    test_len: int,
    lifts: Sequence[float],
    method: str | None = None,
    members: Sequence[str] | None = None,
    unit: Hashable | None = None,
    time: Hashable | None = None,
    outcome: Hashable | None = None,
    time_order: Sequence[Any] | None = None,
    time_format: str | None = None,
    progress: bool | None = None,
    **options: Any,
) -> PowerAnalysis:
    """Power of a geo experiment on the named markets, from historical placebo windows.

    Parameters
    ----------
    data : Panel or pandas.DataFrame
        The panel, or a long table with `unit`, `time` and `outcome` columns.
    treated : label or sequence of labels
        The markets to treat, by name.
    test_len : int
        Length of the test, in periods.
    lifts : sequence of float
        Lifts to evaluate, as fractions (0.05 = +5%), taken in order of size
        (the curve lists them so, and its MDE is read along it).
    method : str, optional
        Estimator ("sc", "asc", "sdid", "fp", "rsc"; "sdid" when None), or
        "ensemble". Calls `geo_power`; with ``method="ensemble"`` or `members`
        given, `geo_power_ensemble`.
    members : sequence of str, optional
        Ensemble members (see `geo_power_ensemble`); with them `method` is
        None or "ensemble".
    unit, time, outcome : str, optional
        Column names when `data` is a long table.
    time_order, time_format : optional
        How a long table's text periods are put in time order when they are
        not numbers or dates in a format read by itself: the periods in order,
        or their strptime format (see `Panel.from_long`).
    progress : bool or None
        Show progress on stderr (None: only when stderr is a terminal).
    **options
        Passed to the entry (``alpha``, ``target_power``, ``lookback``, ...).

    Returns
    -------
    PowerAnalysis
        ``curve``: the detection rate at each lift (the share of historical
        windows whose ``|ATT|`` exceeds ``crit``, the 1 - alpha quantile of
        the no-lift windows' ``|ATT|``; with ``alternative="greater"`` those
        whose ATT exceeds the 1 - alpha quantile of the no-lift ATTs, with
        "less" those below their alpha quantile), with the lifts the windows recover;
        ``mde``: the smallest lift detected with ``target_power`` (a
        fraction; None when no lift given reaches it; ``raw.mde_abs_per_period``
        and ``raw.mde_cumulative`` state it in outcome units).

    See Also
    --------
    select_markets : Search the treated markets by this power.
    analyze : The finished test, decided by the rule this power is for.
    geo_power, geo_power_ensemble : The entries.

    Notes
    -----
    How the windows and the detection rule work: :ref:`inference`; the
    methods: :ref:`choosing`. A design from selection to analysis:
    the geo walkthrough.
    """
    panel = as_panel(data, unit, time, outcome, time_order, time_format)
    refuse_missing(panel.y, panel.units, panel.periods)
    rows = panel.unit_positions(treated)
    _check_lookback(options)
    # A scalar or a text would be read item by item (a string's characters).
    if isinstance(lifts, str | bytes) or not isinstance(lifts, Iterable):
        raise TypeError(
            f"lifts must be a list of lifts, such as [0.0, 0.05]; got {type(lifts).__name__}"
        )
    if members is not None and (
        isinstance(members, str | bytes) or not isinstance(members, Iterable)
    ):
        raise TypeError(
            "members must be a list of method names, such as ['sc', 'asc']; "
            f"got {type(members).__name__} {members!r}"
        )
    if members is not None and method not in (None, "ensemble"):
        # The ensemble would run and the method would be dropped unsaid.
        raise ValueError(
            f"method={method!r} and members= disagree: members runs the ensemble; "
            "pass method='ensemble' or leave method out"
        )
    # The MDE is the first crossing along the curve: in any other order than
    # by size it would depend on how the lifts were listed.
    lifts = sorted((float(x) for x in lifts), key=abs)
    entry: Callable[..., _quintara.PowerResult]
    if method == "ensemble" or members is not None:
        name, entry = "geo_power_ensemble", _quintara.geo_power_ensemble
        kwargs = dict(options, members=list(members) if members is not None else None)
    else:
        name, entry = "geo_power", _quintara.geo_power
        _check_options("power", entry, options, 4)
        kwargs = dict(options, method="sdid" if method is None else method)
    with _labelled_errors(panel):
        raw = _progress.run(
            entry,
            panel.y,
            rows,
            test_len,
            lifts,
            label="power windows",
            what="windows",
            show=progress,
            **kwargs,
        )
    return PowerAnalysis(raw, panel, rows, test_len, name, kwargs)


@overload
def select_markets(
    data: Panel | pd.DataFrame,
    *,
    eligible: Any = ...,
    max_treated: int = ...,  # may be left out with exact_size=
    test_len: int,
    target_lift: float,
    cells: None = ...,
    include: Any = ...,
    exclude: Any = ...,
    control_pool: Any = ...,
    spend: str | None = ...,
    unit: Hashable | None = ...,
    time: Hashable | None = ...,
    outcome: Hashable | None = ...,
    time_order: Sequence[Any] | None = ...,
    time_format: str | None = ...,
    progress: bool | None = ...,
    **options: Any,
) -> MarketSelection: ...


@overload
def select_markets(
    data: Panel | pd.DataFrame,
    *,
    eligible: Any = ...,
    max_treated: int | None = ...,
    test_len: int,
    target_lift: float | None = ...,
    cells: Sequence[Mapping[str, Any]],
    include: Any = ...,
    exclude: Any = ...,
    control_pool: Any = ...,
    spend: str | None = ...,
    unit: Hashable | None = ...,
    time: Hashable | None = ...,
    outcome: Hashable | None = ...,
    time_order: Sequence[Any] | None = ...,
    time_format: str | None = ...,
    progress: bool | None = ...,
    **options: Any,
) -> CellSelection: ...


@named_counts
def select_markets(
    data: Panel | pd.DataFrame,
    *,
    eligible: Any = None,
    max_treated: int | None = None,
    test_len: int,
    target_lift: float | None = None,
    cells: Sequence[Mapping[str, Any]] | None = None,
    include: Any = None,
    exclude: Any = None,
    control_pool: Any = None,
    spend: str | None = None,
    unit: Hashable | None = None,
    time: Hashable | None = None,
    outcome: Hashable | None = None,
    time_order: Sequence[Any] | None = None,
    time_format: str | None = None,
    progress: bool | None = None,
    **options: Any,
) -> MarketSelection | CellSelection:
    """Search and rank treatment-market sets (compiled entry `geo_select`), or
    joint multi-cell designs (`geo_select_cells`) with `cells`.

    Parameters
    ----------
    data : Panel or pandas.DataFrame
        The panel, or a long table with `unit`, `time` and `outcome` columns.
    eligible : sequence of labels, optional
        Markets that may be treated; every market when None.
    max_treated : int
        Largest number of treated markets in a candidate; with
        ``exact_size=`` (an option) it may be left out, and must not be
        below it.
    test_len : int
        Length of the test, in periods.
    target_lift : float
        The lift the test should detect, as a fraction (0.05 = +5%).
    cells : sequence of dict, optional
        A multi-cell design instead: one dict per cell with ``max_treated``,
        ``target_lift`` and optionally ``budget`` (the top-level `max_treated`
        and `target_lift` are then not given). The cells' treated sets are
        disjoint and every cell's controls exclude every treated market;
        ``n_candidates`` counts joint designs. Returns a `CellSelection`;
        `include` and ``search``/``swaps`` do not apply.
    include : sequence of labels, optional
        Markets every candidate must contain (eligible or not), at most
        `max_treated` of them.
    exclude : sequence of labels, optional
        Markets that may be neither treated nor used as controls (another
        test runs there, say); they never enter any fit.
    control_pool : sequence of labels, optional
        The only markets used as controls (less the candidate's own); every
        market not treated and not excluded when None.
    spend : str, optional
        A unit-level column of each market's cost of the test; with
        ``budget=`` (an option), sets whose markets' spend sums above it are
        never proposed. ``cost_per_unit=`` instead prices the incremental
        units the target lift brings (lift x test length x the market's mean
        per period).
    unit, time, outcome : str, optional
        Column names when `data` is a long table.
    time_order, time_format : optional
        How a long table's text periods are put in time order when they are
        not numbers or dates in a format read by itself: the periods in order,
        or their strptime format (see `Panel.from_long`).
    progress : bool or None
        Show progress on stderr (None: only when stderr is a terminal).
    **options
        Passed to `geo_select` (``method``, ``n_candidates``, ``seed``, ...).
        ``search`` defaults to "sized" here: the ``n_candidates`` budget is
        shared among the requested sizes (1 to `max_treated` markets, or
        ``exact_size``), sizes small enough are enumerated whole, and the
        result's `sizes` says how many distinct sets each size holds and how
        many were scored. "random" is the compiled default: every single
        addition first, then random larger sets. ``swaps=N`` spends N more
        evaluations improving the best candidate by single swaps until none
        beats it. ``solver`` defaults to "shared" here (for "sdid" and "sc"):
        every window's Gram matrix of all markets is formed once and each
        candidate's fits are solved on its submatrices, each window's solve
        starting from the previous window's weights; the scores equal the
        compiled default "refit" to rounding.

    Returns
    -------
    MarketSelection, or CellSelection with `cells`
        The candidate sets, best first. Each has ``score`` (its power at
        `target_lift` times a factor from 0.5 to 1 that grows with
        ``confidence``, plus a small bonus for a smaller MDE), ``power`` at
        the target lift, ``mde`` (the lift detected with the target power, a
        fraction), ``holdout`` (its share of total volume), ``pre_fit_rel``,
        ``stability`` and ``confidence``
        (the design diagnostics' score, 0 to 100).

    See Also
    --------
    power : One set's power curve.
    diagnose : One set's design diagnostics.
    analyze : The finished test.
    geo_select, geo_select_cells : The entries.

    Notes
    -----
    How power and the score are computed: :ref:`inference`.
    """
    panel = as_panel(data, unit, time, outcome, time_order, time_format)
    refuse_missing(panel.y, panel.units, panel.periods)
    _check_lookback(options)
    if cells is not None:
        if max_treated is not None or target_lift is not None or include is not None:
            raise TypeError(
                "select_markets(): with cells=, give max_treated and target_lift per cell "
                "(and no include)"
            )
        return _select_cells(
            panel, eligible, test_len, cells, exclude, control_pool, spend, progress, options
        )
    exact = options.get("exact_size")
    if exact is not None:
        try:
            exact = operator.index(exact)
        except TypeError:
            raise TypeError(f"exact_size must be an integer; got {exact!r}") from None
        if max_treated is None:
            # Sets of that size: the largest allowed. At least 1, so that a
            # bad exact_size meets the entry's own check of it.
            max_treated = max(exact, 1)
        elif exact > max_treated:
            # The entry would return sets larger than max_treated.
            raise ValueError(
                f"exact_size={exact} is above max_treated={max_treated}; pass one of them, "
                "or a max_treated of at least exact_size"
            )
    if max_treated is None:
        raise TypeError("select_markets() missing required keyword argument 'max_treated'")
    if target_lift is None:
        raise TypeError("select_markets() missing required keyword argument 'target_lift'")
    _check_options("select_markets", _quintara.geo_select, options, 5)
    rows = list(range(panel.shape[0])) if eligible is None else panel.unit_positions(eligible)
    # The search that spends the budget across the requested sizes, and the
    # solver that shares matrices between candidates, unless asked for the
    # compiled defaults.
    kwargs = {"search": "sized", "solver": "shared", **options}
    if spend is not None:
        kwargs["spend"] = pd.to_numeric(panel.unit_column(spend), errors="raise").tolist()
    given = {"include": include, "exclude": exclude, "control_pool": control_pool}
    for name, labels in given.items():
        if labels is not None:
            kwargs[name] = panel.unit_positions(labels)
    forced = len(set(kwargs.get("include", ())))
    # With exact_size the entry names that instead.
    if exact is None and forced > max_treated:
        # The compiled search would return the include set alone, larger
        # than every size asked for.
        raise ValueError(f"include lists {forced} markets, more than max_treated={max_treated}")
    with _labelled_errors(panel):
        # The sized search's plan: its counts of distinct sets hold for any search.
        counts = _quintara._candidate_counts(
            panel.y, rows, max_treated, test_len, target_lift, **kwargs
        )
        raw = _progress.run(
            _quintara.geo_select,
            panel.y,
            rows,
            max_treated,
            test_len,
            target_lift,
            label="candidates",
            what="candidates",
            show=progress,
            **kwargs,
        )
    return MarketSelection(
        raw,
        panel,
        test_len,
        target_lift,
        kwargs,
        counts,
        max_treated,
        eligible=None if eligible is None else [panel.units[i] for i in rows],
        spend=spend,
    )


_CELL_KEYS = ("max_treated", "target_lift", "budget")
_CELL_KEYS_TEXT = "'max_treated', 'target_lift' and optionally 'budget'"


def _cell_specs(cells: Any) -> list[dict[str, Any]]:
    """The cells as dicts, each checked for the keys and kinds of value a cell takes."""
    if isinstance(cells, Mapping | str | bytes) or not isinstance(cells, Iterable):
        raise TypeError(
            "cells must be a list with one entry per cell, each a mapping with keys "
            f"{_CELL_KEYS_TEXT}; got {type(cells).__name__}"
        )
    specs = []
    for k, c in enumerate(cells):
        if not isinstance(c, Mapping):
            raise TypeError(
                f"cells[{k}] must be a mapping with keys {_CELL_KEYS_TEXT}; got {type(c).__name__}"
            )
        unknown = [key for key in c if key not in _CELL_KEYS]
        if unknown:
            which = "key" if len(unknown) == 1 else "keys"
            raise ValueError(
                f"cells[{k}] has unknown {which} {', '.join(map(repr, unknown))} "
                f"(expected {_CELL_KEYS_TEXT})"
            )
        for key in ("max_treated", "target_lift"):
            if key not in c:
                raise ValueError(f"cells[{k}] must give {key!r}")
        try:
            operator.index(c["max_treated"])
        except TypeError:
            raise TypeError(
                f"cells[{k}]['max_treated'] must be an integer; got {c['max_treated']!r}"
            ) from None
        for key in ("target_lift", "budget"):
            value = c.get(key)
            if not (value is None and key == "budget") and not isinstance(value, numbers.Real):
                raise TypeError(f"cells[{k}][{key!r}] must be a number; got {value!r}")
        budget = c.get("budget")
        # The entry reads a NaN budget as none: a NaN given is a mistake.
        if budget is not None and not (math.isfinite(budget) and budget > 0):
            shown = "NaN" if math.isnan(budget) else f"{float(budget):g}"
            raise ValueError(
                f"cells[{k}]['budget'] must be finite and > 0 (leave it out for no budget); "
                f"got {shown}"
            )
        specs.append(dict(c))
    return specs


def _select_cells(
    panel: Panel,
    eligible: Any,
    test_len: int,
    cells: Sequence[Mapping[str, Any]],
    exclude: Any,
    control_pool: Any,
    spend: str | None,
    progress: bool | None,
    options: dict[str, Any],
) -> CellSelection:
    """`select_markets` with cells: the lists per cell for `geo_select_cells`."""
    _check_options("select_markets", _quintara.geo_select_cells, options, 6)
    specs = _cell_specs(cells)
    rows = list(range(panel.shape[0])) if eligible is None else panel.unit_positions(eligible)
    kwargs: dict[str, Any] = {"solver": "shared", **options}
    if any(c.get("budget") is not None for c in specs):
        kwargs["cell_budgets"] = [
            float("nan") if c.get("budget") is None else float(c["budget"]) for c in specs
        ]
    if spend is not None:
        kwargs["spend"] = pd.to_numeric(panel.unit_column(spend), errors="raise").tolist()
    for name, labels in {"exclude": exclude, "control_pool": control_pool}.items():
        if labels is not None:
            kwargs[name] = panel.unit_positions(labels)
    with _labelled_errors(panel):
        raw = _progress.run(
            _quintara.geo_select_cells,
            panel.y,
            rows,
            [c["max_treated"] for c in specs],
            [c["target_lift"] for c in specs],
            test_len,
            label="designs",
            what="designs",
            show=progress,
            **kwargs,
        )
    excluded = set(kwargs.get("exclude", ()))
    pool = kwargs.get("control_pool", range(panel.shape[0]))
    controls = sorted({i for i in pool if i not in excluded})
    return CellSelection(
        raw,
        panel,
        test_len,
        specs,
        controls,
        kwargs,
        eligible=None if eligible is None else [panel.units[i] for i in rows],
        spend=spend,
    )


@named_counts
def diagnose(
    data: Panel | pd.DataFrame,
    *,
    treated: Any,
    test_len: int,
    method: str = "sdid",
    unit: Hashable | None = None,
    time: Hashable | None = None,
    outcome: Hashable | None = None,
    time_order: Sequence[Any] | None = None,
    time_format: str | None = None,
) -> Diagnostics:
    """Design diagnostics of a treated-market set (compiled entry `geo_diagnostics`).

    Parameters
    ----------
    data : Panel or pandas.DataFrame
        The panel, or a long table with `unit`, `time` and `outcome` columns.
    treated : label or sequence of labels
        The markets to treat, by name.
    test_len : int
        Length of the test, in periods (the last `test_len` periods).
    method : {"sdid", "sc", "asc", "fp", "rsc"}
        The estimator the test will use (as in `power`): `Diagnostics.synthetic`
        and the plot compare the treated markets with its synthetic control.
        The statistics themselves are the entry's (a synthetic-control fit).
    unit, time, outcome : str, optional
        Column names when `data` is a long table.
    time_order, time_format : optional
        How a long table's text periods are put in time order when they are
        not numbers or dates in a format read by itself: the periods in order,
        or their strptime format (see `Panel.from_long`).

    Returns
    -------
    Diagnostics
        ``holdout_pct``: the treated markets' share of total volume (a
        fraction); ``pre_fit_rel``: the synthetic control's pre-period RMSPE
        over the treated series' own spread; ``improvement_vs_naive``: how
        much it improves on a shifted donor average; seasonality and
        stability of the treated series; ``confidence``: a score from 0 to
        100; ``warnings``: plain-language warnings. None of these is a test.

    See Also
    --------
    power, select_markets : Power of a design, and the search for one.
    geo_diagnostics : The entry.

    Notes
    -----
    Where the diagnostics enter market selection: :ref:`inference`.
    """
    _choice("method", method, ("sdid", "sc", "asc", "fp", "rsc"))
    panel = as_panel(data, unit, time, outcome, time_order, time_format)
    refuse_missing(panel.y, panel.units, panel.periods)
    rows = panel.unit_positions(treated)
    with _labelled_errors(panel):
        raw = _quintara.geo_diagnostics(panel.y, rows, test_len)
    return Diagnostics(raw, panel, rows, test_len, method)
