"""The two public example panels shipped with quintara.

Both loaders return plain NumPy arrays shaped for the estimators: rows are
units, columns are periods.
"""

from __future__ import annotations

import csv
from dataclasses import dataclass
from importlib import resources
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["Prop99", "MinimumWage", "load_prop99", "load_mpdta", "load_table"]


@dataclass(frozen=True)
class Prop99:
    """California's Proposition 99 panel (Abadie, Diamond & Hainmueller 2010)."""

    y: np.ndarray  # (39 states, 31 years) cigarette packs per capita
    states: list[str]
    years: list[int]
    treated: list[int]  # row index of California
    treat_time: int  # column index of 1989, the first treated year


@dataclass(frozen=True)
class MinimumWage:
    """County teen employment and minimum-wage adoption (Callaway & Sant'Anna 2021)."""

    y: np.ndarray  # (500 counties, 5 years) log teen employment
    counties: list[int]
    years: list[int]
    cohorts: list[int]  # column index of the adoption year, -1 for never treated
    lpop: np.ndarray  # (500, 1) log population, a unit covariate


def _rows(name: str, delimiter: str) -> list[dict[str, str]]:
    text = resources.files("quintara").joinpath("data", name).read_text(encoding="utf-8")
    return list(csv.DictReader(text.splitlines(), delimiter=delimiter))


def load_prop99() -> Prop99:
    """Load the Proposition 99 panel as a (state x year) array."""
    rows = _rows("california_prop99.csv", ";")
    states = sorted({r["State"] for r in rows})
    years = sorted({int(r["Year"]) for r in rows})
    s_index = {s: i for i, s in enumerate(states)}
    y_index = {y: j for j, y in enumerate(years)}
    y = np.full((len(states), len(years)), np.nan)
    first_treated: dict[str, int] = {}
    for r in rows:
        year = int(r["Year"])
        y[s_index[r["State"]], y_index[year]] = float(r["PacksPerCapita"])
        if r["treated"] == "1":
            first_treated[r["State"]] = min(year, first_treated.get(r["State"], year))
    treated = sorted(s_index[s] for s in first_treated)
    treat_time = y_index[min(first_treated.values())]
    return Prop99(y=y, states=states, years=years, treated=treated, treat_time=treat_time)


def load_mpdta() -> MinimumWage:
    """Load the county minimum-wage panel as a (county x year) array."""
    rows = _rows("mpdta.csv", ",")
    counties = sorted({int(r["countyreal"]) for r in rows})
    years = sorted({int(r["year"]) for r in rows})
    c_index = {c: i for i, c in enumerate(counties)}
    y_index = {y: j for j, y in enumerate(years)}
    y = np.full((len(counties), len(years)), np.nan)
    lpop = np.zeros((len(counties), 1))
    cohorts = [-1] * len(counties)
    for r in rows:
        i = c_index[int(r["countyreal"])]
        y[i, y_index[int(r["year"])]] = float(r["lemp"])
        lpop[i, 0] = float(r["lpop"])
        first = int(r["first_treat"])
        cohorts[i] = y_index[first] if first in y_index else -1
    return MinimumWage(y=y, counties=counties, years=years, cohorts=cohorts, lpop=lpop)


_TABLES = {
    "prop99": ("california_prop99.csv", ";"),
    "mpdta": ("mpdta.csv", ","),
    "geo_sales": ("geo_sales.csv", ","),
}


def load_table(name: str) -> pd.DataFrame:
    """A bundled panel as the long table it ships as: "prop99", "mpdta" or "geo_sales".

    prop99: State, Year, PacksPerCapita, treated. mpdta: year, countyreal,
    lpop, lemp, first_treat (0 = never treated), treat, cluster1 (a
    unit-level code grouping the 500 counties into 15 clusters). geo_sales:
    market, week (ISO date text), sales.
    """
    import pandas as pd

    if name not in _TABLES:
        raise ValueError(f"unknown table {name!r}; the bundled tables are {', '.join(_TABLES)}")
    file, sep = _TABLES[name]
    with resources.files("quintara").joinpath("data", file).open("r", encoding="utf-8") as f:
        return pd.read_csv(f, sep=sep)
