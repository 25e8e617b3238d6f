"""Labelled result of the analysis of a finished geo experiment (`analyze`; entry `geo_analyze`)."""

from __future__ import annotations

import json
import math
from collections.abc import Sequence
from pathlib import Path
from statistics import NormalDist
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from . import _quintara
from ._summary import beyond_every_window, num, render
from .panel import Panel
from .results import _names, _Result, json_label, json_number as _finite, period_info, tidy_frame

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["ExperimentAnalysis"]


def _negated(x: float | None) -> float | None:
    return None if x is None else -x


def _bound(x: float | None, digits: int = 4) -> str:
    """An interval's end for the summary: "undefined" where there is none
    (NaN), and 0 unsigned (a ratio to an infinite bound is -0.0 or 0.0)."""
    if x is not None and math.isnan(x):
        return "undefined"
    return num(None if x is None else x + 0.0, digits)


def _interval_se(
    estimate: float | None, lower: float | None, upper: float | None, level: float
) -> float | None:
    """The normal standard error whose ``level`` interval is [lower, upper]:
    a two-sided interval's half-width over z(1 - alpha/2), a one-sided
    interval's distance from the estimate to its finite end over z(1 - alpha);
    None when no end is finite or the estimate is undefined."""
    ends = [x for x in (lower, upper) if x is not None and math.isfinite(x)]
    if len(ends) == 2:
        return (ends[1] - ends[0]) / (2.0 * NormalDist().inv_cdf(0.5 + level / 2.0))
    if len(ends) == 1 and estimate is not None and math.isfinite(estimate):
        return abs(estimate - ends[0]) / NormalDist().inv_cdf(level)
    return None


# The ratios to spend, in the compiled record's names.
_RETURNS = (
    "iroas",
    "iroas_se",
    "iroas_lower",
    "iroas_upper",
    "cost_per_incremental",
    "cost_per_incremental_lower",
    "cost_per_incremental_upper",
)


