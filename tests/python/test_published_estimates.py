"""Estimates on California's Proposition 99 against published figures.

Reference: Arkhangelsky, Athey, Hirshberg, Imbens & Wager (2021), "Synthetic
Difference-in-Differences", American Economic Review 111(12), Table 1 (the
California smoking example, as reproduced by the synthdid R package):
DID -27.3, SC -19.6, SDID -15.6 packs per capita. The published figures are
rounded to one decimal and their SC uses a slightly different solver, hence
the tolerances.
"""

from __future__ import annotations

import pytest

import quintara
from quintara.datasets import load_prop99


@pytest.fixture(scope="module")
def prop99():
    return load_prop99()


def test_sdid(prop99) -> None:
    r = quintara.fit_sdid(prop99.y, prop99.treated, prop99.treat_time)
    assert r.att == pytest.approx(-15.6, abs=0.05)


def test_synthetic_control(prop99) -> None:
    r = quintara.fit_sc(prop99.y, prop99.treated, prop99.treat_time)
    assert r.att == pytest.approx(-19.6, abs=0.15)
    # The published donors, in order of weight; the rest share under 2%.
    ranked = sorted(zip(r.weights, r.donor_ids, strict=True), reverse=True)
    top = [prop99.states[i] for _, i in ranked[:5]]
    assert top == ["Utah", "Montana", "Nevada", "Connecticut", "New Hampshire"]
    assert sum(w for w, _ in ranked[5:]) < 0.02


def test_difference_in_differences(prop99) -> None:
    cohorts = [prop99.treat_time if i in prop99.treated else -1 for i in range(len(prop99.y))]
    r = quintara.fit_twfe_py(prop99.y, cohorts)
    assert r.att == pytest.approx(-27.3, abs=0.05)
