"""The labelled verbs: tables and names in, labelled results out.

Each verb takes a `Panel` (or a long DataFrame with unit=, time=, outcome=
column names), translates unit names and period labels into the indices the
compiled entries take, calls one compiled entry and wraps its result with the
labels. Options not named here are passed to the entry unchanged; anything
left out takes the entry's default. Long calls run through `_progress.run`:
progress on a terminal, a clean KeyboardInterrupt on Ctrl-C.
"""

from __future__ import annotations

import warnings
from collections.abc import Hashable, Mapping, Sequence
from typing import Any, Literal, overload

import numpy as np
import pandas as pd

from . import _progress, _quintara
from ._methods import SYNTH
from .panel import Panel, as_panel, refuse_missing
from .results import ConformalResult, SynthResult
from .results_cells import CellSelection
from .results_did import BaconDecomposition, StaggeredResult
from .results_geo import Diagnostics, MarketSelection, PowerAnalysis

__all__ = ["synth", "staggered", "power", "select_markets", "diagnose", "SYNTH_METHODS"]

SYNTH_METHODS = tuple(SYNTH)

_STAGGERED = {
    "callaway": "fit_callaway_py",
    "twfe": "fit_twfe_py",
    "sunab": "fit_sunab_py",
    "bacon": "bacon_decompose_py",
    "imputation": "fit_imputation_py",
}


def _entry(name: str) -> Any:
    fn = getattr(_quintara, name, None)
    if fn is None:
        raise ValueError(f"this build of quintara has no compiled entry {name!r}")
    return fn


# What the progress line calls a run with each inference, and what its
# counter counts.
_RUN_LABEL = {
    "placebo": "placebo refits",
    "conformal": "conformal test",
    "in_time": "historical windows",
}
_RUN_STEPS = {"placebo": "refits", "in_time": "windows"}
# The tests with an entry of their own, which takes the method by name.
_TEST_ENTRY = {"conformal": "fit_conformal", "in_time": "geo_test"}


def _check_options(verb: str, entry: Any, options: Mapping[str, Any], taken: int) -> None:
    """An option the compiled entry does not take is the verb's TypeError, not the entry's.

    `taken` counts the entry's leading parameters the verb fills itself.
    """
    import inspect

    try:
        names = list(inspect.signature(entry).parameters)[taken:]
    except (TypeError, ValueError):  # an entry without a text signature: let it decide
        return
    for key in options:
        if key not in names:
            raise TypeError(f"{verb}() got an unexpected keyword argument {key!r}")


def _choice(what: str, value: str, allowed: Sequence[str]) -> None:
    if value not in allowed:
        raise ValueError(f"{what} must be one of {', '.join(map(repr, allowed))}, not {value!r}")


@overload
def synth(
    data: Panel | pd.DataFrame,
    *,
    treated: Any,
    start: Any,
    method: Literal["cpasc"],
    inference: str = ...,
    unit: Hashable | None = ...,
    time: Hashable | None = ...,
    outcome: Hashable | None = ...,
    time_order: Sequence[Any] | None = ...,
    time_format: str | None = ...,
    missing: str = ...,
    progress: bool | None = ...,
    **options: Any,
) -> ConformalResult: ...


@overload
def synth(
    data: Panel | pd.DataFrame,
    *,
    treated: Any,
    start: Any,
    method: str = ...,
    inference: str = ...,
    unit: Hashable | None = ...,
    time: Hashable | None = ...,
    outcome: Hashable | None = ...,
    time_order: Sequence[Any] | None = ...,
    time_format: str | None = ...,
    missing: str = ...,
    progress: bool | None = ...,
    **options: Any,
) -> SynthResult: ...