class ExperimentAnalysis(_Result):
    """A finished geo experiment analysed by its design's test (`analyze`; entry `geo_analyze`).

    Attributes
    ----------
    raw : GeoAnalysis
        The compiled result: every number below, in the outcome's units.
    treated : list
        The treated markets' labels.
    controls : list
        The markets the fit could use as controls: every market of `panel`
        not treated.
    excluded : list
        The markets of the data left out of the fit by `exclude`, or as
        outside `control_pool` (empty when neither was given).
    start, end : label
        The first and last test periods.
    method : str
        The estimator of the untreated path ("sdid", "sc", ...).

    See Also
    --------
    analyze : The verb that returns it.
    GeoAnalysis : The compiled record (`raw`).
    power : The design whose test this is.

    Notes
    -----
    One in-time test decides the experiment: the method fitted at the real
    start, its ``|ATT|`` against the 1 - alpha quantile of ``|ATT|`` over the
    historical windows of the test's length in the pre-period. `att` (per
    treated market and test period), `incremental` (all treated markets over
    the test), `lift_pct` and `iroas` are that one estimate rescaled, so all
    share `p_value` and each interval is the test's rescaled. The path bands
    of `paths` are pointwise. A go-dark test (``alternative="less"``) took the
    spend away: its `iroas` is the outcome lost per unit of spend withheld,
    ``-incremental / spend``, and its cost per incremental unit the spend
    withheld per unit lost (`spend_change` says which). See
    :ref:`inference`; the whole design, from selection to `to_mmm`, is the
    geo walkthrough.
    """

    raw: _quintara.GeoAnalysis

    def __init__(
        self,
        raw: _quintara.GeoAnalysis,
        panel: Panel,
        rows: list[int],
        t0: int,
        end: int,
        method: str,
        options: dict[str, Any],
        excluded: Sequence[Any] = (),
    ) -> None:
        self.raw = raw
        self.panel = panel
        self._rows = rows
        self.treated = [panel.units[i] for i in rows]
        mine = set(rows)
        self.controls = [u for i, u in enumerate(panel.units) if i not in mine]
        self.excluded = list(excluded)
        self._t0, self._end = t0, end
        self.start = panel.periods[t0]
        self.end = panel.periods[end - 1]
        self.method = method
        self.options = options

    @property
    def att(self) -> float:
        """Average effect per treated market and test period."""
        return self.raw.att

    @property
    def p_value(self) -> float:
        """The in-time test's p-value (the same for every number here)."""
        return self.raw.p_value

    @property
    def se(self) -> float:
        """The ATT's standard error: the spread (standard deviation) of the
        historical windows' effects, the in-time test's null distribution, not
        a normal approximation of `ci` (the ``se`` of `tidy`'s ATT row)."""
        return self.raw.se

    @property
    def ci(self) -> tuple[float, float]:
        """The average effects the test does not reject at `level`."""
        return (self.raw.ci_lower, self.raw.ci_upper)

    @property
    def level(self) -> float:
        return self.raw.level

    @property
    def incremental(self) -> float:
        """Incremental units over the test, all treated markets (att x periods x markets)."""
        return self.raw.incremental

    @property
    def lift_pct(self) -> float:
        """Incremental units as a percentage of the untreated outcome over the
        test; NaN when that outcome (``raw.counterfactual_total``) is not
        positive, of which no share is a lift."""
        return self.raw.lift_pct

    def _lift_defined(self) -> bool:
        return not math.isnan(self.raw.lift_pct)

    @property
    def spend_change(self) -> str:
        """How the test changed the spend: "withheld" in a go-dark test
        (``alternative="less"``), else "added" (a heavy-up test)."""
        return "withheld" if self.raw.alternative == "less" else "added"

    @property
    def iroas(self) -> float | None:
        """Incremental outcome per unit of spend added; in a go-dark test the
        outcome lost per unit of spend withheld (None without spend)."""
        return self._returns()["iroas"]

    def _returns(self) -> dict[str, float | None]:
        """The iROAS and the cost per incremental unit with their intervals.
        The compiled record divides by the spend as if it were added; a go-dark
        test's spend was withheld and its outcome lost, so its ratios are those
        negated, each interval's ends swapped."""
        r = self.raw
        if self.spend_change == "added" or r.spend is None:
            return {name: getattr(r, name) for name in _RETURNS}
        return {
            "iroas": _negated(r.iroas),
            "iroas_se": r.iroas_se,
            "iroas_lower": _negated(r.iroas_upper),
            "iroas_upper": _negated(r.iroas_lower),
            "cost_per_incremental": _negated(r.cost_per_incremental),
            "cost_per_incremental_lower": _negated(r.cost_per_incremental_upper),
            "cost_per_incremental_upper": _negated(r.cost_per_incremental_lower),
        }

    def paths(self) -> pd.DataFrame:
        """Every period: observed and synthetic treated mean; test periods: the
        effect and the cumulative incremental units with their pointwise bands
        (NaN before the start)."""
        r, t = self.raw, len(self.raw.observed)
        pre = np.full(self._t0, np.nan)

        def post(v: Sequence[float]) -> np.ndarray:
            return np.concatenate([pre, np.asarray(v, dtype=np.float64)])

        return pd.DataFrame(
            {
                "observed": r.observed,
                "synthetic": r.synthetic,
                "effect": post(r.effect),
                "effect_lower": post(r.effect_lower),
                "effect_upper": post(r.effect_upper),
                "cumulative": post(r.cumulative),
                "cumulative_lower": post(r.cumulative_lower),
                "cumulative_upper": post(r.cumulative_upper),
            },
            index=self.panel.periods[:t],
        )

    def to_frame(self) -> pd.DataFrame:
        """The paths (see `paths`)."""
        return self.paths()

    def tidy(self) -> pd.DataFrame:
        """One row per headline number (ATT, incremental, lift %, iROAS, cost per
        incremental unit when spend was given), each with the test's p-value."""
        r, q = self.raw, self._returns()
        rows: list[tuple[str, Any, Any, Any, Any, Any]] = [
            ("ATT", r.att, r.se, r.p_value, r.ci_lower, r.ci_upper),
            (
                "incremental",
                r.incremental,
                r.incremental_se,
                r.p_value,
                r.incremental_lower,
                r.incremental_upper,
            ),
            ("lift %", r.lift_pct, None, r.p_value, r.lift_pct_lower, r.lift_pct_upper),
        ]
        if r.spend is not None:
            rows.append(
                ("iROAS", q["iroas"], q["iroas_se"], r.p_value, q["iroas_lower"], q["iroas_upper"])
            )
            rows.append(
                (
                    "cost per incremental",
                    q["cost_per_incremental"],
                    None,
                    r.p_value,
                    q["cost_per_incremental_lower"],
                    q["cost_per_incremental_upper"],
                )
            )
        return tidy_frame(rows, self.method)

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: the design, every headline number and the paths by label
        (the iROAS and cost per incremental unit signed as `iroas` is)."""
        r, q = self.raw, self._returns()
        out: dict[str, Any] = {
            "entry": "geo_analyze",
            "method": self.method,
            "outcome": self.panel.outcome,
            "treated": [json_label(u) for u in self.treated],
            "controls": [json_label(u) for u in self.controls],
            "excluded": [json_label(u) for u in self.excluded],
            "start": json_label(self.start),
            "end": json_label(self.end),
            "alternative": r.alternative,
            "spend_change": self.spend_change,
            "level": r.level,
            "inference_method": r.inference_method,
            "n_windows": r.n_windows,
        }
        for name in (
            "att",
            "se",
            "p_value",
            "ci_lower",
            "ci_upper",
            "incremental",
            "incremental_se",
            "incremental_lower",
            "incremental_upper",
            "counterfactual_total",
            "lift_pct",
            "lift_pct_lower",
            "lift_pct_upper",
            "spend",
            *_RETURNS,
        ):
            out[name] = _finite(q[name] if name in q else getattr(r, name))
        paths = self.paths()
        out["paths"] = {
            col: {str(json_label(k)): _finite(v) for k, v in paths[col].items()}
            for col in paths.columns
        }
        return out

    def to_mmm(
        self,
        channel: str = "media",
        *,
        metric: str | None = None,
        baseline_spend: float | None = None,
        path: str | Path | None = None,
    ) -> dict[str, Any]:
        """The calibration record for marketing-mix models, as a JSON-ready dict.

        Keys:

        - ``experiment``: the incremental units and their interval, the lift
          (``lift_pct``: None when the counterfactual total is not positive;
          no model below takes a relative lift), level and p-value, the spend
          and ``spend_change`` ("added", or "withheld" for a go-dark test),
          ``iroas`` with ``iroas_lower`` / ``iroas_upper`` (signed as `iroas`
          is), the window, the treated ``markets``, the ``controls`` and the
          markets ``excluded`` from the fit, and the standard errors' source
          (the record every model below reads from).
        - ``robyn``: one row of Robyn's ``calibration_input`` data frame:
          ``channel``, ``liftStartDate`` / ``liftEndDate`` (the first and last
          test periods), ``liftAbs`` (the channel's contribution: the
          incremental units, or the units lost in a go-dark test), ``spend``
          (added or withheld), ``confidence`` (the interval's level),
          ``metric`` (the outcome's name) and ``calibration_scope``
          ("immediate": the effect within the test window).
        - ``meridian``: one experiment for Meridian's prior calibration
          (``meridian.model.calibration.base``), by its field names:
          ``channel_name`` (as `CalibrationInput` names the channel);
          ``point_estimate`` and ``standard_error`` (`ExperimentResult`: the
          iROAS, the ROI Meridian calibrates, and its standard error, below);
          ``total_spend``, ``experiment_start_date`` and
          ``experiment_end_date`` (`ExperimentInfo`: the spend the experiment
          covered, added or withheld, and its first and last test periods; not
          `CalibrationInput`'s ``total_spend``, the channel's spend over the
          whole model); None without spend.
        - ``pymc_marketing``: one row of the lift-test table of PyMC-Marketing's
          ``add_lift_test_measurements``: ``channel``, ``x`` (the channel's spend
          before the test, `baseline_spend`), ``delta_x`` (the change in spend),
          ``delta_y`` (the change in the outcome, the incremental units) and
          ``sigma`` (its standard error, below); None without spend.

        Signs: a heavy-up test passes the measured change as it is. A go-dark
        test (``alternative="less"``) withheld the spend, and the channel's
        contribution is the outcome lost: Meridian's ROI and Robyn's
        ``liftAbs`` are positive when the outcome fell (``-incremental /
        spend`` and ``-incremental``, with the spend withheld), while
        PyMC-Marketing reads the change as it happened, ``delta_x = -spend``
        and ``delta_y = incremental``, both negative, from ``x`` =
        `baseline_spend` (by default the spend withheld: the channel ran at
        that level and was switched off; 0 for a heavy-up test).

        Standard errors (Meridian's ``standard_error``, PyMC-Marketing's
        ``sigma``): the ones the test's interval implies, so that the model's
        normal interval at `level` is the analysis's interval: a two-sided
        interval's half-width over z(1 - alpha/2), or, for a one-sided test
        (go-dark), the distance from the estimate to the interval's finite
        end over z(1 - alpha). The
        spread of the historical windows' effects (`se`) is usually smaller
        (the windows' quantile lies further out than z of their spreads):
        read as a standard error it covers the truth less often than the
        level says. An interval with no finite end (or an undefined iROAS)
        implies none, and the spread is exported instead. ``experiment`` names the
        source (``se_source``: "interval" or "window spread") and keeps the
        spread as ``incremental_window_sd`` and ``iroas_window_sd``. With
        `path`, the record is also written there as JSON.
        """
        r, q = self.raw, self._returns()
        inc_se = _interval_se(r.incremental, r.incremental_lower, r.incremental_upper, r.level)
        iroas_se = _interval_se(q["iroas"], q["iroas_lower"], q["iroas_upper"], r.level)
        from_interval = inc_se is not None and iroas_se is not None
        if not from_interval:
            inc_se, iroas_se = r.incremental_se, q["iroas_se"]
        start, end = json_label(self.start), json_label(self.end)
        spend = _finite(r.spend)
        dark = self.spend_change == "withheld"
        if baseline_spend is None:
            baseline_spend = spend if dark and spend is not None else 0.0
        elif dark and spend is not None and baseline_spend < spend:
            # x + delta_x is the spend during the test, which cannot be below 0.
            raise ValueError(
                f"baseline_spend {baseline_spend} is below the spend withheld {spend}: "
                "the channel cannot have spent less than nothing during the test"
            )
        record: dict[str, Any] = {
            "experiment": {
                "channel": channel,
                "markets": [json_label(u) for u in self.treated],
                "controls": [json_label(u) for u in self.controls],
                "excluded": [json_label(u) for u in self.excluded],
                "start": start,
                "end": end,
                "n_periods": r.n_post,
                "outcome": metric or self.panel.outcome,
                "incremental": _finite(r.incremental),
                "incremental_lower": _finite(r.incremental_lower),
                "incremental_upper": _finite(r.incremental_upper),
                "lift_pct": _finite(r.lift_pct),
                "level": r.level,
                "p_value": r.p_value,
                "spend": spend,
                "spend_change": self.spend_change,
                "iroas": _finite(q["iroas"]),
                "iroas_lower": _finite(q["iroas_lower"]),
                "iroas_upper": _finite(q["iroas_upper"]),
                "se_source": "interval" if from_interval else "window spread",
                "incremental_window_sd": _finite(r.incremental_se),
                "iroas_window_sd": _finite(q["iroas_se"]),
                "method": self.method,
            },
            "robyn": {
                "channel": channel,
                "liftStartDate": start,
                "liftEndDate": end,
                "liftAbs": _finite(-r.incremental if dark else r.incremental),
                "spend": spend,
                "confidence": r.level,
                "metric": metric or self.panel.outcome,
                "calibration_scope": "immediate",
            },
            "meridian": None,
            "pymc_marketing": None,
        }
        if spend is not None:
            record["meridian"] = {
                "channel_name": channel,
                "point_estimate": _finite(q["iroas"]),
                "standard_error": _finite(iroas_se),
                "total_spend": spend,
                "experiment_start_date": start,
                "experiment_end_date": end,
            }
            record["pymc_marketing"] = {
                "channel": channel,
                "x": float(baseline_spend),
                "delta_x": -spend if dark else spend,
                "delta_y": _finite(r.incremental),
                "sigma": _finite(inc_se),
            }
        if path is not None:
            Path(path).write_text(json.dumps(record, indent=2) + "\n")
        return record

    def summary(self) -> str:
        """The test, then one row per headline number with its interval."""
        r = self.raw
        n, _ = self.panel.shape
        info = [
            ("Entry", "geo_analyze"),
            ("Method", self.method),
            ("Outcome", self.panel.outcome),
            ("Treated", _names(self.treated)),
            ("Markets", f"{n} ({r.n_treated} treated)"),
            *([("Excluded", _names(self.excluded))] if self.excluded else []),
            ("Test", f"{self.start} to {self.end} ({r.n_post} periods)"),
            ("Windows", f"{r.n_windows} historical"),
            ("Alternative", r.alternative),
            *([("Spend", f"{num(r.spend)} {self.spend_change}")] if r.spend is not None else []),
            *period_info(self.panel),
        ]
        level = f"{100 * r.level:g}%"
        # One-sided, one end is the test's bound and the other unbounded: no
        # pair of quantiles names that interval.
        header = ["", "estimate", "p_value", "[one-sided", f"{level}]"]
        if r.alternative == "two-sided":
            header[3:] = [f"[{(1 - r.level) / 2:.3g}", f"{1 - (1 - r.level) / 2:.3g}]"]
        rows = self._rows_for_summary()
        notes = [
            f"Inference: {r.inference_method}.",
            *beyond_every_window(r.p_value, r.n_windows),
            "Every row is the same test's estimate rescaled: one p-value, each interval "
            "the test's interval rescaled.",
        ]
        if r.alternative != "two-sided":
            notes.append(
                f"Intervals are one-sided ({level}): one end is the test's bound, the other "
                "unbounded (inf or -inf; 0 for the cost per incremental unit)."
            )
        if r.spend is not None and self.spend_change == "withheld":
            notes.append(
                f"Go-dark: the spend is what was withheld from the treated markets; iROAS is "
                f"the {self.panel.outcome} lost per unit of it (-incremental / spend), the cost "
                "per incremental unit the spend withheld per unit lost."
            )
        if not self._lift_defined():
            notes.append(
                f"Lift %: undefined, as the counterfactual total ({num(r.counterfactual_total)}) "
                "is not positive: the treated markets have no positive untreated outcome over "
                "the test to take a share of (the incremental units stand)."
            )
        if r.spend is not None and r.incremental_lower < 0 < r.incremental_upper:
            notes.append(
                "Cost per incremental: no interval (undefined), as the incremental interval "
                "crosses 0, where spend / incremental is unbounded."
            )
        return render("Geo-experiment analysis", info, header, rows, notes)

    def _rows_for_summary(self) -> list[list[str]]:
        r, q = self.raw, self._returns()
        out = [
            [
                "ATT (per market-period)",
                num(r.att),
                num(r.p_value),
                _bound(r.ci_lower),
                _bound(r.ci_upper),
            ],
            [
                "incremental units",
                num(r.incremental),
                num(r.p_value),
                _bound(r.incremental_lower),
                _bound(r.incremental_upper),
            ],
            [
                "lift %",
                num(r.lift_pct, 2) if self._lift_defined() else "undefined",
                num(r.p_value),
                _bound(r.lift_pct_lower, 2),
                _bound(r.lift_pct_upper, 2),
            ],
        ]
        if r.spend is not None:
            out.append(
                [
                    "iROAS",
                    num(q["iroas"]),
                    num(r.p_value),
                    _bound(q["iroas_lower"]),
                    _bound(q["iroas_upper"]),
                ]
            )
            out.append(
                [
                    "cost per incremental",
                    num(q["cost_per_incremental"]),
                    num(r.p_value),
                    _bound(q["cost_per_incremental_lower"]),
                    _bound(q["cost_per_incremental_upper"]),
                ]
            )
        return out

    def __repr__(self) -> str:
        lift = f"{self.lift_pct:.2f}%" if self._lift_defined() else "undefined"
        return (
            f"<ExperimentAnalysis: {self.method}, lift {lift} "
            f"(p={self.p_value:.3g}), {self.incremental:.4g} incremental units>"
        )

    def plot(self, ax: Axes | Sequence[Axes] | None = None) -> list[Axes]:
        """Observed against synthetic with the effect band, and the cumulative
        incremental units with their band. `ax`: None (a new figure with both
        panels), a pair of Axes, or one Axes (the paths only). Returns the Axes
        drawn on."""
        from .plots import experiment_paths

        return experiment_paths(self, ax=ax)
