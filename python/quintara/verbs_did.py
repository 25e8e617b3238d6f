"""The labelled staggered-adoption verb: `staggered` (Callaway & Sant'Anna,
TWFE, Sun & Abraham, imputation, Goodman-Bacon) and its adoption coding."""

from __future__ import annotations

import functools
import warnings
from collections.abc import Hashable, Mapping, Sequence
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _progress, _quintara
from ._long import _codes
from ._verbs_common import _check_options, _choice, _entry, named_counts
from .panel import Panel, as_panel
from .results_bacon import BaconDecomposition
from .results_did import StaggeredResult

_STAGGERED = {
    "callaway": "fit_callaway_py",
    "twfe": "fit_twfe_py",
    "sunab": "fit_sunab_py",
    "bacon": "bacon_decompose_py",
    "imputation": "fit_imputation_py",
}


# The options each method but callaway takes (callaway takes all its entry's).
_METHOD_OPTIONS: dict[str, tuple[str, ...]] = {
    "bacon": (),
    "twfe": ("level", "ssc"),
    "sunab": ("level", "ssc"),
    "imputation": ("level", "pretrends"),
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


def _unit_weights(values: pd.Series, column: str) -> npt.NDArray[np.float64]:
    """A weights column as float64, a bad weight named by its unit (the
    compiled entries can only name its row)."""
    w = pd.to_numeric(values, errors="coerce").to_numpy(dtype="float64", na_value=np.nan)
    bad = values.index[~(np.isfinite(w) & (w > 0))]
    if len(bad):
        shown = ", ".join(f"{u} ({values[u]})" for u in bad[:5])
        raise ValueError(
            f"weights column {column!r} must hold positive finite numbers; units {shown}"
        )
    return w


def _sampling(panel: Panel, weights: str | None, cluster: str | None) -> dict[str, Any]:
    """The compiled entries' weights= and clusters= from unit-level columns."""
    out: dict[str, Any] = {}
    for arg, column in (("weights", weights), ("cluster", cluster)):
        if column is None:
            continue
        try:
            values = panel.unit_column(column)
        except ValueError as e:
            raise ValueError(f"{arg}={column!r}: {e}") from None
        if values.isna().any():
            gaps = ", ".join(map(str, values.index[values.isna()][:5]))
            raise ValueError(f"{arg} column {column!r} is missing for units {gaps}")
        if arg == "weights":
            out["weights"] = _unit_weights(values, column)
        else:
            out["clusters"] = pd.factorize(values)[0].astype("int64")
    return out


def _has_nan(y: npt.NDArray[np.float64]) -> bool:
    """Whether y has a NaN cell: counted by the compiled pool when y is one
    contiguous float64 block, else by NumPy."""
    if y.dtype == np.float64 and y.flags.c_contiguous:
        return bool(_quintara._count_nan(y.reshape(-1)))
    return bool(np.isnan(y).any())


def _balanced(
    panel: Panel,
    codes: npt.NDArray[np.int64],
    mode: str,
    estimator: str,
    *,
    complete: bool = False,
) -> tuple[Panel, npt.NDArray[np.int64], list[Any]]:
    """The panel of the units observed in every period, their cohort codes,
    and the units left out (balance="drop"); with "refuse", a ValueError
    naming the incomplete units. `complete`: the caller knows y has no NaN."""
    if complete or not _has_nan(panel.y):  # one quick pass settles the usual case
        return panel, codes, []
    incomplete = np.flatnonzero(np.isnan(panel.y).any(axis=1))
    names = [panel.units[i] for i in incomplete]
    if mode == "refuse":
        shown = ", ".join(map(str, names[:5])) + (", ..." if len(names) > 5 else "")
        # The regressions fit unbalanced panels when asked to; only the
        # decomposition needs every cell.
        why = (
            "the Goodman-Bacon decomposition needs a balanced panel"
            if estimator == "bacon"
            else "balance='refuse' asks for a balanced panel"
        )
        or_keep = "" if estimator == "bacon" else ", or balance='keep' to fit the observed cells"
        raise ValueError(
            f"{why}: {len(names)} units lack some periods ({shown}); pass balance='drop' to "
            f"fit the {panel.shape[0] - len(names)} units observed in every period{or_keep}"
        )
    keep = np.setdiff1d(np.arange(panel.shape[0]), incomplete)
    sub = panel.without_units([int(i) for i in incomplete])
    return sub, codes[keep], names


_NEVER = {"", "never", "none", "nan", "na", "n/a", "inf", "never treated", "untreated", "control"}


def _never_marker(v: Any) -> bool:
    """Missing, 0, negative or infinite numbers, and the usual words for never."""
    if isinstance(v, str):
        return v.strip().lower() in _NEVER
    if isinstance(v, int | float | np.number) and not isinstance(v, bool):
        return bool(v <= 0 or np.isinf(v))
    return False


def _integer_codes(panel: Panel, values: Any) -> npt.NDArray[np.int64] | None:
    """The codes of integer adoption values when the periods are consecutive
    integers in ascending order (the usual large table): a value's code is
    its offset from the first period, without a lookup per value. None when
    either is otherwise, or when a value is neither a period nor a
    never-treated marker (the general path then warns about it)."""
    periods = panel.periods
    v = values.to_numpy() if isinstance(values, pd.Series) else np.asarray(values)
    if v.dtype.kind not in "iu" or periods.dtype.kind not in "iu" or len(periods) == 0:
        return None
    first, n = int(periods[0]), len(periods)
    # Distinct labels, ascending from first to first + n - 1: consecutive. A
    # time_order can put integer periods in another order.
    if int(periods[-1]) - first != n - 1 or not periods.is_monotonic_increasing:
        return None
    big = 2**62  # labels and values this large take the general path
    if not -big < first < big or (v.dtype == np.uint64 and len(v) and int(v.max()) > big):
        return None
    # Positive values outside the periods are strays (None); 0 and negative
    # numbers mark never-treated units, 0 even where it is a period.
    codes = _quintara._offset_codes(np.asarray(v, dtype=np.int64), first, n)
    return None if codes is None else np.frombuffer(codes, dtype=np.int64)


def cohort_codes(panel: Panel, adoption: Any) -> npt.NDArray[np.int64]:
    """Adoption periods per unit as the compiled entries' column indices (-1: never treated).

    `adoption` is a column name of the panel's unit-level data, or a mapping /
    Series from unit label to adoption-period label. A unit is never treated
    when its value is missing, 0, or not a period of the panel; units absent
    from a mapping are never treated.

    Returns the codes in unit order (`cohort_labels` turns them into labels).
    """
    if isinstance(adoption, Mapping | pd.Series):
        known = set(panel.units)
        unknown = [k for k in adoption.keys() if k not in known]
        if unknown:
            raise ValueError(
                f"adoption names units not in the panel: {', '.join(map(str, unknown[:5]))}"
            )
        values = pd.Series(dict(adoption.items())).reindex(panel.units)
    elif isinstance(adoption, Hashable) and not isinstance(adoption, bool):
        values = panel.unit_column(adoption)  # any column name: a table's may be numbers
    else:
        raise ValueError("adoption must be a column name or a mapping from unit to adoption period")
    fast = _integer_codes(panel, values)
    if fast is not None:
        return fast
    # Each distinct value is looked up once: a table has few adoption periods
    # and may have a million units.
    series = pd.Series(values)
    # Numbers factorize as they are; anything else as objects, so mixed
    # labels (2012, "never") stay distinct.
    if not pd.api.types.is_numeric_dtype(series) or pd.api.types.is_bool_dtype(series):
        series = series.astype(object)
    if isinstance(series.dtype, np.dtype) and series.dtype.kind in "iu":
        which, distinct = _codes(series)  # integers never miss; compact ones code by offset
    else:
        which, distinct = pd.factorize(series, use_na_sentinel=True)
        which = np.where(which < 0, len(distinct), which)
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
    codes = found[which]  # an int64 array, which the entries read through its buffer
    if stray.any():
        unit_strays = stray[which]
        strays = [
            f"{u} ({v})" for u, v in zip(panel.units[unit_strays], values[unit_strays], strict=True)
        ]
        # A typo (20012 for 2012) would otherwise make a treated unit a control.
        warnings.warn(
            f"adoption values of {len(strays)} unit{'s' if len(strays) > 1 else ''} are neither "
            f"periods of the panel nor never-treated markers and count as never treated: "
            f"{', '.join(strays[:5])}"
            + (f", ... ({len(strays) - 5} more)" if len(strays) > 5 else ""),
            UserWarning,
            stacklevel=4,  # the caller of staggered, past its argument check
        )
    return codes


def cohort_labels(panel: Panel, codes: npt.NDArray[np.int64]) -> pd.Series:
    """Each unit's adoption-period label from its code (None: never treated)."""
    periods = np.asarray([*panel.periods, None], dtype=object)
    # The array is new here: the Series may hold it without a copy. A code
    # of -1 picks the appended None.
    return pd.Series(periods[codes], index=panel.units, name="cohort", dtype=object, copy=False)


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


@named_counts
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
        unit), taken by every method but bacon: weighted least squares for
        twfe and sunab, weighted cell means and shares for callaway, and for
        imputation the untreated cells' unit and period effects by weighted
        least squares and the treated cells' effects averaged with the
        weights.
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
        BaconDecomposition for bacon, StaggeredResult otherwise. In outcome
        units: ``att``, the overall average effect on the treated cells (for
        callaway, every post-adoption group-time effect weighted by its
        cohort's size; for twfe, the regression coefficient); ``se``, its
        standard error; ``event_study``, ``groups`` and ``calendar``, the
        effects by event time, cohort and calendar period with their
        standard errors and normal intervals. Unitless: the p-values and the
        pre-trend Wald test.

    See Also
    --------
    StaggeredResult.sensitivity : Intervals robust to non-parallel trends.
    fit_callaway_py, fit_twfe_py, fit_sunab_py, fit_imputation_py : The entries.
    bacon_decompose_py : The Goodman-Bacon decomposition's entry.

    Notes
    -----
    The estimators' assumptions and when each fails: :ref:`choosing`. The
    standard errors, bands and pre-trend test: :ref:`inference`. Adoption
    columns, unbalanced panels, weights and clusters: :ref:`tables`.

    References
    ----------
    - Callaway & Sant'Anna (2021), Journal of Econometrics 225: group-time
      effects and their aggregations (callaway).
    - Sun & Abraham (2021), Journal of Econometrics 225: the
      interaction-weighted event study (sunab).
    - Borusyak, Jaravel & Spiess (2024), Review of Economic Studies 91: the
      imputation estimator (imputation).
    - Goodman-Bacon (2021), Journal of Econometrics 225: the decomposition of
      TWFE (bacon).
    """
    if method is not None and estimator is not None and method != estimator:
        raise ValueError(
            f"method={method!r} and estimator={estimator!r} disagree; give one of them"
        )
    estimator = method or estimator or "callaway"
    _choice("method", estimator, tuple(_STAGGERED))
    _choice("control", control, ("never", "notyet"))
    _check_options("staggered", _entry(_STAGGERED[estimator]), options, 2)
    allowed = _METHOD_OPTIONS.get(estimator, ())
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
    # A panel built here from the table cannot have been written since its
    # layout pass counted the missing cells.
    complete = panel is not data and panel._built_complete
    codes = cohort_codes(panel, adoption)
    if mode != "keep":
        panel, codes, dropped = _balanced(panel, codes, mode, estimator, complete=complete)
    else:
        dropped = []
    # Formed when a result first reads them (a table has a label per unit);
    # a partial, not a closure, so that the result still pickles.
    labels = functools.partial(cohort_labels, panel, codes)

    fn = _entry(_STAGGERED[estimator])
    if estimator == "bacon":
        raw = fn(panel.y, codes)
        if not raw.components:
            # The entry's empty decomposition, with a TWFE coefficient of 0,
            # is of a design whose coefficient is not identified at all.
            raise ValueError(
                "Goodman-Bacon: every unit adopts at the same period and there are no control "
                "units, so there is no comparison to decompose (the TWFE coefficient is not "
                "identified)"
            )
        return BaconDecomposition(raw, panel, labels, dropped)
    design = _sampling(panel, weights, cluster)
    if mode == "keep" and not complete and _has_nan(panel.y):
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
    return _callaway(
        panel, codes, labels, control, dict(options, **design), dropped, progress, described
    )


def _callaway(
    panel: Panel,
    codes: npt.NDArray[np.int64],
    labels: Any,
    control: str,
    kwargs: dict[str, Any],
    dropped: list[Any],
    progress: bool | None,
    described: dict[str, Any],
) -> StaggeredResult:
    """The Callaway-Sant'Anna fit of `staggered`, its arguments checked."""
    first = np.flatnonzero(codes == 0)
    if len(first):
        # No pre-period: the entry leaves them out, and the design should say so.
        names = ", ".join(map(str, panel.units[first[:5]]))
        warnings.warn(
            f"{len(first)} unit{'s' if len(first) > 1 else ''} adopt in the first period "
            f"({panel.periods[0]}) and have no pre-period; callaway leaves them out: {names}"
            + (f", ... ({len(first) - 5} more)" if len(first) > 5 else ""),
            UserWarning,
            stacklevel=4,  # the caller of staggered, past its argument check
        )
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
    raw = _progress.run(
        _entry(_STAGGERED["callaway"]),
        panel.y,
        codes,
        control,
        label="callaway",
        show=progress,
        **kwargs,
    )
    return StaggeredResult(
        raw,
        panel,
        labels,
        "callaway",
        _STAGGERED["callaway"],
        control,
        raw.level,
        dropped,
        **described,
        est_method=kwargs.get("est_method", "reg"),
    )
