"""Labelled results of `synth`, and what every labelled result shares.

Each class keeps the compiled result as `.raw` and adds the labels of the
panel it came from: donor weights by donor name, paths by period, event
studies by event time, cohorts by their adoption-period label.
"""

from __future__ import annotations

import html
import inspect
import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from . import _quintara
from ._methods import SYNTH
from ._summary import Summary, beyond_every_window, num, render
from .panel import Panel

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["SynthResult", "ConformalResult", "json_label"]


def json_label(x: Any) -> Any:
    """A unit or period label as a JSON value (numbers stay numbers, dates become ISO text)."""
    if isinstance(x, np.generic):
        x = x.item()
    if isinstance(x, (pd.Timestamp, pd.Period)):
        return str(x.isoformat() if isinstance(x, pd.Timestamp) else x)
    if isinstance(x, bool | int | str) or x is None:
        return x
    if isinstance(x, float):
        return x if math.isfinite(x) else None
    return str(x)


def json_number(x: Any) -> float | None:
    """A number as JSON holds it: None for a missing, NaN or infinite value."""
    if x is None:
        return None
    v = float(x)
    return v if math.isfinite(v) else None


TIDY_COLUMNS = ("estimate", "se", "p_value", "ci_lower", "ci_upper", "method")


def tidy_frame(rows: list[tuple[str, Any, Any, Any, Any, Any]], method: str) -> pd.DataFrame:
    """The one table shape of every `tidy()`: rows (term, estimate, se, p, lower, upper)."""

    def value(v: Any) -> float:
        return np.nan if v is None else float(v)

    return pd.DataFrame(
        {
            "estimate": [value(r[1]) for r in rows],
            "se": [value(r[2]) for r in rows],
            "p_value": [value(r[3]) for r in rows],
            "ci_lower": [value(r[4]) for r in rows],
            "ci_upper": [value(r[5]) for r in rows],
            "method": np.array([method] * len(rows), dtype=object),
        },
        index=pd.Index([r[0] for r in rows], name="term", dtype=object),
        columns=list(TIDY_COLUMNS),
    )


def period_info(panel: Panel) -> list[tuple[str, str]]:
    """The summary line naming the format text periods were read with, if any."""
    fmt = panel.period_format
    return [("Period labels", f"read as {fmt}")] if fmt else []


def _names(labels: Any) -> str:
    text = ", ".join(str(v) for v in list(labels)[:4])
    return text + (f" +{len(labels) - 4}" if len(labels) > 4 else "")


class _Result:
    """What every labelled result offers; subclasses fill in the content."""

    raw: Any

    def summary(self) -> str:
        """A plain-text summary table."""
        raise NotImplementedError

    def to_frame(self) -> pd.DataFrame:
        """The result's main table as a DataFrame."""
        raise NotImplementedError

    def to_dict(self) -> dict[str, Any]:
        """The result as plain JSON-ready values, with labels."""
        raise NotImplementedError

    def tidy(self) -> pd.DataFrame:
        """One row per estimate (index ``term``), columns ``estimate``, ``se``,
        ``p_value``, ``ci_lower``, ``ci_upper``, ``method``; NaN where a value does
        not exist. Every result has the same columns, so results of different
        methods stack with `pandas.concat`."""
        raise NotImplementedError

    def __str__(self) -> str:
        return self.summary()

    def _repr_html_(self) -> str:
        """The summary as HTML, for notebooks."""
        text = self.summary()
        if isinstance(text, Summary):
            return text.to_html()
        return f"<pre>{html.escape(text)}</pre>"


