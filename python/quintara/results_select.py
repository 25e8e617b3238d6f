"""Labelled result of a one-cell market selection (`select_markets`; entry `geo_select`)."""

from __future__ import annotations

from collections import Counter
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

__all__ = ["MarketSelection"]


class MarketSelection(_Result):
    """Ranked candidate treatment-market sets (`select_markets`; entry `geo_select`).

    Attributes
    ----------
    raw : list of MarketCandidate
        The compiled result, best first.
    sizes : pandas.DataFrame
        Per requested size (treated markets, include markets counted): the
        distinct sets the eligible markets hold, how many the search scored,
        how many it met above the budget (``budget=``) and whether every
        affordable set was scored. The random search does not count the sets
        it draws above a budget: with one, its ``over_budget`` is missing (NA).
        The sized search prices only the sets it meets, so ``over_budget`` is
        missing too for a size it sampled rather than met whole (the summary
        then gives the sets drawn over budget as a lower bound).
        Where a budget was given and a size was sampled rather than met
        whole, ``exhaustive`` is missing too: the sets never met may all be
        above the budget.
    n_distinct : float
        Distinct candidate sets of the requested sizes (a float: the count
        can exceed any integer type; exact below 2**53).

    See Also
    --------
    select_markets : The verb that returns it.
    MarketCandidate : One compiled candidate.

    Notes
    -----
    Each candidate's ``power`` is its power at the target lift over the
    historical windows (as `power` computes it) and ``mde`` its minimal
    detectable lift, a fraction; ``holdout``, ``pre_fit_rel``,
    ``stability`` and ``confidence`` are its design diagnostics (as
    `diagnose`). ``score`` is the power times a factor from 0.5 to 1 that
    grows with ``confidence``, plus a small bonus for a smaller MDE. See
    :ref:`inference`.
    """

    raw: list[_quintara.MarketCandidate]

    def __init__(
        self,
        raw: list[_quintara.MarketCandidate],
        panel: Panel,
        test_len: int,
        target_lift: float,
        options: dict[str, Any],
        counts: Sequence[dict[str, Any]] = (),
        max_treated: int | None = None,
        eligible: Sequence[Any] | None = None,
        spend: Any = None,
    ) -> None:
        self.raw = raw
        self.panel = panel
        self.test_len = test_len
        self.target_lift = target_lift
        self.max_treated = max_treated
        self.options = options
        self._eligible = None if eligible is None else list(eligible)
        self._spend = spend
        scored = Counter(len(c.treated) for c in raw)
        # `counts` is the sized search's plan; a random search met an unknown
        # number of sets above a budget.
        sized, budget = options.get("search", "random") == "sized", options.get("budget")
        rows = []
        # The sets the sized search met above the budget: all of a size it
        # met whole, else only those it drew, a lower bound for the summary.
        self._met_over = 0
        for c in counts:
            n = scored.get(c["size"], 0)
            met = c["over_budget"] if sized else 0
            self._met_over += met
            met_all = sized and (bool(c["exhaustive"]) or n + met == c["distinct"])
            over: Any = 0 if budget is None else met if met_all else pd.NA
            if n == c["distinct"] or met_all:
                whole: Any = True  # every set met: the affordable ones scored
            else:
                # A sample: short of the whole without a budget; with one, the
                # sets it never met may all be over it.
                whole = False if budget is None else pd.NA
            rows.append(
                {"distinct": c["distinct"], "scored": n, "over_budget": over, "exhaustive": whole}
            )
        self.sizes = pd.DataFrame(
            rows,
            columns=["distinct", "scored", "over_budget", "exhaustive"],
            index=pd.Index([c["size"] for c in counts], name="size"),
        ).astype(
            {
                "distinct": "float64",
                "scored": "int64",
                "over_budget": "Int64",
                "exhaustive": "boolean",
            }
        )
        self.n_distinct = float(self.sizes["distinct"].sum())

    @property
    def candidates(self) -> pd.DataFrame:
        """One row per candidate, best first: markets (a tuple of names), score and
        its parts, and with a budget the set's cost (NaN without one)."""
        u = self.panel.units
        return pd.DataFrame(
            [
                {
                    "markets": tuple(u[i] for i in c.treated),
                    "score": c.score,
                    "power": c.power_at_target,
                    "mde": c.mde_pct,
                    "holdout": c.holdout_pct,
                    "pre_fit_rel": c.pre_fit_rel,
                    "stability": c.stability_score,
                    "confidence": c.confidence,
                    "cost": np.nan if c.cost is None else c.cost,
                }
                for c in self.raw
            ],
            columns=[
                "markets",
                "score",
                "power",
                "mde",
                "holdout",
                "pre_fit_rel",
                "stability",
                "confidence",
                "cost",
            ],
            index=pd.RangeIndex(1, len(self.raw) + 1, name="rank"),
        )

    @property
    def best(self) -> list[Any]:
        """The best candidate's markets (empty when there is no candidate)."""
        return [self.panel.units[i] for i in self.raw[0].treated] if self.raw else []

    def tidy(self) -> pd.DataFrame:
        """One row per candidate, best first, term "rank <k>": its score as the
        estimate (the other columns NaN)."""
        rows: list[tuple[str, Any, Any, Any, Any, Any]] = [
            (f"rank {k}", c.score, None, None, None, None) for k, c in enumerate(self.raw, 1)
        ]
        return tidy_frame(rows, str(self.options.get("method", "sdid")))

    def to_frame(self) -> pd.DataFrame:
        """The ranked candidates (see `candidates`)."""
        return self.candidates

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready: the search and the test it scored for, the counts by size
        (None where not known) and a list of {markets, score, ...}, best first."""
        budget = self.options.get("budget")
        cost_per_unit = self.options.get("cost_per_unit")
        return {
            "method": str(self.options.get("method", "sdid")),
            "entry": "geo_select",
            "outcome": self.panel.outcome,
            "test_len": self.test_len,
            "target_lift": self.target_lift,
            "max_treated": self.max_treated,
            "exact_size": self.options.get("exact_size"),
            **design_test(self.options),
            **design_markets(self.options, self.panel.units, self._eligible, self._spend),
            "budget": None if budget is None else float(budget),
            "cost_per_unit": None if cost_per_unit is None else float(cost_per_unit),
            "n_candidates": len(self.raw),
            "search": self.options.get("search", "random"),
            "solver": self.options.get("solver", "refit"),
            "seed": int(self.options.get("seed", 0)),
            # Past 2**1023 sets the count is inf.
            "n_distinct": json_number(self.n_distinct),
            "sizes": [
                {
                    "size": int(k),
                    "distinct": json_number(d),
                    "scored": int(n),
                    "over_budget": None if pd.isna(o) else int(o),
                    "exhaustive": None if pd.isna(e) else bool(e),
                }
                for k, d, n, o, e in zip(
                    self.sizes.index.tolist(),
                    self.sizes.distinct,
                    self.sizes.scored,
                    self.sizes.over_budget,
                    self.sizes.exhaustive,
                    strict=True,
                )
            ],
            "candidates": [
                {
                    "markets": [json_label(m) for m in r.markets],
                    **{c: json_number(v) for c, v in r.items() if c != "markets"},
                }
                for _, r in self.candidates.iterrows()
            ],
        }

    def summary(self, top: int = 10) -> str:
        """The `top` best candidates with their score, power at the target lift and MDE."""
        n, t = self.panel.shape
        info = [
            ("Entry", "geo_select"),
            ("Outcome", self.panel.outcome),
            ("Markets", str(n)),
            ("Periods", str(t)),
            *period_info(self.panel),
            ("Test length", f"{self.test_len} periods"),
            ("Target lift", pct(self.target_lift)),
            ("Method", str(self.options.get("method", "sdid"))),
            ("Candidates", self._searched()),
        ]
        if self.options.get("budget") is not None:
            info.append(("Budget", f"{float(self.options['budget']):,.2f}"))
        priced = self.options.get("budget") is not None
        rows = [
            [
                f"{k}. {_names(r.markets)}",
                num(r.score, 3),
                num(r.power, 3),
                pct(r.mde),
                pct(r.holdout),
                num(r.confidence, 1),
                *([f"{r.cost:,.0f}"] if priced else []),
            ]
            for k, r in self.candidates.head(top).iterrows()
        ]
        return render(
            "Geo-experiment market selection",
            info,
            [
                "markets",
                "score",
                "power",
                "MDE",
                "volume",
                "confidence",
                *(["cost"] if priced else []),
            ],
            rows,
            [
                detection_test(
                    float(self.options.get("alpha", 0.1)), "the", self.options, self.panel.units
                )
            ],
        )

    def _searched(self) -> str:
        """ "24 scored of 10,700 distinct sets (sizes 1-3)", or the count alone;
        the sets over budget as far as counted, and a random search named."""
        if self.sizes.empty:
            return str(len(self.raw))
        d = self.n_distinct
        total = f"{int(d):,}" if d < 1e15 else f"{d:.3g}"
        lo, hi = self.sizes.index.min(), self.sizes.index.max()
        span = f"size {lo}" if lo == hi else f"sizes {lo}-{hi}"
        # Where a size was sampled, only the drawn sets over budget are known:
        # the others were never priced.
        exact = self.sizes["over_budget"].notna().all()
        over = self._met_over
        priced = f", {'' if exact else 'at least '}{over:,} over budget" if over else ""
        drawn = "" if self.options.get("search", "random") == "sized" else ", drawn at random"
        return f"{len(self.raw):,} scored of {total} distinct sets ({span}{priced}{drawn})"

    def __repr__(self) -> str:
        return f"<MarketSelection: {len(self.raw)} candidates, best {_names(self.best)}>"

    def plot(self, ax: Axes | None = None, top: int = 10) -> Axes:
        """The `top` candidates, best at the top: power at the target lift as bars,
        with each one's MDE, share of volume and (with a budget) cost beside it.
        Returns the Axes."""
        from .plots import ranked_markets

        return ranked_markets(self, ax=ax, top=top)
