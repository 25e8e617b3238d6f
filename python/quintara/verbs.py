"""The labelled verbs: tables and names in, labelled results out.

`synth` lives here; `staggered` in verbs_did, `power`, `select_markets` and
`diagnose` in verbs_geo, all importable from here.

Each verb takes a `Panel` (or a long DataFrame with unit=, time=, outcome=
column names), translates unit names and period labels into the indices the
compiled entries take, calls one compiled entry and wraps its result with the
labels. Options not named here are passed to the entry unchanged; anything
left out takes the entry's default. Long calls run through `_progress.run`:
progress on a terminal, a clean KeyboardInterrupt on Ctrl-C.
"""

from __future__ import annotations

import warnings
from collections.abc import Hashable, Sequence
from typing import Any, Literal, overload

import numpy as np
import pandas as pd

from . import _progress
from ._methods import SYNTH, SynthMethod
from ._verbs_common import (
    _check_lookback,
    _check_options,
    _choice,
    _entry,
    _entry_params,
    _labelled_errors,
    named_counts,
)
from .panel import Panel, as_panel, refuse_missing
from .results import ConformalResult, SynthResult
from .verbs_did import staggered
from .verbs_geo import diagnose, power, select_markets

__all__ = ["synth", "staggered", "power", "select_markets", "diagnose", "SYNTH_METHODS"]

SYNTH_METHODS = tuple(SYNTH)


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


# The tests' entries take these for every method and pass them on to the
# methods whose own entries take them; the others ignore them.
_TUNING = ("ridge", "min_weight", "max_weight")


def _refuse_untaken_tuning(method: str, row: SynthMethod, options: dict[str, Any]) -> None:
    own_name = {theirs: own for own, theirs in row.conformal_names}
    params = _entry_params(_entry(row.entry)) or ()
    for key in _TUNING:
        own = own_name.get(key, key)
        if key in options and own not in params:
            raise ValueError(f"method {method!r} takes no {own}= (the test would ignore it)")


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


@named_counts
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
        ConformalResult for cpasc, SynthResult otherwise. In outcome units:
        ``att``, the average effect on the treated over the post-period;
        ``effects``, the treated mean minus its counterfactual in each post
        period; ``observed`` and ``synthetic``, the two paths. Unitless:
        ``weights``, the donor weights; ``p_value``, the chosen test's
        p-value of no effect. ``ci`` is the test's interval of constant
        effects it does not reject (the jackknife: ``att`` +- z ``se``).

    See Also
    --------
    staggered : Staggered adoption, by difference in differences.
    analyze : A geo experiment analysed by the test its design is for.
    fit_sc, fit_fp, fit_asc, fit_sdid, fit_rsc, fit_mcnnm, fit_cpasc : The entries.
    fit_conformal, geo_test : The conformal and in-time tests' entries.

    Notes
    -----
    Which method to choose and where each fails: :ref:`choosing`. What each
    inference computes and what its numbers mean: :ref:`inference`. Periods,
    missing cells and labels: :ref:`tables`.

    References
    ----------
    - Abadie, Diamond & Hainmueller (2010), JASA 105: synthetic control, and
      the in-space placebo test.
    - Ferman & Pinto (2021), Quantitative Economics 12: demeaned synthetic
      control (fp).
    - Ben-Michael, Feller & Rothstein (2021), JASA 116: augmented synthetic
      control (asc; cpasc fits it unit by unit).
    - Arkhangelsky, Athey, Hirshberg, Imbens & Wager (2021), AER 111:
      synthetic difference in differences (sdid) and its jackknife.
    - Amjad, Shah & Shen (2018), JMLR 19: robust synthetic control (rsc).
    - Athey, Bayati, Doudchenko, Imbens & Khosravi (2021), JASA 116: matrix
      completion (mcnnm).
    - Firpo & Possebom (2018), Journal of Causal Inference 6: the placebo
      test inverted into an interval of constant effects.
    - Chernozhukov, Wuthrich & Zhu (2021), JASA 116: the conformal test.
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
    for own, theirs in row.conformal_names if inference == "conformal" else ():
        if own in options:  # the method's own name, as without the test
            options[theirs] = options.pop(own)
    # These entries' fourth parameter is the method, which the verb fills.
    _check_options("synth", _entry(name), options, 4 if inference in _TEST_ENTRY else 3)
    if inference == "jackknife" and method != "sdid":
        raise ValueError(
            f"jackknife inference is sdid's only; method {method!r} takes {_inferences(row)}"
        )
    if inference in ("placebo", "jackknife") and row.placebo is None:
        raise ValueError(f"method {method!r} takes no inference option (use inference='none')")
    if inference == "in_time":
        _check_lookback(options)
    # The entries take these whatever the test, and ignore them unless it uses them.
    ignored = [k for k in ("placebo_size", "n_placebo", "max_pre_ratio") if k in options]
    if ignored and inference != "placebo":
        raise ValueError(
            f"{ignored[0]}= applies with inference='placebo' only (here {inference!r})"
        )
    if "zeta_scale" in options and method != "sdid":
        raise ValueError(f"zeta_scale= reaches method 'sdid' only (here {method!r})")
    if inference in _TEST_ENTRY:
        _refuse_untaken_tuning(method, row, options)
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
    with _labelled_errors(panel, "unit"):
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
        return ConformalResult(raw, panel, rows, t0, kwargs, dropped)
    if inference in _TEST_ENTRY:
        kwargs.pop("method")
    if inference == "placebo" and raw.p_value is None:
        # Every placebo fitted its pre-period worse than the screen allows
        # (or the treated fit is exact): the test has nothing to compare with.
        warnings.warn(
            f"the placebo test kept no placebo: every one fits its pre-period more than "
            f"max_pre_ratio={kwargs.get('max_pre_ratio')} times worse than the treated "
            "units do, so there is no p-value or interval; raise max_pre_ratio "
            "(max_pre_ratio=0 keeps every placebo)",
            UserWarning,
            stacklevel=3,
        )
    return SynthResult(raw, panel, rows, t0, method, name, inference, kwargs, dropped)


def _inferences(row: SynthMethod) -> str:
    """The inference options a method takes, for a message."""
    takes = ["none"]
    takes += ["placebo"] if row.placebo is not None else []
    takes += ["conformal"] if row.conformal else []
    takes += ["in_time"] if row.in_time else []
    quoted = [repr(t) for t in takes]
    return quoted[0] if len(quoted) == 1 else f"{', '.join(quoted[:-1])} or {quoted[-1]}"


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