class SynthResult(_Result):
    """A synthetic-control-family fit (`synth` with methods sc, fp, asc, sdid, rsc, mcnnm).

    Attributes
    ----------
    raw : SCResult
        The compiled result.
    panel : Panel
        The panel that was fitted.
    method, entry, inference : str
        The method name, the compiled entry that ran and the inference asked for.
    treated : list
        The treated units' labels.
    start : object
        The label of the first treated period.
    dropped_donors : list
        Donors left out for missing cells (``missing="drop_donors"``); `panel`
        is the panel without them.

    See Also
    --------
    synth : The verb that returns it.
    SCResult : The compiled record (`raw`), every field in the outcome's units.

    Notes
    -----
    The estimate is `att`, in the outcome's units; `effects` is its path by
    period. `p_value` and `ci` come from one inference procedure, named by
    `inference_method`: the placebo test (Abadie, Diamond & Hainmueller
    2010) and its inversion into an interval (Firpo & Possebom 2018), the
    conformal test (Chernozhukov, Wuthrich & Zhu 2021), the in-time test
    of the geo design, or the SDID jackknife (Arkhangelsky et al. 2021),
    the only one with a standard error. What each computes: :ref:`inference`;
    the methods: :ref:`choosing`.
    """

    raw: _quintara.SCResult

    def __init__(
        self,
        raw: _quintara.SCResult,
        panel: Panel,
        treated: list[int],
        t0: int,
        method: str,
        entry: str,
        inference: str,
        options: dict[str, Any],
        dropped_donors: Sequence[Any] = (),
    ) -> None:
        self.raw = raw
        self.panel = panel
        self.dropped_donors = list(dropped_donors)
        self.method = method
        self.entry = entry
        self.inference = inference
        self.options = options
        self._rows = treated
        self._t0 = t0
        self.treated = [panel.units[i] for i in treated]
        self.start = panel.periods[t0]

    @property
    def att(self) -> float:
        """Average effect on the treated over the post-period (outcome units): for sc,
        fp, asc, rsc and mcnnm the mean of `effects`, for sdid the doubly weighted
        difference in differences."""
        return self.raw.att

    @property
    def se(self) -> float | None:
        """Standard error of the ATT where one is part of the inference (the SDID
        jackknife); None for a placebo test, whose interval is the test's own."""
        return self.raw.se if self.raw.test_ci_lower is None else None

    @property
    def p_value(self) -> float | None:
        """The p-value of the test of no effect that ran (placebo, conformal or in-time;
        :ref:`inference` says how each forms it), None without one."""
        return self.raw.p_value

    @property
    def ci(self) -> tuple[float, float] | None:
        """Interval of the ATT from the same procedure as `p_value`: for a placebo
        or conformal test the effects it does not reject (0 lies outside exactly
        when p <= alpha, alpha = 1 - level: 0.1 at level 0.9), for the jackknife
        att +- z se; None without inference. An infinite end is a test that
        rejects no effect that far out; (nan, nan) is an empty set, a test that
        rejects every constant effect at this level."""
        r = self.raw
        lo, hi = (
            (r.ci_lower, r.ci_upper)
            if r.test_ci_lower is None
            else (r.test_ci_lower, r.test_ci_upper)
        )
        return None if lo is None or hi is None else (lo, hi)

    @property
    def inference_method(self) -> str | None:
        """What the inference was, in a few words (None without inference)."""
        return self.raw.inference_method

    @property
    def level(self) -> float | None:
        """The interval's confidence level (None without an interval)."""
        return (self.raw.level or self.options.get("level", 0.95)) if self.ci else None

    @property
    def alternative(self) -> str:
        """The test's alternative: "two-sided", or "greater" / "less" for a
        one-sided in-time test, whose interval is unbounded on one side."""
        return str(self.options.get("alternative", "two-sided"))

    @property
    def pointwise(self) -> pd.DataFrame | None:
        """Per post period: the effect and the interval of effects the conformal
        test of that period alone does not reject (columns effect, lower, upper);
        None unless conformal inference ran with pointwise intervals."""
        r = self.raw
        if r.pointwise_lower is None:
            return None
        return pd.DataFrame(
            {"effect": r.att_path, "lower": r.pointwise_lower, "upper": r.pointwise_upper},
            index=self.panel.periods[self._t0 :],
        )

    @property
    def weights(self) -> pd.Series:
        """Donor weights by donor name (empty when the method has none)."""
        names = self.panel.units[self.raw.donor_ids]
        return pd.Series(self.raw.weights, index=names, name="weight", dtype=np.float64)

    @property
    def effects(self) -> pd.Series:
        """Effect on the treated in each post period, by period."""
        return pd.Series(self.raw.att_path, index=self.panel.periods[self._t0 :], name="effect")

    @property
    def counterfactual(self) -> pd.Series:
        """Estimated post-period outcome without treatment, by period."""
        return pd.Series(
            self.raw.counterfactual, index=self.panel.periods[self._t0 :], name="counterfactual"
        )

    @property
    def observed(self) -> pd.Series:
        """Mean outcome of the treated units in every period."""
        return pd.Series(
            self.panel.y[self._rows].mean(axis=0), index=self.panel.periods, name="treated"
        )

    @property
    def synthetic(self) -> pd.Series:
        """The synthetic path over all periods, as the compiled fit formed it.

        After the start it is the counterfactual; before it, the method's own
        in-sample path (see `SCResult.synthetic` for each method's).
        """
        return pd.Series(self.raw.synthetic, index=self.panel.periods, name="synthetic")

    @property
    def placebo_atts(self) -> pd.Series | None:
        """Placebo ATTs by the donor refitted as pseudo-treated, when placebo inference ran."""
        atts = self.raw.placebo_atts
        if atts is None:
            return None
        return pd.Series(atts, index=self._placebo_labels(), name="placebo_att")

    def _placebo_labels(self, raw: Any = None) -> list[Any]:
        """Each placebo's donor, or its donors joined by " + " when it treated several."""
        units = self.panel.units
        return [
            units[s[0]] if len(s) == 1 else " + ".join(str(units[i]) for i in s)
            for s in (raw or self.raw).placebo_sets or []
        ]

    def to_frame(self) -> pd.DataFrame:
        """Per period: treated mean, synthetic path, gap, and whether the period is treated."""
        obs, syn = self.observed, self.synthetic
        return pd.DataFrame(
            {
                "treated": obs,
                "synthetic": syn,
                "gap": obs - syn,
                "post": np.arange(len(obs)) >= self._t0,
            }
        )

    def tidy(self) -> pd.DataFrame:
        """The ATT with its SE, p-value and interval (NaN without inference); term "ATT"."""
        ci = self.ci or (None, None)
        return tidy_frame([("ATT", self.att, self.se, self.p_value, *ci)], self.method)

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: estimate, inference, fit quality, weights and effects by label."""
        w = self.weights
        return {
            "method": self.method,
            "entry": self.entry,
            "inference": self.inference,
            "treated": [json_label(u) for u in self.treated],
            "start": json_label(self.start),
            "att": self.att,
            "se": self.se,
            "p_value": self.p_value,
            # JSON has no infinities or NaN: an unbounded end is null, and
            # an empty interval is null at both ends with ci_empty.
            "ci_lower": json_number(self.ci[0]) if self.ci else None,
            "ci_upper": json_number(self.ci[1]) if self.ci else None,
            "ci_empty": bool(self.ci and math.isnan(self.ci[0])),
            "level": self.level,
            "alternative": self.alternative,
            "inference_method": self.inference_method,
            "dropped_donors": [json_label(u) for u in self.dropped_donors],
            "pre_rmspe": self.raw.pre_rmspe,
            "post_rmspe": self.raw.post_rmspe,
            "weights": {str(json_label(k)): float(v) for k, v in w.items()} if len(w) else None,
            "effects": {str(json_label(k)): float(v) for k, v in self.effects.items()},
            "pointwise": None
            if (pw := self.pointwise) is None
            else {
                str(json_label(k)): [json_number(v.lower), json_number(v.upper)]
                for k, v in pw.iterrows()
            },
        }

    def summary(self) -> str:
        """Estimate, inference, fit quality, panel size and the largest donor weights."""
        n, t = self.panel.shape
        level = self.raw.level or self.options.get("level", 0.95)
        lo, hi = f"[{(1 - level) / 2:.3f}", f"{1 - (1 - level) / 2:.3f}]"
        if self.alternative != "two-sided":  # one end the test's bound, no quantile pair
            lo, hi = "[one-sided", f"{100 * level:g}%]"
        ci = self.ci
        # A normal interval of an undefined standard error (the jackknife's)
        # is undefined; a test inversion's NaN ends mean no effect survives.
        undefined = bool(ci and math.isnan(ci[0])) and self.inference == "jackknife"
        empty = bool(ci and math.isnan(ci[0])) and not undefined
        end = "undefined" if undefined else "empty"
        row = [
            "ATT",
            num(self.att),
            num(self.se),
            num(self.p_value),
            end if empty or undefined else num(ci[0]) if ci else "-",
            end if empty or undefined else num(ci[1]) if ci else "-",
        ]
        info = [
            ("Method", f"{self.method} ({self.entry})"),
            ("Outcome", self.panel.outcome),
            ("Treated", _names(self.treated)),
            ("Units", f"{n} ({len(self.treated)} treated)"),
            ("Start", str(self.start)),
            ("Periods", f"{t} ({self._t0} pre, {t - self._t0} post)"),
            *period_info(self.panel),
            ("Inference", self.inference),
            ("Pre-period RMSE", num(self.raw.pre_rmspe)),
            # sdid and mcnnm report the effect path's spread around its mean there.
            (
                "Effect path SD" if self.method in ("sdid", "mcnnm") else "Post-period RMSE",
                num(self.raw.post_rmspe),
            ),
        ]
        notes = []
        # By size: rsc's weights may be negative, and a large one matters as much.
        w = self.weights[self.weights.abs() > 5e-4]
        w = w.iloc[np.argsort(-w.abs().to_numpy(), kind="stable")]
        if len(w):
            notes.append(
                "Largest donor weights: " + ", ".join(f"{k} {v:.3f}" for k, v in w.head(6).items())
            )
        if self.inference_method is not None:
            notes.append(f"Inference: {self.inference_method}.")
        if self.inference == "in_time":
            notes += beyond_every_window(self.p_value, len(self.raw.inference_distribution or []))
        if empty:
            notes.append(
                "The interval is empty: the test rejects every constant effect at this level."
            )
        notes += _dropped_donors_note(self.dropped_donors)
        return render(
            "Synthetic control results",
            info,
            ["", "estimate", "std err", "p-value", lo, hi],
            [row],
            notes,
        )

    def __repr__(self) -> str:
        p = "" if self.p_value is None else f", p={self.p_value:.3f}"
        return (
            f"<SynthResult {self.method}: ATT={self.att:.4g}{p}, treated={_names(self.treated)}, "
            f"start={self.start}>"
        )

    def plot(self, ax: Axes | Sequence[Axes] | None = None, effects: bool = True) -> Axes:
        """Treated against synthetic path, treatment start marked; below, with
        `effects`, the effect per period with its band and the cumulative effect
        (see `quintara.plots.synth_paths`). Returns the Axes of the paths."""
        from .plots import synth_paths

        return synth_paths(self, ax=ax, effects=effects)

    def plot_placebos(self, ax: Axes | None = None) -> Axes:
        """Gap paths of the placebos (`placebo_gaps`), the treated gap highlighted.

        Without a placebo test in the fit, refits the same method once per
        donor, so it costs about as much as placebo inference. Returns the Axes.
        """
        from .plots import placebo_gaps

        return placebo_gaps(self, ax=ax)

    def placebo_gaps(self) -> pd.DataFrame:
        """Gap path (observed minus synthetic) per period for every placebo the test kept.

        Read from the placebo test when it ran (placebos left out by its
        ``max_pre_ratio`` screen are not among them); otherwise the compiled
        entry runs its own single-donor test once, every donor refitted and
        kept (about the cost of placebo inference), which is not the matched
        test ``synth(..., inference="placebo")`` reports.
        """
        raw = self.raw
        if raw.placebo_gaps is None:
            row = SYNTH[self.method]
            if row.placebo is None:
                raise ValueError(f"method {self.method!r} has no placebo test")
            fn = getattr(_quintara, row.entry)
            # Only what the method's own entry takes: a conformal run's options
            # (block_len, pointwise, ...) are not its.
            takes = inspect.signature(fn).parameters
            opts = {
                k: v
                for k, v in self.options.items()
                if k in takes and k not in ("placebo", "inference")
            }
            for own, theirs in row.conformal_names:
                if theirs in self.options and own in takes:
                    opts[own] = self.options[theirs]
            opts.update(row.placebo_kwargs())
            raw = fn(self.panel.y, self._rows, self._t0, **opts)
        gaps = raw.placebo_gaps if raw.placebo_gaps is not None else []
        n = len(raw.placebo_sets or [])
        return pd.DataFrame(
            np.asarray(gaps, dtype=np.float64).reshape(n, len(self.panel.periods)).T,
            index=self.panel.periods,
            columns=self._placebo_labels(raw),
        )


def _dropped_donors_note(dropped: Sequence[Any]) -> list[str]:
    if not dropped:
        return []
    more = ", ..." if len(dropped) > 8 else ""
    shown = ", ".join(map(str, dropped[:8]))
    return [f"Dropped for missing cells: {len(dropped)} donors ({shown}{more})."]


class ConformalResult(_Result):
    """A CP-ASC fit (`synth(..., method="cpasc")`, entry `fit_cpasc`): a conformal p-value.

    Attributes
    ----------
    raw : CPASCResult
        The compiled result.
    dropped_donors : list
        Donors left out for missing cells (``missing="drop_donors"``); `panel`
        is the panel without them.

    See Also
    --------
    synth : The verb that returns it.

    Notes
    -----
    Every treated unit is fitted on its own by augmented synthetic control
    (Ben-Michael, Feller & Rothstein 2021); `att` pools the unit effects
    (`to_frame`) with the weights of the chosen ``mode``. `p_value` ranks the
    pooled residual of a refit under no effect over the post-period among all
    cyclic windows of the same length, a conformal permutation test in the
    manner of Chernozhukov, Wuthrich & Zhu (2021). See :ref:`inference`.
    """

    def __init__(
        self,
        raw: Any,
        panel: Panel,
        treated: list[int],
        t0: int,
        options: dict[str, Any],
        dropped_donors: Sequence[Any] = (),
    ) -> None:
        self.raw = raw
        self.panel = panel
        self.options = options
        self.dropped_donors = list(dropped_donors)
        self.method = "cpasc"
        self.treated = [panel.units[i] for i in treated]
        self.start = panel.periods[t0]
        self._t0 = t0

    @property
    def att(self) -> float:
        """Pooled effect on the treated (outcome units): the unit effects weighted by
        the pooling weights of ``mode``."""
        return float(self.raw.att)

    @property
    def p_value(self) -> float:
        """Conformal p-value of no effect: the share of cyclic windows whose pooled
        residual is at least the post-period's."""
        return float(self.raw.p_value)

    def to_frame(self) -> pd.DataFrame:
        """Per treated unit: its ATT, pre-period MSPE and pooling weight."""
        return pd.DataFrame(
            {"att": self.raw.unit_att, "mspe": self.raw.unit_mspe, "weight": self.raw.unit_weight},
            index=pd.Index(self.panel.units[self.raw.unit_ids], name="unit"),
        )

    def tidy(self) -> pd.DataFrame:
        """The pooled ATT ("ATT") with its conformal p-value, then "ATT <unit>" per treated unit."""
        r = self.raw
        rows = [("ATT", r.att, None, r.p_value, None, None)]
        rows += [
            (f"ATT {u}", a, None, None, None, None)
            for u, a in zip(self.panel.units[r.unit_ids], r.unit_att, strict=True)
        ]
        return tidy_frame(rows, "cpasc")

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: the pooled ATT, its p-value and the per-unit table."""
        f = self.to_frame()
        return {
            "method": "cpasc",
            "entry": "fit_cpasc",
            "att": self.att,
            "p_value": self.p_value,
            "start": json_label(self.start),
            "treated": [json_label(u) for u in self.treated],
            "dropped_donors": [json_label(u) for u in self.dropped_donors],
            "units": {
                str(json_label(k)): {c: float(v) for c, v in r.items()} for k, r in f.iterrows()
            },
        }

    def summary(self) -> str:
        """Pooled estimate and p-value, then one row per treated unit."""
        n, t = self.panel.shape
        info = [
            ("Method", "cpasc (fit_cpasc)"),
            ("Outcome", self.panel.outcome),
            ("Units", f"{n} ({len(self.treated)} treated)"),
            ("Start", str(self.start)),
            ("Periods", f"{t} ({self._t0} pre, {t - self._t0} post)"),
            *period_info(self.panel),
            ("Mode", str(self.options.get("mode", "mspe"))),
        ]
        rows = [["ATT (pooled)", num(self.att), num(self.p_value), "", ""]]
        rows += [
            [str(u), num(r.att), "", num(r.mspe), num(r.weight)]
            for u, r in self.to_frame().iterrows()
        ]
        return render(
            "Conformal synthetic control results",
            info,
            ["", "estimate", "p-value", "pre MSPE", "weight"],
            rows,
            _dropped_donors_note(self.dropped_donors),
        )

    def __repr__(self) -> str:
        return (
            f"<ConformalResult cpasc: ATT={self.att:.4g}, p={self.p_value:.3f}, "
            f"treated={_names(self.treated)}>"
        )

    def plot(self, ax: Axes | None = None) -> Axes:
        """Per-unit ATTs with the pooled ATT marked. Returns the Axes."""
        from .plots import unit_effects

        return unit_effects(self, ax=ax)
