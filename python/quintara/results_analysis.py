"""Labelled result of the analysis of a finished geo experiment (`analyze`; entry `geo_analyze`)."""

from __future__ import annotations

import json
import math
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from . import _quintara
from ._summary import num, render
from .panel import Panel
from .results import _names, _Result, json_label, period_info, tidy_frame

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["ExperimentAnalysis"]


def _finite(x: Any) -> float | None:
    """A JSON number: None for a missing or non-finite value."""
    if x is None:
        return None
    x = float(x)
    return x if math.isfinite(x) else None


class ExperimentAnalysis(_Result):
    """A finished geo experiment analysed by its design's test (`analyze`; entry `geo_analyze`).

    Attributes
    ----------
    raw : GeoAnalysis
        The compiled result: every number below, in the outcome's units.
    treated : list
        The treated markets' labels.
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
    of `paths` are pointwise. See :ref:`inference`; the whole design, from
    selection to `to_mmm`, is the geo walkthrough.
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
    ) -> None:
        self.raw = raw
        self.panel = panel
        self._rows = rows
        self.treated = [panel.units[i] for i in rows]
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
        """Incremental units as a percentage of the untreated outcome over the test."""
        return self.raw.lift_pct

    @property
    def iroas(self) -> float | None:
        """Incremental outcome per unit of spend (None without spend)."""
        return self.raw.iroas

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
        r = self.raw
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
            rows.append(("iROAS", r.iroas, r.iroas_se, r.p_value, r.iroas_lower, r.iroas_upper))
            rows.append(
                (
                    "cost per incremental",
                    r.cost_per_incremental,
                    None,
                    r.p_value,
                    r.cost_per_incremental_lower,
                    r.cost_per_incremental_upper,
                )
            )
        return tidy_frame(rows, self.method)

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: the design, every headline number and the paths by label."""
        r = self.raw
        out: dict[str, Any] = {
            "entry": "geo_analyze",
            "method": self.method,
            "outcome": self.panel.outcome,
            "treated": [json_label(u) for u in self.treated],
            "start": json_label(self.start),
            "end": json_label(self.end),
            "alternative": r.alternative,
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
            "iroas",
            "iroas_se",
            "iroas_lower",
            "iroas_upper",
            "cost_per_incremental",
            "cost_per_incremental_lower",
            "cost_per_incremental_upper",
        ):
            out[name] = _finite(getattr(r, name))
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
        baseline_spend: float = 0.0,
        path: str | Path | None = None,
    ) -> dict[str, Any]:
        """The calibration record for marketing-mix models, as a JSON-ready dict.

        Keys:

        - ``experiment``: the lift, its interval, level and p-value, the spend,
          the window and the markets (the record every model below reads from).
        - ``robyn``: one row of Robyn's ``calibration_input`` data frame:
          ``channel``, ``liftStartDate`` / ``liftEndDate`` (the first and last
          test periods), ``liftAbs`` (incremental units), ``spend``,
          ``confidence`` (the interval's level), ``metric`` (the outcome's
          name) and ``calibration_scope`` ("immediate": the effect within the
          test window).
        - ``meridian``: the arguments of an incrementality experiment result
          for Meridian's calibration builder: ``point_estimate`` (iROAS, the
          ROI Meridian calibrates), ``standard_error`` (the iROAS's null
          spread), ``spend``, ``start_date`` / ``end_date``; None without spend.
        - ``pymc_marketing``: one row of the lift-test table of PyMC-Marketing's
          ``add_lift_test_measurements``: ``channel``, ``x`` (the channel's spend
          before the test, `baseline_spend`), ``delta_x`` (the test's spend),
          ``delta_y`` (incremental units) and ``sigma`` (their null spread);
          None without spend.

        The standard errors are the spread of the historical windows' effects
        (the test's null distribution), not a normal approximation of the
        interval. With `path`, the record is also written there as JSON.
        """
        r = self.raw
        start, end = json_label(self.start), json_label(self.end)
        spend = _finite(r.spend)
        record: dict[str, Any] = {
            "experiment": {
                "channel": channel,
                "markets": [json_label(u) for u in self.treated],
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
                "iroas": _finite(r.iroas),
                "method": self.method,
            },
            "robyn": {
                "channel": channel,
                "liftStartDate": start,
                "liftEndDate": end,
                "liftAbs": _finite(r.incremental),
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
                "channel": channel,
                "point_estimate": _finite(r.iroas),
                "standard_error": _finite(r.iroas_se),
                "spend": spend,
                "start_date": start,
                "end_date": end,
            }
            record["pymc_marketing"] = {
                "channel": channel,
                "x": float(baseline_spend),
                "delta_x": spend,
                "delta_y": _finite(r.incremental),
                "sigma": _finite(r.incremental_se),
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
            ("Test", f"{self.start} to {self.end} ({r.n_post} periods)"),
            ("Windows", f"{r.n_windows} historical"),
            ("Alternative", r.alternative),
            *period_info(self.panel),
        ]
        lo, hi = f"[{1 - r.level:.2g}", f"{r.level:.2g}]"
        header = ["", "estimate", "p_value", lo, hi]
        if r.alternative == "two-sided":
            header[3:] = [f"[{(1 - r.level) / 2:.3g}", f"{1 - (1 - r.level) / 2:.3g}]"]
        rows = self._rows_for_summary()
        notes = [
            f"Inference: {r.inference_method}.",
            "Every row is the same test's estimate rescaled: one p-value, each interval "
            "the test's interval rescaled.",
        ]
        return render("Geo-experiment analysis", info, header, rows, notes)

    def _rows_for_summary(self) -> list[list[str]]:
        r = self.raw
        out = [
            [
                "ATT (per market-period)",
                num(r.att),
                num(r.p_value),
                num(r.ci_lower),
                num(r.ci_upper),
            ],
            [
                "incremental units",
                num(r.incremental),
                num(r.p_value),
                num(r.incremental_lower),
                num(r.incremental_upper),
            ],
            [
                "lift %",
                num(r.lift_pct, 2),
                num(r.p_value),
                num(r.lift_pct_lower, 2),
                num(r.lift_pct_upper, 2),
            ],
        ]
        if r.spend is not None:
            out.append(
                ["iROAS", num(r.iroas), num(r.p_value), num(r.iroas_lower), num(r.iroas_upper)]
            )
            out.append(
                [
                    "cost per incremental",
                    num(r.cost_per_incremental),
                    num(r.p_value),
                    num(r.cost_per_incremental_lower),
                    num(r.cost_per_incremental_upper),
                ]
            )
        return out

    def __repr__(self) -> str:
        return (
            f"<ExperimentAnalysis: {self.method}, lift {self.lift_pct:.2f}% "
            f"(p={self.p_value:.3g}), {self.incremental:.4g} incremental units>"
        )

    def plot(self, ax: Axes | Sequence[Axes] | None = None) -> list[Axes]:
        """Observed against synthetic with the effect band, and the cumulative
        incremental units with their band. `ax`: None (a new figure with both
        panels), a pair of Axes, or one Axes (the paths only). Returns the Axes
        drawn on."""
        from .plots import experiment_paths

        return experiment_paths(self, ax=ax)