def synth(
    data: Panel | pd.DataFrame,
    *,
    treated: Any,
    start: Any,
    method: str = "sc",
    inference: str = "none",
    unit: Hashable | None = None,
    time: Hashable | None = None,
    outcome: Hashable | None = None,
    time_order: Sequence[Any] | None = None,
    time_format: str | None = None,
    missing: str = "refuse",
    progress: bool | None = None,
    **options: Any,
) -> SynthResult | ConformalResult:
    """Fit a synthetic-control-family estimator by labels.

    Parameters
    ----------
    data : Panel or pandas.DataFrame
        The panel, or a long table with `unit`, `time` and `outcome` columns.
    treated : label or sequence of labels
        The treated units, by name.
    start : label
        The first treated period, by label (for example 1989 or "2019-03-04").
    method : {"sc", "fp", "asc", "sdid", "rsc", "mcnnm", "cpasc"}
        The compiled entry called: sc -> `fit_sc`, fp -> `fit_fp`, asc ->
        `fit_asc`, sdid -> `fit_sdid`, rsc -> `fit_rsc`, mcnnm -> `fit_mcnnm`,
        cpasc -> `fit_cpasc`.
    inference : {"none", "placebo", "conformal", "in_time", "jackknife"}
        "placebo" passes ``placebo=True`` (``inference="placebo"`` for sdid)
        with ``placebo_size="matched"`` (each placebo treats as many units as
        there are treated units, drawn from every unit, and is refitted on all
        the others) and ``max_pre_ratio=5`` (placebos fitting
        their pre-period over 5 times worse than the treated are left out)
        unless `options` say otherwise; the interval is the test's own
        inversion. ``placebo_size="single"`` (each donor in turn, refitted on
        the other donors) is run on at most ``n_placebo`` (1000) donors, a
        draw fixed by ``seed``, and on every donor when there are fewer (the
        compiled ``placebo_size="sampled"``). "conformal" (sc, fp, asc,
        sdid) calls `fit_conformal`: the conformal test of Chernozhukov,
        Wuthrich & Zhu (2021), the method refitted on all periods under each
        hypothesised constant effect and the residuals permuted in moving
        blocks over time; its interval inverts that test and
        `SynthResult.pointwise` holds one interval per post period. "in_time"
        (sc, fp, asc, sdid, rsc) calls `geo_test`: the detection test of
        `power` and `select_markets` (|ATT| against the 1 - alpha quantile of
        |ATT| over historical windows of the post-period's length, options
        ``alpha``, ``min_pre``, ``lookback`` and ``alternative`` ("greater"
        or "less": the one-sided test of a heavy-up or go-dark design, its
        interval one-sided) as in `power`), so a geo
        experiment is analysed by the test its design's power is for. "jackknife"
        is sdid's only. mcnnm takes none; cpasc always returns its conformal
        p-value.
    unit, time, outcome : str, optional
        Column names when `data` is a long table.
    time_order, time_format : optional
        How a long table's text periods are put in time order when they are
        not numbers or dates in a format read by itself: the periods in order,
        or their strptime format (see `Panel.from_long`).
    missing : {"refuse", "drop_donors"}
        Missing (unit, period) cells: "refuse" raises naming them;
        "drop_donors" fits without every donor that has one (named in
        `SynthResult.dropped_donors` and the summary). A treated unit with a
        missing cell is refused either way.
    progress : bool or None
        Show progress on stderr (None: only when stderr is a terminal).
    **options
        Passed to the compiled entry (for example ``ridge``, ``level``).

    Returns
    -------
    SynthResult or ConformalResult
        ConformalResult for cpasc, SynthResult otherwise.
    """
    _choice("method", method, SYNTH_METHODS)
    _choice("inference", inference, ("none", "placebo", "conformal", "in_time", "jackknife"))
    row = SYNTH[method]
    name = _TEST_ENTRY.get(inference, row.entry)
    for flag in ("placebo", "inference"):
        # The verb says inference= once; a second way of saying it could only
        # contradict it.
        if flag in options:
            raise ValueError(
                f"synth() takes inference={inference!r}; do not also pass {flag}= "
                f"({flag}={options[flag]!r})"
            )
    if inference in _TEST_ENTRY and not getattr(row, inference):
        runs = ", ".join(m for m, r in SYNTH.items() if getattr(r, inference))
        raise ValueError(
            f"method {method!r} has no {inference.replace('_', '-')} test "
            f"({inference!r} inference runs {runs})"
        )
    # These entries' fourth parameter is the method, which the verb fills.
    _check_options("synth", _entry(name), options, 4 if inference in _TEST_ENTRY else 3)
    if inference == "jackknife" and method != "sdid":
        raise ValueError(
            f"jackknife inference is sdid's only; method {method!r} takes 'none' or 'placebo'"
        )
    if inference in ("placebo", "jackknife") and row.placebo is None:
        raise ValueError(f"method {method!r} takes no inference option (use inference='none')")
    _choice("missing", missing, ("refuse", "drop_donors"))
    panel = as_panel(
        data,
        unit=unit,
        time=time,
        outcome=outcome,
        time_order=time_order,
        time_format=time_format,
        missing="keep" if missing == "drop_donors" else "refuse",
    )
    rows = panel.unit_positions(treated)
    panel, rows, dropped = _complete_donors(panel, rows, missing)
    t0 = panel.period_position(start)
    if t0 == 0:
        raise ValueError(f"start {start} is the first period; at least one pre-period is needed")
    kwargs = dict(options)
    if inference == "placebo":
        kwargs.update(row.placebo_kwargs())
        # The calibrated test unless asked otherwise: placebos of the treated
        # set's size, poorly fitted placebos left out.
        kwargs.setdefault("placebo_size", "matched")
        kwargs.setdefault("max_pre_ratio", 5.0)
        if kwargs["placebo_size"] == "single":
            # n_placebo bounds this test too: a pool of thousands of donors
            # refits a seeded draw of them, every donor when there are fewer.
            kwargs["placebo_size"] = "sampled"
    elif inference == "jackknife":
        kwargs["inference"] = inference
    elif inference in _TEST_ENTRY:
        kwargs["method"] = method
    raw = _progress.run(
        _entry(name),
        panel.y,
        rows,
        t0,
        label=f"{method} {_RUN_LABEL.get(inference, 'fit')}",
        what=_RUN_STEPS.get(inference, "steps"),
        show=progress,
        **kwargs,
    )
    if method == "cpasc":
        return ConformalResult(raw, panel, rows, t0, kwargs)
    if inference in _TEST_ENTRY:
        kwargs.pop("method")
    return SynthResult(raw, panel, rows, t0, method, name, inference, kwargs, dropped)


