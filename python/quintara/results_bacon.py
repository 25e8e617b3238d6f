"""Labelled result of a Goodman-Bacon decomposition (`staggered(..., estimator="bacon")`)."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import pandas as pd

from . import _quintara
from ._summary import num, render
from .panel import Panel
from .results import _Result, json_label, tidy_frame
from .results_did import _Cohorts, dropped_note

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["BaconDecomposition"]


class BaconDecomposition(_Cohorts, _Result):
    """A Goodman-Bacon decomposition (`staggered(..., estimator="bacon")`; `bacon_decompose_py`).

    Attributes
    ----------
    raw : BaconResult
        The compiled result.

    See Also
    --------
    staggered : The verb that returns it.

    Notes
    -----
    The TWFE estimate (`att`) is the weighted sum of the two-by-two
    comparisons of `to_frame` (Goodman-Bacon 2021): treated against
    never-treated, earlier against later adopters, and later against earlier
    adopters (the "forbidden" comparisons, whose controls are already
    treated). A large weight on those warns that TWFE mixes changing effects;
    see :ref:`choosing`.
    """

    raw: _quintara.BaconResult

    def __init__(
        self,
        raw: _quintara.BaconResult,
        panel: Panel,
        cohorts: pd.Series | Callable[[], pd.Series],
        dropped_units: Sequence[Any] = (),
    ) -> None:
        self.raw = raw
        self.panel = panel
        self.dropped_units = list(dropped_units)
        self._cohorts = cohorts
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
            ],
            # Named even when there are no comparisons, so summary() and tidy() read them.
            columns=["kind", "treated", "comparison", "weight", "estimate"],
        )

    def tidy(self) -> pd.DataFrame:
        """The TWFE estimate ("TWFE") and each 2x2 comparison ("<kind> <treated> vs
        <comparison>"), estimates only."""
        rows: list[tuple[str, Any, Any, Any, Any, Any]] = [
            ("TWFE", self.raw.twfe, None, None, None, None)
        ]
        rows += [
            (f"{c.kind} {c.treated} vs {c.comparison}", c.estimate, None, None, None, None)
            for c in self.to_frame().itertuples()
        ]
        return tidy_frame(rows, "bacon")

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
            "Goodman-Bacon decomposition",
            info,
            ["kind", "count", "weight", "avg estimate"],
            rows,
            [dropped_note(self.dropped_units)] if self.dropped_units else [],
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
