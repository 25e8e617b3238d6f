"""Labelled results of `staggered`: event studies by event time, cohorts by period label.

The Goodman-Bacon decomposition's result is in `results_bacon`; the `cohorts`
both read (`_Cohorts`) and the note on dropped units are here.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from . import _quintara
from ._summary import EVENT_WINDOW, event_window, num, render
from .panel import Panel
from .results import _names, _Result, json_label, json_number, period_info, tidy_frame


def dropped_note(units: Sequence[Any]) -> str:
    """The summary's note on units dropped for missing periods."""
    shown = ", ".join(map(str, units[:8])) + (", ..." if len(units) > 8 else "")
    return f"Dropped for missing periods (balance='drop'): {len(units)} units ({shown})."


if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["StaggeredResult"]


def __getattr__(name: str) -> Any:
    # BaconDecomposition was defined here: results pickled then name this
    # module, and code may import it from here. Found on first use, since
    # results_bacon imports this module's `_Cohorts`.
    if name == "BaconDecomposition":
        from .results_bacon import BaconDecomposition

        return BaconDecomposition
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


_EST_METHODS = {
    "reg": "reg (outcome regression)",
    "ipw": "ipw (inverse probability weighting)",
    "dr": "dr (doubly robust)",
}


class _Cohorts:
    """The `cohorts` of a staggered result, formed on first use: a table has
    a label per unit, which few callers read."""

    _cohorts: pd.Series | Callable[[], pd.Series]

    @property
    def cohorts(self) -> pd.Series:
        """Adoption-period label per unit (missing for never-treated units)."""
        if callable(self._cohorts):
            self._cohorts = self._cohorts()
        return self._cohorts


