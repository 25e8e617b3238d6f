"""Labelled results of `staggered`: event studies by event time, cohorts by period label."""

from __future__ import annotations

from statistics import NormalDist
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from . import _quintara
from ._summary import num, render
from .panel import Panel
from .results import _names, _Result, json_label

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["StaggeredResult", "BaconDecomposition"]


class StaggeredResult(_Result):
    """A staggered-adoption fit (`staggered` with callaway, twfe or sunab).

    Attributes
    ----------
    raw : DiDResult
        The compiled result.
    estimator, entry, control : str
        What ran.
    cohorts : pandas.Series
        Adoption-period label per unit (missing for never-treated units).
    """

    raw: _quintara.DiDResult

    def __init__(
        self,
        raw: _quintara.DiDResult,
        panel: Panel,
        cohorts: pd.Series,
        estimator: str,
        entry: str,
        control: str | None,
        level: float,
    ) -> None:
        self.raw = raw
        self.panel = panel
        self.cohorts = cohorts
        self.estimator = estimator
        self.entry = entry
        self.control = control
        self.level = level

    @property
    def att(self) -> float:
        """Overall ATT."""
        return self.raw.att

    @property
    def se(self) -> float:
        """Standard error of the overall ATT."""
        return self.raw.se

    @property
    def ci(self) -> tuple[float, float]:
        """Normal confidence interval of the overall ATT at `level`."""
        z = NormalDist().inv_cdf(0.5 + self.level / 2)
        return (self.att - z * self.se, self.att + z * self.se)

    @property
    def event_study(self) -> pd.DataFrame:
        """By event time: estimate, SE, pointwise interval, simultaneous band (when it ran)."""
        r = self.raw
        z = NormalDist().inv_cdf(0.5 + self.level / 2)
        att, se = np.asarray(r.event_att), np.asarray(r.event_se)
        f = pd.DataFrame(
            {"att": att, "se": se, "lo": att - z * se, "hi": att + z * se},
            index=pd.Index(r.event_time, name="event_time"),
        )
        if r.event_lo:
            f["band_lo"], f["band_hi"] = r.event_lo, r.event_hi
        return f

    @property
    def groups(self) -> pd.DataFrame:
        """By cohort (adoption-period label): ATT and SE (Callaway-Sant'Anna only)."""
        labels = [self.panel.periods[g] for g in self.raw.group_cohort]
        return pd.DataFrame(
            {"att": self.raw.group_att, "se": self.raw.group_se},
            index=pd.Index(labels, name="cohort"),
        )

    def to_frame(self) -> pd.DataFrame:
        """The event study (see `event_study`)."""
        return self.event_study

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: overall ATT and SE, event study and cohort effects."""
        es, g = self.event_study, self.groups
        return {
            "estimator": self.estimator,
            "entry": self.entry,
            "control": self.control,
            "att": self.att,
            "se": self.se,
            "ci_lower": self.ci[0],
            "ci_upper": self.ci[1],
            "event_study": [
                {"event_time": int(k), **{str(c): float(v) for c, v in row.items()}}
                for k, row in zip(es.index.tolist(), es.to_dict("records"), strict=True)
            ],
            "groups": [
                {"cohort": json_label(k), "att": float(r.att), "se": float(r.se)}
                for k, r in g.iterrows()
            ],
        }

    def summary(self) -> str:
        """Overall ATT, cohort effects and the event study as one table."""
        n, t = self.panel.shape
        treated = int(self.cohorts.notna().sum())
        z = NormalDist().inv_cdf(0.5 + self.level / 2)
        info = [
            ("Estimator", f"{self.estimator} ({self.entry})"),
            ("Outcome", self.panel.outcome),
            ("Control group", self.control or "-"),
            ("Units", f"{n} ({treated} treated, {n - treated} never)"),
            ("Cohorts", _names(sorted(self.cohorts.dropna().unique()))),
            ("Periods", str(t)),
        ]
        lo, hi = f"[{(1 - self.level) / 2:.3f}", f"{1 - (1 - self.level) / 2:.3f}]"

        def row(name: str, a: float, s: float) -> list[str]:
            return [name, num(a), num(s), num(a - z * s), num(a + z * s)]

        rows = [row("ATT", self.att, self.se)]
        if self.raw.overall_group_att is not None and self.raw.overall_group_se is not None:
            rows.append(
                row("ATT (cohort avg)", self.raw.overall_group_att, self.raw.overall_group_se)
            )
        rows += [row(f"cohort {k}", r.att, r.se) for k, r in self.groups.iterrows()]
        es = self.event_study
        rows += [
            row(f"event {int(k):+d}", a, s)
            for k, a, s in zip(es.index.tolist(), es.att, es.se, strict=True)
        ]
        notes = []
        if self.raw.band_crit is not None:
            notes.append(
                f"Simultaneous band critical value: {self.raw.band_crit:.3f} standard errors."
            )
        return render(
            "Staggered adoption results", info, ["", "estimate", "std err", lo, hi], rows, notes
        )

    def __repr__(self) -> str:
        return (
            f"<StaggeredResult {self.estimator}: ATT={self.att:.4g} (se {self.se:.3g}), "
            f"{len(self.raw.event_time)} event times>"
        )

    def plot(self, ax: Axes | None = None) -> Axes:
        """Event study with pointwise intervals and, when bands ran, the simultaneous band."""
        from .plots import event_study

        return event_study(self, ax=ax)


class BaconDecomposition(_Result):
    """A Goodman-Bacon decomposition (`staggered(..., estimator="bacon")`; `bacon_decompose_py`).

    Attributes
    ----------
    raw : BaconResult
        The compiled result.
    """

    raw: _quintara.BaconResult

    def __init__(self, raw: _quintara.BaconResult, panel: Panel, cohorts: pd.Series) -> None:
        self.raw = raw
        self.panel = panel
        self.cohorts = cohorts
        self.estimator = "bacon"
        self.entry = "bacon_decompose_py"

    @property
    def att(self) -> float:
        """The TWFE estimate the comparisons add up to."""
        return self.raw.twfe

    def to_frame(self) -> pd.DataFrame:
        """One row per 2x2 comparison: kind, treated and comparison cohorts, weight, estimate."""
        p = self.panel.periods
        return pd.DataFrame(
            [
                {
                    "kind": c.kind,
                    "treated": p[c.treated_cohort],
                    "comparison": "never"
                    if c.comparison_cohort is None
                    else p[c.comparison_cohort],
                    "weight": c.weight,
                    "estimate": c.estimate,
                }
                for c in self.raw.components
            ]
        )

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: the TWFE estimate, the forbidden weight and the comparisons."""
        rows = self.to_frame().to_dict("records")
        return {
            "estimator": "bacon",
            "entry": self.entry,
            "att": self.att,
            "se": None,
            "forbidden_weight": self.raw.forbidden_weight,
            "components": [{k: json_label(v) for k, v in r.items()} for r in rows],
        }

    def summary(self) -> str:
        """The TWFE estimate and its weight by kind of comparison."""
        n, t = self.panel.shape
        f = self.to_frame()
        info = [
            ("Estimator", "bacon (bacon_decompose_py)"),
            ("Outcome", self.panel.outcome),
            ("TWFE estimate", num(self.att)),
            ("Units x periods", f"{n} x {t}"),
            ("Forbidden weight", num(self.raw.forbidden_weight)),
            ("Comparisons", str(len(f))),
        ]
        rows = []
        for kind, g in f.groupby("kind", sort=True):
            w = float(g.weight.sum())
            rows.append(
                [
                    str(kind),
                    str(len(g)),
                    num(w),
                    num(float((g.weight * g.estimate).sum() / w) if w else None),
                ]
            )
        return render(
            "Goodman-Bacon decomposition", info, ["kind", "count", "weight", "avg estimate"], rows
        )

    def __repr__(self) -> str:
        return (
            f"<BaconDecomposition: TWFE={self.att:.4g}, {len(self.raw.components)} comparisons, "
            f"forbidden weight {self.raw.forbidden_weight:.3f}>"
        )

    def plot(self, ax: Axes | None = None) -> Axes:
        """Weight against estimate of each comparison, by kind. Returns the Axes."""
        from .plots import bacon_scatter

        return bacon_scatter(self, ax=ax)