# How a refusal names each staggered method.
_NEEDS_BALANCE = {
    "bacon": "the Goodman-Bacon decomposition",
    "twfe": "twfe",
    "sunab": "sunab",
    "callaway": "callaway",
}


# How a staggered method treats missing cells unless told.
_BALANCE = ("drop", "keep", "refuse")
_DEFAULT_BALANCE = {
    "callaway": "drop",
    "twfe": "keep",
    "sunab": "keep",
    "imputation": "keep",
    "bacon": "refuse",
}


def _sampling(panel: Panel, weights: str | None, cluster: str | None) -> dict[str, Any]:
    """The compiled entries' weights= and clusters= from unit-level columns."""
    out: dict[str, Any] = {}
    for arg, column in (("weights", weights), ("cluster", cluster)):
        if column is None:
            continue
        values = panel.unit_column(column)
        if values.isna().any():
            gaps = ", ".join(map(str, values.index[values.isna()][:5]))
            raise ValueError(f"{arg} column {column!r} is missing for units {gaps}")
        if arg == "weights":
            out["weights"] = pd.to_numeric(values, errors="raise").to_numpy(dtype="float64")
        else:
            out["clusters"] = pd.factorize(values)[0].astype("int64")
    return out


def _balanced(
    panel: Panel, codes: list[int], labels: pd.Series, mode: str, estimator: str
) -> tuple[Panel, list[int], pd.Series, list[Any]]:
    """The panel of the units observed in every period, their cohort codes and
    labels, and the units left out (balance="drop"); with "refuse", a
    ValueError naming the incomplete units."""
    if not np.isnan(panel.y).any():  # one quick pass settles the usual case
        return panel, codes, labels, []
    incomplete = np.flatnonzero(np.isnan(panel.y).any(axis=1))
    names = [panel.units[i] for i in incomplete]
    if mode == "refuse":
        shown = ", ".join(map(str, names[:5])) + (", ..." if len(names) > 5 else "")
        raise ValueError(
            f"{_NEEDS_BALANCE[estimator]} needs a balanced panel: {len(names)} units lack some "
            f"periods ({shown}); pass balance='drop' to fit the "
            f"{panel.shape[0] - len(names)} units observed in every period"
        )
    keep = np.setdiff1d(np.arange(panel.shape[0]), incomplete)
    sub = panel.without_units([int(i) for i in incomplete])
    return sub, [codes[i] for i in keep], labels.iloc[keep], names