class StaggeredResult(_Cohorts, _Result):
    """A staggered-adoption fit (`staggered` with callaway, twfe, sunab or imputation).

    Attributes
    ----------
    raw : DiDResult
        The compiled result.
    estimator, entry, control : str
        What ran.
    cohorts : pandas.Series
        Adoption-period label per unit (missing for never-treated units).
    dropped_units : list
        Units left out because the table lacks some of their periods
        (``balance="drop"``); `panel` is the panel without them.
    weights, cluster : str or None
        The unit-level columns of sampling weights and of clusters, when given.
    balance : str
        How missing cells were treated: "drop", "keep" or "refuse".
    est_method : str or None
        Callaway-Sant'Anna's group-time estimator: "reg", "ipw" or "dr"
        (None for the other methods).

    See Also
    --------
    staggered : The verb that returns it.
    DiDResult : The compiled record (`raw`).

    Notes
    -----
    Effects are in the outcome's units (log points for a log outcome).
    Standard errors: cluster-robust for twfe and sunab (small-sample
    correction named by ``raw.se_correction``), from the influence functions
    for callaway (Callaway & Sant'Anna 2021), the conservative ones of
    Borusyak, Jaravel & Spiess (2024) for imputation; intervals are normal
    at `level` and p-values two-sided normal. The simultaneous band
    (``bands=True``) is a sup-t band from a multiplier bootstrap. The
    pre-trend test is the Wald test that every pre-period coefficient of the
    event study is 0 (``raw.pretrend_wald``, ``raw.pretrend_p_value``).
    `sensitivity` gives the intervals of Rambachan & Roth (2023). See
    :ref:`inference` and :ref:`choosing`.
    """

    raw: _quintara.DiDResult

    def __init__(
        self,
        raw: _quintara.DiDResult,
        panel: Panel,
        cohorts: pd.Series | Callable[[], pd.Series],
        estimator: str,
        entry: str,
        control: str | None,
        level: float,
        dropped_units: Sequence[Any] = (),
        *,
        weights: str | None = None,
        cluster: str | None = None,
        balance: str = "refuse",
        est_method: str | None = None,
    ) -> None:
        self.raw = raw
        self.panel = panel
        self.dropped_units = list(dropped_units)
        self._cohorts = cohorts
        self.estimator = estimator
        self.entry = entry
        self.control = control
        self.level = level
        self.weights = weights
        self.cluster = cluster
        self.balance = balance
        self.est_method = est_method

    @property
    def n_clusters(self) -> int:
        """Clusters of the standard errors: the `cluster` column's, or the units."""
        given = self.raw.n_clusters
        return int(given) if given is not None else self.panel.shape[0]

    @property
    def att(self) -> float:
        """Overall ATT (outcome units): for callaway every post-adoption group-time
        effect weighted by its cohort's size, for sunab the post-period
        interacted coefficients weighted by cohort size, for imputation the
        mean over the treated cells, for twfe the regression coefficient."""
        return self.raw.att

    @property
    def se(self) -> float:
        """Standard error of the overall ATT (see the class notes for which)."""
        return self.raw.se

    @property
    def ci(self) -> tuple[float, float]:
        """Normal confidence interval of the overall ATT at `level`."""
        return (self.raw.ci_lower, self.raw.ci_upper)

    @property
    def event_study(self) -> pd.DataFrame:
        """By event time (periods since adoption; e < 0 are the pre-periods): the
        estimate ``att``, its ``se``, the pointwise normal interval ``lo``/``hi``
        and, when ``bands=True`` ran, the simultaneous band ``band_lo``/``band_hi``."""
        r = self.raw
        f = pd.DataFrame(
            {"att": r.event_att, "se": r.event_se, "lo": r.event_ci_lower, "hi": r.event_ci_upper},
            index=pd.Index(r.event_time, name="event_time"),
        )
        if r.event_lo:
            f["band_lo"], f["band_hi"] = r.event_lo, r.event_hi
        return f

    @property
    def groups(self) -> pd.DataFrame:
        """By cohort (adoption-period label): the cohort's mean effect over its
        post-adoption periods, SE and normal interval (Callaway-Sant'Anna only)."""
        labels = [self.panel.periods[g] for g in self.raw.group_cohort]
        r = self.raw
        return pd.DataFrame(
            {"att": r.group_att, "se": r.group_se, "lo": r.group_ci_lower, "hi": r.group_ci_upper},
            index=pd.Index(labels, name="cohort"),
        )

    @property
    def calendar(self) -> pd.DataFrame:
        """By calendar period (label): the cohort-share weighted mean of the effects of the
        cohorts treated by then, with SE and normal interval (Callaway-Sant'Anna only)."""
        r = self.raw
        labels = [self.panel.periods[t] for t in r.calendar_period]
        return pd.DataFrame(
            {
                "att": r.calendar_att,
                "se": r.calendar_se,
                "lo": r.calendar_ci_lower,
                "hi": r.calendar_ci_upper,
            },
            index=pd.Index(labels, name="period"),
        )

    def to_frame(self) -> pd.DataFrame:
        """The event study (see `event_study`)."""
        return self.event_study

    def tidy(self) -> pd.DataFrame:
        """Terms "ATT", "ATT (cohort avg)", "ATT (event-time avg)", "ATT (calendar
        avg)" (those that exist), "cohort <label>", "period <label>" (calendar
        time) and "event <e>" (e.g. "event -2", "event +0"), each with its SE,
        its two-sided normal p-value and its normal interval at `level`; then
        the pre-trend test's Wald statistic and p-value, when it ran."""
        r = self.raw
        rows: list[tuple[str, Any, Any, Any, Any, Any]] = [
            ("ATT", r.att, r.se, r.p_value, r.ci_lower, r.ci_upper)
        ]
        if r.overall_group_att is not None:
            rows.append(
                (
                    "ATT (cohort avg)",
                    r.overall_group_att,
                    r.overall_group_se,
                    r.overall_group_p_value,
                    r.overall_group_ci_lower,
                    r.overall_group_ci_upper,
                )
            )
        for name, key in (("event-time avg", "dynamic"), ("calendar avg", "calendar")):
            est = getattr(r, f"overall_{key}_att")
            if est is not None:
                rows.append(
                    (
                        f"ATT ({name})",
                        est,
                        getattr(r, f"overall_{key}_se"),
                        getattr(r, f"overall_{key}_p_value"),
                        getattr(r, f"overall_{key}_ci_lower"),
                        getattr(r, f"overall_{key}_ci_upper"),
                    )
                )
        rows += [
            (f"cohort {k}", g.att, g.se, p, g.lo, g.hi)
            for (k, g), p in zip(self.groups.iterrows(), r.group_p_value, strict=True)
        ]
        rows += [
            (f"period {k}", c.att, c.se, p, c.lo, c.hi)
            for (k, c), p in zip(self.calendar.iterrows(), r.calendar_p_value, strict=True)
        ]
        rows += [
            (f"event {k:+d}", a, s, p, lo, hi)
            for k, a, s, p, lo, hi in zip(
                r.event_time,
                r.event_att,
                r.event_se,
                r.event_p_value,
                r.event_ci_lower,
                r.event_ci_upper,
                strict=True,
            )
        ]
        if r.pretrend_wald is not None:
            rows.append(
                (
                    f"pre-trends (Wald, {r.pretrend_df} df)",
                    r.pretrend_wald,
                    None,
                    r.pretrend_p_value,
                    None,
                    None,
                )
            )
        return tidy_frame(rows, self.estimator)

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: overall ATT with its SE, p-value and interval at `level`;
        the event study, cohort, calendar and averaged effects with theirs; the
        pre-trend test. Non-finite numbers are null."""
        r, es = self.raw, self.event_study

        def stat(att: Any, se: Any, p: Any, lo: Any, hi: Any) -> dict[str, float | None]:
            values = {"att": att, "se": se, "p_value": p, "ci_lower": lo, "ci_upper": hi}
            return {k: json_number(v) for k, v in values.items()}

        def by(key: str, labels: pd.Index, prefix: str) -> list[dict[str, Any]]:
            parts = (getattr(r, f"{prefix}_{x}") for x in ("att", "se", "p_value"))
            bounds = (getattr(r, f"{prefix}_ci_{x}") for x in ("lower", "upper"))
            return [
                {key: json_label(k), **stat(*v)}
                for k, *v in zip(labels, *parts, *bounds, strict=True)
            ]

        events = by("event_time", pd.Index([int(e) for e in r.event_time]), "event")
        if "band_lo" in es:
            for e, lo, hi in zip(events, es.band_lo, es.band_hi, strict=True):
                e["band_lo"], e["band_hi"] = json_number(lo), json_number(hi)
        return {
            "estimator": self.estimator,
            "entry": self.entry,
            "control": self.control,
            "weights": self.weights,
            "cluster": self.cluster,
            "n_clusters": self.n_clusters,
            "balance": self.balance,
            "est_method": self.est_method,
            "level": self.level,
            **stat(r.att, r.se, r.p_value, self.ci[0], self.ci[1]),
            "event_study": events,
            "groups": by("cohort", self.groups.index, "group"),
            "calendar": by("period", self.calendar.index, "calendar"),
            "cohort_avg": self._overall("group"),
            "event_time_avg": self._overall("dynamic"),
            "calendar_avg": self._overall("calendar"),
            "pretrend_test": None
            if r.pretrend_wald is None
            else {"wald": r.pretrend_wald, "df": r.pretrend_df, "p_value": r.pretrend_p_value},
        }

    def _overall(self, key: str) -> dict[str, float | None] | None:
        """An averaged effect (`overall_<key>_*`) with its inference, None where absent."""
        r = self.raw
        if getattr(r, f"overall_{key}_att") is None:
            return None
        names = ("att", "se", "p_value", "ci_lower", "ci_upper")
        return {n: json_number(getattr(r, f"overall_{key}_{n}")) for n in names}

    def summary(self) -> str:
        """Overall ATT, cohort effects and the event study as one table."""
        r = self.raw
        n, t = self.panel.shape
        treated = int(self.cohorts.notna().sum())
        info = [
            ("Estimator", f"{self.estimator} ({self.entry})"),
            ("Outcome", self.panel.outcome),
            ("Control group", self.control or "-"),
            ("Units", f"{n} ({treated} treated, {n - treated} never)"),
            ("Cohorts", _names(sorted(self.cohorts.dropna().unique()))),
            ("Periods", str(t)),
            *period_info(self.panel),
        ]
        if self.est_method is not None:
            info.append(("Cell estimator", _EST_METHODS.get(self.est_method, self.est_method)))
        if self.raw.base_period is not None:
            info.append(("Base period", self.raw.base_period))
        if self.raw.se_correction is not None:
            info.append(("SE correction", self.raw.se_correction))
        if self.weights is not None:
            info.append(("Weights", self.weights))
        if self.cluster is not None:
            info.append(("Clusters", f"{self.n_clusters} ({self.cluster})"))
        holes = int(np.isnan(self.panel.y).sum())
        if holes:
            info.append(("Missing cells", f"{holes} (fitted on the observed cells)"))
        lo, hi = f"[{(1 - self.level) / 2:.3f}", f"{1 - (1 - self.level) / 2:.3f}]"

        # The rows of tidy(), whose terms are this table's row names; a test's
        # row has no standard error or interval to print.
        def cell(v: float, term: str) -> str:
            return "" if term.startswith("pre-trends") and np.isnan(v) else num(v)

        tidy = self.tidy()
        rows = [
            [str(term)]
            + [cell(v, str(term)) for v in (t.estimate, t.se, t.p_value, t.ci_lower, t.ci_upper)]
            for term, t in tidy.iterrows()
        ]
        rows, elided = event_window(rows, [int(e) for e in r.event_time])
        notes = [dropped_note(self.dropped_units)] if self.dropped_units else []
        if elided:
            notes.append(
                f"{elided} event times outside {-EVENT_WINDOW:+d}..{EVENT_WINDOW:+d} are left out "
                "here; "
                "to_frame() and tidy() hold them all."
            )
        if r.pretrend_wald is not None:
            notes.append(
                f"Pre-trend test: Wald chi2({r.pretrend_df}) = {r.pretrend_wald:.3f}, "
                f"p = {r.pretrend_p_value:.4f} (every pre-period coefficient 0; its row is the "
                "Wald statistic)."
            )
        if r.n_not_imputed:
            notes.append(
                f"{r.n_not_imputed} treated cells have no untreated cell of their unit or "
                "period and are left out."
            )
        if ((tidy.se == 0) & tidy.p_value.isna()).any():
            notes.append(
                "A p-value of nan: the estimate and its standard error are both 0 (the "
                "outcome is fitted exactly there), so there is nothing to test."
            )
        if self.raw.band_crit is not None:
            notes.append(
                f"Simultaneous band critical value: {self.raw.band_crit:.3f} standard errors."
            )
        return render(
            "Staggered adoption results",
            info,
            ["", "estimate", "std err", "p-value", lo, hi],
            rows,
            notes,
        )

    def __repr__(self) -> str:
        return (
            f"<StaggeredResult {self.estimator}: ATT={self.att:.4g} (se {self.se:.3g}), "
            f"{len(self.raw.event_time)} event times>"
        )

    @property
    def reference_period(self) -> int | None:
        """The event time the event study is normalised at (its effect 0 by
        construction): the pre-period Sun-Abraham and a universal base period
        leave out (a row reported as exactly 0 with no variance counts as left
        out); None where every event time is estimated (a varying base period,
        the imputation estimator)."""
        r = self.raw
        times = [int(t) for t in r.event_time]
        for t, a, s in zip(times, r.event_att, r.event_se, strict=True):
            if t < 0 and a == 0.0 and s == 0.0:
                return t
        if self.estimator == "sunab" or r.base_period == "universal":
            # The latest pre-period left out (-1, or earlier with anticipation).
            missing = [t for t in range(-1, min([*times, 0]) - 2, -1) if t not in times]
            return missing[0] if missing else None
        return None

    @property
    def cohort_counts(self) -> pd.Series:
        """By event time of the event study: the number of cohorts observed at
        it (adoption period plus event time inside the panel), before any
        event-time window or balancing the estimator applied."""
        p = self.panel
        starts = [p.period_position(g) for g in self.cohorts.dropna().unique()]
        t = p.shape[1]
        times = [int(e) for e in self.raw.event_time]
        return pd.Series(
            [sum(1 for g in starts if 0 <= g + e < t) for e in times],
            index=pd.Index(times, name="event_time"),
            name="cohorts",
            dtype=np.int64,
        )

    def plot(self, ax: Axes | None = None, show_counts: bool = False) -> Axes:
        """Event study with pointwise intervals and, when bands ran, the simultaneous
        band; the reference period marked at 0. `show_counts` writes the number
        of cohorts behind each event time along the axis."""
        from .plots import event_study

        return event_study(self, ax=ax, show_counts=show_counts)

    def sensitivity(
        self,
        kind: str = "relative_magnitude",
        m: Sequence[float] | None = None,
        e: int | str = 0,
        level: float = 0.95,
    ) -> pd.DataFrame:
        """Robust intervals under bounded violations of parallel trends (Rambachan & Roth).

        Takes the event study's own coefficients and covariance: those before
        the reference period (`reference_period`, -1 without anticipation) are
        the pre-periods, those after it the post-periods, all against that one
        period (a Callaway fit needs ``base_period="universal"``). With
        ``anticipation`` the periods between the reference period and adoption
        are post-periods: their trend is bounded as any post-period's, and
        their effects, already affected, are not evidence of a pre-trend;
        they carry no weight in the effect `e`.
        Sun-Abraham omits the reference period -1; the imputation estimator's
        pre-periods are the leads of its pre-trend test (-1 included), taken
        as they stand.

        Parameters
        ----------
        kind : str
            "relative_magnitude": post-period first differences of the trend at
            most `m` times the largest pre-period one (the conditional /
            least-favourable hybrid test); "smoothness": its second differences
            at most `m`, in outcome units (the fixed-length interval).
        m : sequence of float, optional
            The bounds to try; by default 0, 0.5, 1, 1.5, 2 (relative
            magnitudes) or those times a quarter of the largest pre-period SE
            (smoothness).
        e : int or "average"
            The effect at that event time (>= 0), or the average over the
            post-periods.
        level : float
            Confidence level.

        Returns
        -------
        pandas.DataFrame
            One row per bound: m, lo, hi (NaN when no value is accepted) and
            method ("C-LF" or "FLCI"). ``attrs["original"]`` holds the normal
            interval (lo, hi) under exact parallel trends, ``attrs["breakdown"]``
            the largest m whose interval excludes 0 (None when even m = 0 does
            not), and ``attrs["estimate"]``, ``attrs["kind"]``, ``attrs["e"]``
            and ``attrs["level"]`` what was asked.
        """
        r = self.raw
        times = [int(t) for t in r.event_time]
        n = len(times)
        if n == 0 or len(r.event_cov) != n * n:
            raise ValueError(
                f"sensitivity needs the event study's covariance, which the {self.estimator} "
                "fit does not form (use sunab, imputation or callaway)"
            )
        if r.base_period == "varying":
            # Each pre-period estimate is then the change from the period
            # before, not the trend difference against one reference period
            # the bounds are stated for.
            raise ValueError(
                "sensitivity needs the pre-period effects against one reference period; with "
                "base_period='varying' each is a one-period change: refit with "
                "base_period='universal'"
            )
        cov_full = np.asarray(r.event_cov, dtype=float).reshape(n, n)
        # A reference period reported as an exact 0 with no variance (a
        # universal base period) is the normalisation, not an estimate.
        kept = [i for i in range(n) if not (cov_full[i, i] == 0.0 and r.event_att[i] == 0.0)]
        # The bounds are stated from the last period the treatment cannot
        # have reached: anticipated periods after it are post-periods.
        # Without one (the imputation estimator) every lead is a pre-period.
        ref = self.reference_period
        cut = -0.5 if ref is None else ref  # None: between the leads and e = 0
        pre = [i for i in kept if times[i] < cut]
        post = [i for i in kept if times[i] > cut]
        effects = [times[i] for i in post if times[i] >= 0]
        if not pre or not effects:
            raise ValueError(
                "sensitivity needs pre-period (event time < 0) and post-period (>= 0) "
                f"coefficients; the event study has event times {times}"
            )
        post_times = [times[i] for i in post]
        if isinstance(e, str):
            if e != "average":
                raise ValueError(f"e must be an event time >= 0 or 'average'; got {e!r}")
            l_vec = [1.0 / len(effects) if t >= 0 else 0.0 for t in post_times]
        elif e in effects:
            l_vec = [1.0 if t == e else 0.0 for t in post_times]
        else:
            raise ValueError(f"e must be one of the post-period event times {effects}; got {e}")
        order = pre + post
        cov = cov_full[np.ix_(order, order)]
        out = _quintara.honest_did_py(
            [r.event_att[i] for i in order],
            np.ascontiguousarray(cov),
            len(pre),
            kind=kind,
            m=None if m is None else [float(v) for v in m],
            l_vec=l_vec,
            level=level,
        )
        method = "FLCI" if out["kind"] == "smoothness" else "C-LF"
        frame = pd.DataFrame(
            {"m": out["m"], "lo": out["lower"], "hi": out["upper"], "method": method}
        )
        frame.attrs.update(
            original=(out["original_lower"], out["original_upper"]),
            breakdown=out["breakdown"],
            estimate=out["estimate"],
            kind=out["kind"],
            e=e,
            level=level,
        )
        return frame
