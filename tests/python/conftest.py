"""Shared fixtures: small generated panels with a known structure."""

from __future__ import annotations

import numpy as np
import pytest

import quintara
from quintara.datasets import load_table

# The synthetic-control entries that take a placebo test, by method name.
SC_FITS = {"sc": quintara.fit_sc, "fp": quintara.fit_fp, "asc": quintara.fit_asc,
           "sdid": quintara.fit_sdid, "rsc": quintara.fit_rsc}


def sc_fit(method: str, y: np.ndarray, treated: list[int], t0: int, placebo: bool = False,
           **kw: object):
    """The method's entry, with its placebo test when `placebo` is true."""
    if placebo:
        kw |= {"inference": "placebo"} if method == "sdid" else {"placebo": True}
    return SC_FITS[method](y, treated, t0, **kw)


def factor_panel(n_units: int = 12, n_periods: int = 30, seed: int = 0,
                 noise: float = 0.1) -> np.ndarray:
    """Units x periods outcomes from two smooth common factors plus noise."""
    rng = np.random.default_rng(seed)
    t = np.arange(n_periods)
    factors = np.vstack([np.sin(t / 4.0), np.cos(t / 7.0) + t / n_periods])
    loadings = rng.uniform(0.5, 2.0, size=(n_units, 2))
    levels = rng.uniform(5.0, 10.0, size=(n_units, 1))
    return levels + loadings @ factors + noise * rng.standard_normal((n_units, n_periods))


def cycle_markets(n: int, t: int, seed: int, cycle: int = 7, noise: float = 0.5,
                  amplitude: tuple[float, float] = (1.0, 3.0)) -> np.ndarray:
    """n markets over t periods: own levels in [20, 40), a shared cycle of
    `cycle` periods at an own amplitude, and N(0, noise^2) noise."""
    rng = np.random.default_rng(seed)
    return (rng.uniform(20, 40, (n, 1)) + rng.uniform(*amplitude, (n, 1))
            * np.sin(2 * np.pi * np.arange(t) / cycle) + rng.normal(0, noise, (n, t)))


def staggered(cohorts: list[int], n_periods: int, seed: int = 0) -> np.ndarray:
    """Unit and period effects, an effect growing with exposure from adoption
    (treat_start < 0 or >= n_periods: never), noise."""
    rng = np.random.default_rng(seed)
    c, t = np.asarray(cohorts)[:, None], np.arange(n_periods)[None, :]
    exposure = np.where((c >= 0) & (t >= c), t - c + 1.0, 0.0)
    return (rng.normal(size=(len(cohorts), 1)) + np.sin(t) + 0.5 * exposure
            + rng.normal(size=(len(cohorts), n_periods)))


@pytest.fixture
def panel() -> np.ndarray:
    return factor_panel()


@pytest.fixture(scope="session")
def geo() -> quintara.Panel:
    """The geo demo table's weekly sales, by market."""
    return quintara.Panel.from_long(load_table("geo_sales"), unit="market", time="week",
                                    outcome="sales")


@pytest.fixture(scope="session")
def prop99() -> quintara.Panel:
    """Proposition 99's packs per capita, by state (test_labelled shuffles its own)."""
    return quintara.Panel.from_long(load_table("prop99"), unit="State", time="Year",
                                    outcome="PacksPerCapita")