def _complete_donors(
    panel: Panel, rows: list[int], missing: str
) -> tuple[Panel, list[int], list[Any]]:
    """The panel without donors that have missing cells (missing="drop_donors"),
    the treated rows in it, and the dropped donors' labels; a missing cell of a
    treated unit, or any under missing="refuse", is a ValueError."""
    holes = np.isnan(panel.y)
    if not holes.any():
        return panel, rows, []
    if missing == "refuse":
        refuse_missing(panel.y, panel.units, panel.periods)
    for r in rows:
        if holes[r].any():
            gaps = ", ".join(str(p) for p in panel.periods[holes[r]][:5])
            raise ValueError(
                f"treated unit {panel.units[r]} has missing cells ({gaps}); "
                "missing='drop_donors' drops donors only"
            )
    drop = [int(i) for i in np.flatnonzero(holes.any(axis=1)) if i not in rows]
    sub = panel.without_units(drop)
    treated = [panel.units[r] for r in rows]
    return sub, sub.unit_positions(treated), list(panel.units[drop])


# Text that marks a never-treated unit in an adoption column.
_NEVER = {"", "never", "none", "nan", "na", "n/a", "inf", "never treated", "untreated", "control"}


def _never_marker(v: Any) -> bool:
    """Missing, 0, negative or infinite numbers, and the usual words for never."""
    if isinstance(v, str):
        return v.strip().lower() in _NEVER
    if isinstance(v, int | float | np.number) and not isinstance(v, bool):
        return bool(v <= 0 or np.isinf(v))
    return False


def cohort_codes(panel: Panel, adoption: Any) -> tuple[list[int], pd.Series]:
    """Adoption periods per unit as the compiled entries' column indices (-1: never treated).

    `adoption` is a column name of the panel's unit-level data, or a mapping /
    Series from unit label to adoption-period label. A unit is never treated
    when its value is missing, 0, or not a period of the panel; units absent
    from a mapping are never treated.

    Returns the codes in unit order and the adoption-period labels by unit
    (missing for never-treated units).
    """
    if isinstance(adoption, str) and not isinstance(adoption, Mapping):
        values = panel.unit_column(adoption)
    elif isinstance(adoption, Mapping | pd.Series):
        known = set(panel.units)
        unknown = [k for k in adoption.keys() if k not in known]
        if unknown:
            raise ValueError(
                f"adoption names units not in the panel: {', '.join(map(str, unknown[:5]))}"
            )
        values = pd.Series(dict(adoption.items())).reindex(panel.units)
    else:
        raise ValueError("adoption must be a column name or a mapping from unit to adoption period")
    # Each distinct value is looked up once: a table has few adoption periods
    # and may have a million units.
    series = pd.Series(values)
    # Numbers factorize as they are; anything else as objects, so mixed
    # labels (2012, "never") stay distinct.
    if not pd.api.types.is_numeric_dtype(series) or pd.api.types.is_bool_dtype(series):
        series = series.astype(object)
    which, distinct = pd.factorize(series, use_na_sentinel=True)
    found = np.full(len(distinct) + 1, -1, dtype=np.int64)  # the last: missing values
    stray = np.zeros(len(distinct) + 1, dtype=bool)
    for k, v in enumerate(distinct):
        # 0 marks never-treated units in common data sets, even where 0 is a period.
        zero = isinstance(v, int | float | np.number) and not isinstance(v, bool) and v == 0
        if zero:
            continue
        try:
            found[k] = panel.period_position(v)
        except ValueError:
            stray[k] = not _never_marker(v)
    which = np.where(which < 0, len(distinct), which)
    codes = found[which].tolist()
    periods = np.asarray([*panel.periods, None], dtype=object)
    labels = periods[found[which]]  # -1 picks the appended None
    strays = [
        f"{u} ({v})" for u, v in zip(panel.units[stray[which]], values[stray[which]], strict=True)
    ]
    if strays:
        # A typo (20012 for 2012) would otherwise make a treated unit a control.
        warnings.warn(
            f"adoption values of {len(strays)} unit{'s' if len(strays) > 1 else ''} are neither "
            f"periods of the panel nor never-treated markers and count as never treated: "
            f"{', '.join(strays[:5])}"
            + (f", ... ({len(strays) - 5} more)" if len(strays) > 5 else ""),
            UserWarning,
            stacklevel=3,
        )
    return codes, pd.Series(labels, index=panel.units, name="cohort", dtype=object)


