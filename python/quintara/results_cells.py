"""Labelled result of a multi-cell market selection (`select_markets(..., cells=...)`)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from . import _quintara
from ._summary import num, pct, render
from .panel import Panel
from .results import _names, _Result, json_label, json_number, period_info, tidy_frame
from .results_geo import design_markets, design_test, detection_test

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["CellSelection"]

_COLUMNS = ["cell", "markets", "score", "power", "mde", "confidence", "cost", "design_score"]


class CellSelection(_Result):
    """Ranked joint multi-cell designs (`select_markets(..., cells=...)`; entry
    `geo_select_cells`).

    Each design gives every cell its own treated markets, no market in two
    cells; each cell is scored with every other cell's markets left out of its
    fits, so all cells share one control pool free of treated markets.
    Designs rank by the weakest cell's score, ties by the sum of the cells'
    scores, then in generation order.

    Attributes
    ----------
    raw : CellDesigns
        The compiled result: designs best first, counts, how they were found.
    cells : list of dict
        The cells as given (max_treated, target_lift, budget).
    n_designs : float
        Feasible joint designs in all when they were listed (search
        "exhaustive" or "listed"), else the count without budgets.
    exhaustive : bool
        Whether every feasible design was scored.

    See Also
    --------
    select_markets : The verb that returns it, with ``cells=``.
    MarketSelection : The one-cell selection, whose scores each cell's are.

    Notes
    -----
    A cell's score, power and MDE are those of `MarketSelection`, computed
    with the other cells' markets out of its control pool. See
    :ref:`inference`.
    """

    raw: _quintara.CellDesigns

    def __init__(
        self,
        raw: _quintara.CellDesigns,
        panel: Panel,
        test_len: int,
        cells: Sequence[dict[str, Any]],
        pool: Sequence[int],
        options: dict[str, Any],
        eligible: Sequence[Any] | None = None,
        spend: Any = None,
    ) -> None:
        self.raw = raw
        self._eligible = None if eligible is None else list(eligible)
        self._spend = spend
        self.panel = panel
        self.test_len = test_len
        self.cells = [dict(c) for c in cells]
        self.pool = list(pool)
        self.options = options
        self.n_designs = float(raw.n_designs)
        self.exhaustive = raw.search == "exhaustive"

    @property
    def designs(self) -> list[_quintara.CellDesign]:
        """The compiled designs, best first (each with one MarketCandidate per cell)."""
        return list(self.raw.designs)

    @property
    def best(self) -> list[list[Any]]:
        """The best design's markets, one label list per cell."""
        designs = self.raw.designs
        if not designs:
            return []
        u = self.panel.units
        return [[u[i] for i in c.treated] for c in designs[0].cells]

    def to_frame(self) -> pd.DataFrame:
        """One row per design and cell, best design first: the cell's markets (a
        tuple of names), score, power at its lift, MDE, confidence and cost (NaN
        without a budget), and the design's score (its weakest cell's)."""
        u = self.panel.units
        rows, index = [], []
        for rank, d in enumerate(self.raw.designs, 1):
            for k, c in enumerate(d.cells, 1):
                index.append(rank)
                rows.append(
                    {
                        "cell": k,
                        "markets": tuple(u[i] for i in c.treated),
                        "score": c.score,
                        "power": c.power_at_target,
                        "mde": c.mde_pct,
                        "confidence": c.confidence,
                        "cost": np.nan if c.cost is None else c.cost,
                        "design_score": d.score,
                    }
                )
        return pd.DataFrame(rows, columns=_COLUMNS, index=pd.Index(index, name="rank"))

    def tidy(self) -> pd.DataFrame:
        """One row per design and cell, term "rank <r> cell <k>: <markets>": the
        cell's score as the estimate (the other columns NaN)."""
        u = self.panel.units
        rows: list[tuple[str, Any, Any, Any, Any, Any]] = [
            (
                f"rank {r} cell {k}: {', '.join(str(u[i]) for i in c.treated)}",
                c.score,
                None,
                None,
                None,
                None,
            )
            for r, d in enumerate(self.raw.designs, 1)
            for k, c in enumerate(d.cells, 1)
        ]
        return tidy_frame(rows, str(self.options.get("method", "sdid")))

    def plot(self, ax: Axes | None = None, top: int = 5) -> Axes:
        """The `top` best designs' cells: power at each cell's lift, with MDE,
        markets and cost (needs matplotlib)."""
        from .plots import ranked_designs

        return ranked_designs(self, ax=ax, top=top)

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: the metadata of `MarketSelection.to_dict`, the cells, and
        the designs best first, each with its cells' markets and scores."""
        u = self.panel.units

        def cell_dict(c: Any) -> dict[str, Any]:
            return {
                "markets": [json_label(u[i]) for i in c.treated],
                "score": json_number(c.score),
                "power": json_number(c.power_at_target),
                "mde": json_number(c.mde_pct),
                "confidence": json_number(c.confidence),
                "cost": json_number(c.cost),
            }

        return {
            "method": str(self.options.get("method", "sdid")),
            "entry": "geo_select_cells",
            "outcome": self.panel.outcome,
            "test_len": self.test_len,
            "target_lift": [float(c["target_lift"]) for c in self.cells],
            "max_treated": [int(c["max_treated"]) for c in self.cells],
            **design_test(self.options),
            **design_markets(self.options, self.panel.units, self._eligible, self._spend),
            "budget": [None if c.get("budget") is None else float(c["budget"]) for c in self.cells],
            "cost_per_unit": None
            if self.options.get("cost_per_unit") is None
            else float(self.options["cost_per_unit"]),
            "n_candidates": len(self.raw.designs),
            "search": self.raw.search,
            "solver": self.options.get("solver", "refit"),
            "seed": int(self.options.get("seed", 0)),
            "n_distinct": json_number(self.n_designs),
            "cells": [
                {
                    "max_treated": int(c["max_treated"]),
                    "target_lift": float(c["target_lift"]),
                    "budget": None if c.get("budget") is None else float(c["budget"]),
                }
                for c in self.cells
            ],
            "control_pool_size": self._controls(),
            "designs": [
                {
                    "score": json_number(d.score),
                    "total": json_number(d.total),
                    "cells": [cell_dict(c) for c in d.cells],
                }
                for d in self.raw.designs
            ],
        }

    def _controls(self) -> int:
        """The best design's controls: the pool less every cell's markets."""
        if not self.raw.designs:
            return len(self.pool)
        treated = {i for c in self.raw.designs[0].cells for i in c.treated}
        return sum(1 for i in self.pool if i not in treated)

    def summary(self) -> str:
        """One block per cell of the best design: markets, power at the cell's
        lift, MDE and cost; the shared control pool's size."""
        n, t = self.panel.shape
        r = self.raw
        scored = f"{r.n_scored:,} scored of {self._count()} joint designs ({r.search})"
        info = [
            ("Entry", "geo_select_cells"),
            ("Outcome", self.panel.outcome),
            ("Markets", str(n)),
            ("Periods", str(t)),
            *period_info(self.panel),
            ("Test length", f"{self.test_len} periods"),
            ("Method", str(self.options.get("method", "sdid"))),
            ("Designs", scored),
            ("Control pool", f"{self._controls()} markets"),
        ]
        if r.designs:
            info.append(("Design score", f"{num(r.designs[0].score, 3)} (weakest cell)"))
        rows = []
        best = r.designs[0].cells if r.designs else []
        for k, (spec, c) in enumerate(zip(self.cells, best, strict=False), 1):
            budget = spec.get("budget")
            rows.append(
                [
                    f"{k}. {_names([self.panel.units[i] for i in c.treated])}",
                    pct(float(spec["target_lift"])),
                    num(c.power_at_target, 3),
                    pct(c.mde_pct),
                    num(c.score, 3),
                    "-" if c.cost is None else f"{c.cost:,.0f}",
                    "-" if budget is None else f"{float(budget):,.0f}",
                ]
            )
        return render(
            "Geo-experiment multi-cell selection",
            info,
            ["cell markets", "lift", "power", "MDE", "score", "cost", "budget"],
            rows,
            [
                detection_test(
                    float(self.options.get("alpha", 0.1)), "the", self.options, self.panel.units
                ),
                # Each cell was scored with the other cells' markets out of its fits.
                "Analyse each cell with the other cells' markets added to exclude=.",
            ],
        )

    def _count(self) -> str:
        d = self.n_designs
        text = f"{int(d):,}" if d < 1e15 else f"{d:.3g}"
        return text if self.raw.search != "sampled" else f"at most {text}"

    def __repr__(self) -> str:
        best = " | ".join(_names(c) for c in self.best)
        return f"<CellSelection: {len(self.raw.designs)} designs, best {best}>"
