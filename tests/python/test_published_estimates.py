"""Estimates against published figures: California's Proposition 99 and the
county minimum-wage panel.

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


@pytest.mark.parametrize("est_method", ["reg", "ipw", "dr"])
def test_callaway_santanna_event_study_with_a_varying_base(est_method: str) -> None:
    # R package did (2.x), as printed in its vignette "Getting Started with the
    # did Package" on mpdta:
    # att_gt(yname = "lemp", gname = "first.treat", idname = "countyreal",
    #        tname = "year", data = mpdta, control_group = "nevertreated")
    # (base_period = "varying" and est_method = "dr", its defaults; without
    # covariates every est_method gives these), then aggte(type = "dynamic").
    # Estimates and analytic standard errors to the four printed decimals.
    from quintara.datasets import load_mpdta

    d = load_mpdta()
    r = quintara.fit_callaway_py(d.y, d.cohorts, base_period="varying", est_method=est_method)
    assert r.event_time == [-3, -2, -1, 0, 1, 2, 3] and r.base_period == "varying"
    assert r.event_att == pytest.approx(
        [0.0305, -0.0006, -0.0245, -0.0199, -0.0510, -0.1373, -0.1008], abs=5e-5)
    assert r.event_se == pytest.approx(
        [0.0150, 0.0133, 0.0142, 0.0118, 0.0169, 0.0364, 0.0344], abs=5e-5)
    # Post-period cells keep their base: the overall effect does not move.
    assert r.att == quintara.fit_callaway_py(d.y, d.cohorts, est_method=est_method).att