@overload
def staggered(
    data: Panel | pd.DataFrame,
    *,
    adoption: Any,
    method: Literal["bacon"],
    estimator: str | None = ...,
    control: str = ...,
    unit: Hashable | None = ...,
    time: Hashable | None = ...,
    outcome: Hashable | None = ...,
    time_order: Sequence[Any] | None = ...,
    time_format: str | None = ...,
    balance: str | None = ...,
    weights: str | None = ...,
    cluster: str | None = ...,
    progress: bool | None = ...,
    **options: Any,
) -> BaconDecomposition: ...


@overload
def staggered(
    data: Panel | pd.DataFrame,
    *,
    adoption: Any,
    method: str | None = ...,
    estimator: Literal["bacon"],
    control: str = ...,
    unit: Hashable | None = ...,
    time: Hashable | None = ...,
    outcome: Hashable | None = ...,
    time_order: Sequence[Any] | None = ...,
    time_format: str | None = ...,
    balance: str | None = ...,
    weights: str | None = ...,
    cluster: str | None = ...,
    progress: bool | None = ...,
    **options: Any,
) -> BaconDecomposition: ...


@overload
def staggered(
    data: Panel | pd.DataFrame,
    *,
    adoption: Any,
    method: str | None = ...,
    estimator: str | None = ...,
    control: str = ...,
    unit: Hashable | None = ...,
    time: Hashable | None = ...,
    outcome: Hashable | None = ...,
    time_order: Sequence[Any] | None = ...,
    time_format: str | None = ...,
    balance: str | None = ...,
    weights: str | None = ...,
    cluster: str | None = ...,
    progress: bool | None = ...,
    **options: Any,
) -> StaggeredResult: ...


def staggered(
    data: Panel | pd.DataFrame,
    *,
    adoption: Any,
    method: str | None = None,
    estimator: str | None = None,
    control: str = "never",
    unit: Hashable | None = None,
    time: Hashable | None = None,
    outcome: Hashable | None = None,
    time_order: Sequence[Any] | None = None,
    time_format: str | None = None,
    balance: str | None = None,
    weights: str | None = None,
    cluster: str | None = None,
    progress: bool | None = None,
    **options: Any,
) -> StaggeredResult | BaconDecomposition:
    """Fit a staggered-adoption difference-in-differences estimator by labels.

    Parameters
    ----------
    data : Panel or pandas.DataFrame
        The panel, or a long table with `unit`, `time` and `outcome` columns.
    adoption : str or mapping
        A column holding each unit's adoption period (constant within a unit),
        or a mapping from unit label to adoption-period label. Missing values,
        and values that are not periods of the panel (such as 0), mark
        never-treated units.
    method : {"callaway", "twfe", "sunab", "imputation", "bacon"}, optional
        The compiled entry called: callaway (the default) -> `fit_callaway_py`,
        twfe -> `fit_twfe_py`, sunab -> `fit_sunab_py`, imputation (Borusyak,
        Jaravel & Spiess 2024) -> `fit_imputation_py`, bacon ->
        `bacon_decompose_py`.
    estimator : str, optional
        An alias of `method`; giving both, with different values, is a
        ValueError.
    control : {"never", "notyet"}
        Comparison group (Callaway-Sant'Anna only; the others use never-treated
        and later-treated units as their design dictates).
    unit, time, outcome : str, optional
        Column names when `data` is a long table.
    time_order, time_format : optional
        How a long table's text periods are put in time order when they are
        not numbers or dates in a format read by itself: the periods in order,
        or their strptime format (see `Panel.from_long`).
    balance : {"drop", "keep", "refuse"}, optional
        A table missing some (unit, period) cells: "drop" fits the units
        observed in every period (the result's `dropped_units` names the
        others), "keep" fits every observed cell, "refuse" raises. twfe,
        sunab and imputation default to "keep" (they are defined on any
        unbalanced panel); Callaway-Sant'Anna defaults to "drop", and "keep"
        runs its unbalanced-panel mode (each 2x2 comparison from the units
        observed in its two periods, as repeated cross-sections); the
        Goodman-Bacon decomposition needs a balanced panel ("refuse" by
        default, or "drop").
    weights : str, optional
        A unit-level column of positive sampling weights (constant within a
        unit): weighted least squares for twfe and sunab, weighted cell means
        and shares for callaway.
    cluster : str, optional
        A unit-level column (e.g. the state of each county) by which the
        standard errors are clustered instead of by unit; the result's
        `n_clusters` counts them.
    progress : bool or None
        Show progress on stderr (None: only when stderr is a terminal).
    **options
        Passed to `fit_callaway_py` (``bands``, ``n_reps``, ``seed``,
        ``level``, ``anticipation``, ``base_period``, ``est_method``, the
        event-study window ``min_e``, ``max_e`` and ``balance_e``;
        ``covariates`` may name unit-level columns of the table).
        ``est_method`` is each group-time cell's estimator, as the field's
        reference implementation names them: "reg" (outcome regression of
        the comparison units' changes on the covariates, the default), "ipw"
        (inverse probability weighting by a logit propensity score of the
        cohort against its comparison units) or "dr" (doubly robust: both);
        without covariates all three are the unadjusted 2x2 comparison, and
        ipw and dr need every cell of the fitted units (``balance="drop"``,
        not ``"keep"`` with missing cells). ``base_period`` defaults to
        "varying" here (each pre-period against the period before it, as the
        field's reference implementation does); "universal" compares every
        period with the one before adoption. twfe and sunab take ``level``
        and ``ssc`` (the small-sample correction of their standard errors);
        imputation takes ``level`` and ``pretrends`` (the leads of its
        pre-trend test; default: as many as the data identify, 0: none).

    Returns
    -------
    StaggeredResult or BaconDecomposition
        BaconDecomposition for bacon, StaggeredResult otherwise.
    """
    if method is not None and estimator is not None and method != estimator:
        raise ValueError(
            f"method={method!r} and estimator={estimator!r} disagree; give one of them"
        )
    estimator = method or estimator or "callaway"
    _choice("method", estimator, tuple(_STAGGERED))
    _choice("control", control, ("never", "notyet"))
    _check_options("staggered", _entry(_STAGGERED[estimator]), options, 2)
    allowed = {
        "bacon": [],
        "twfe": ["level", "ssc"],
        "sunab": ["level", "ssc"],
        "imputation": ["level", "pretrends"],
    }.get(estimator, ["level"])
    if estimator != "callaway" and (control != "never" or set(options) - set(allowed)):
        raise ValueError(
            f"method {estimator!r} takes no control= or other options; only 'callaway' does"
            + (f" (it takes {' and '.join(k + '=' for k in allowed)})" if allowed else "")
        )
    mode = balance or _DEFAULT_BALANCE[estimator]
    _choice("balance", mode, ("drop", "refuse") if estimator == "bacon" else _BALANCE)
    if estimator == "bacon" and (weights is not None or cluster is not None):
        raise ValueError("method 'bacon' takes no weights= or cluster=")
    panel = as_panel(
        data,
        unit=unit,
        time=time,
        outcome=outcome,
        time_order=time_order,
        time_format=time_format,
        missing="keep",
    )
    codes, labels = cohort_codes(panel, adoption)
    if mode != "keep":
        panel, codes, labels, dropped = _balanced(panel, codes, labels, mode, estimator)
    else:
        dropped = []
    fn = _entry(_STAGGERED[estimator])
    if estimator == "bacon":
        return BaconDecomposition(fn(panel.y, codes), panel, labels, dropped)
    design = _sampling(panel, weights, cluster)
    if mode == "keep" and np.isnan(panel.y).any():
        design["missing"] = "keep"
    described: dict[str, Any] = {"weights": weights, "cluster": cluster, "balance": mode}
    if estimator != "callaway":
        raw = fn(panel.y, codes, **options, **design)
        return StaggeredResult(
            raw,
            panel,
            labels,
            estimator,
            _STAGGERED[estimator],
            None,
            raw.level,
            dropped,
            **described,
        )
    kwargs = dict(options, **design)
    # The field's reference implementation compares pre-periods with the
    # period before each; the compiled entry keeps one base per cohort.
    kwargs.setdefault("base_period", "varying")
    cov = kwargs.get("covariates")
    if isinstance(cov, str) or (
        isinstance(cov, Sequence) and cov and all(isinstance(c, str) for c in cov)
    ):
        cols = [cov] if isinstance(cov, str) else list(cov)
        kwargs["covariates"] = pd.concat([panel.unit_column(c) for c in cols], axis=1).to_numpy(
            dtype="float64"
        )
    raw = _progress.run(fn, panel.y, codes, control, label="callaway", show=progress, **kwargs)
    return StaggeredResult(
        raw,
        panel,
        labels,
        "callaway",
        _STAGGERED[estimator],
        control,
        raw.level,
        dropped,
        **described,
        est_method=kwargs.get("est_method", "reg"),
    )


def power(
    data: Panel | pd.DataFrame,
    *,
    treated: Any,
    test_len: int,
    lifts: Sequence[float],
    method: str = "sdid",
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
        Lifts to evaluate, as fractions (0.05 = +5%).
    method : str
        Estimator ("sc", "asc", "sdid", "fp", "rsc"), or "ensemble".
        Calls `geo_power`; with ``method="ensemble"`` or `members` given,
        `geo_power_ensemble`.
    members : sequence of str, optional
        Ensemble members (see `geo_power_ensemble`).
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
    """
    panel = as_panel(data, unit, time, outcome, time_order, time_format)
    rows = panel.unit_positions(treated)
    lifts = [float(x) for x in lifts]
    if method == "ensemble" or members is not None:
        kwargs = dict(options, members=list(members) if members is not None else None)
        raw = _progress.run(
            _quintara.geo_power_ensemble,
            panel.y,
            rows,
            test_len,
            lifts,
            label="power windows",
            what="windows",
            show=progress,
            **kwargs,
        )
        return PowerAnalysis(raw, panel, rows, test_len, "geo_power_ensemble", kwargs)
    _check_options("power", _quintara.geo_power, options, 4)
    kwargs = dict(options, method=method)
    raw = _progress.run(
        _quintara.geo_power,
        panel.y,
        rows,
        test_len,
        lifts,
        label="power windows",
        what="windows",
        show=progress,
        **kwargs,
    )
    return PowerAnalysis(raw, panel, rows, test_len, "geo_power", kwargs)


@overload
def select_markets(
    data: Panel | pd.DataFrame,
    *,
    eligible: Any = ...,
    max_treated: int,
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
        Largest number of treated markets in a candidate.
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
        Markets every candidate must contain.
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
    """
    panel = as_panel(data, unit, time, outcome, time_order, time_format)
    if cells is not None:
        if max_treated is not None or target_lift is not None or include is not None:
            raise TypeError(
                "select_markets(): with cells=, give max_treated and target_lift per cell "
                "(and no include)"
            )
        return _select_cells(
            panel, eligible, test_len, cells, exclude, control_pool, spend, progress, options
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
    counts = _quintara._candidate_counts(  # type: ignore[attr-defined]
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
    return MarketSelection(raw, panel, test_len, target_lift, kwargs, counts)


_CELL_KEYS = ("max_treated", "target_lift", "budget")


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
    specs = [dict(c) for c in cells]
    for k, c in enumerate(specs):
        unknown = sorted(set(c) - set(_CELL_KEYS))
        if unknown:
            raise ValueError(f"cells[{k}] has unknown key {unknown[0]!r} (expected {_CELL_KEYS})")
        for key in ("max_treated", "target_lift"):
            if key not in c:
                raise ValueError(f"cells[{k}] must give {key!r}")
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
    return CellSelection(raw, panel, test_len, specs, controls, kwargs)


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
    """
    _choice("method", method, ("sdid", "sc", "asc", "fp", "rsc"))
    panel = as_panel(data, unit, time, outcome, time_order, time_format)
    rows = panel.unit_positions(treated)
    raw = _quintara.geo_diagnostics(panel.y, rows, test_len)
    return Diagnostics(raw, panel, rows, test_len, method)
