"""The synthetic path and the placebo gap paths of the SC-family records."""

from __future__ import annotations

import numpy as np
import pytest

import quintara
from conftest import SC_FITS, sc_fit


@pytest.mark.parametrize("method", list(SC_FITS))
def test_path_continues_into_the_counterfactual_and_measures_the_presc_fit(
    method: str, panel: np.ndarray
) -> None:
    t0 = 20
    r = sc_fit(method, panel, [0, 1], t0)
    path = np.asarray(r.synthetic)
    assert path.shape == (panel.shape[1],)
    assert list(path[t0:]) == list(r.counterfactual)
    gap = panel[[0, 1]].mean(axis=0)[:t0] - path[:t0]
    if method == "sdid":  # weights fit up to an intercept: the residual's spread
        assert np.std(gap) == pytest.approx(r.pre_rmspe, rel=1e-9)
    else:  # asc reports its synthetic-control part's residual
        assert np.sqrt(np.mean(gap**2)) == pytest.approx(r.pre_rmspe, rel=1e-9)


def test_plain_and_demeaned_paths_against_numpy(panel: np.ndarray) -> None:
    t0 = 20
    donors = panel[2:]
    sc = quintara.fit_sc(panel, [0, 1], t0)
    want = np.asarray(sc.weights) @ donors
    np.testing.assert_allclose(sc.synthetic[:t0], want[:t0], rtol=1e-13)
    # The demeaned path keeps the treated pre-period level, not the donors'.
    fp = quintara.fit_fp(panel, [0, 1], t0)
    w = np.asarray(fp.weights)
    level = panel[[0, 1], :t0].mean() - w @ donors[:, :t0].mean(axis=1)
    np.testing.assert_allclose(fp.synthetic, w @ donors + level, rtol=1e-12)
    # SDID's path is shifted to the treated units' level, so it differs from
    # the weighted controls by a constant.
    sd = quintara.fit_sdid(panel, [0, 1], t0)
    shift = np.asarray(sd.synthetic) - np.asarray(sd.weights) @ donors
    np.testing.assert_allclose(shift, np.full_like(shift, shift[0]), atol=1e-11)


def test_mcnnm_path_is_the_completed_treated_row(panel: np.ndarray) -> None:
    r = quintara.fit_mcnnm(panel, [0], 20, lambda_=0.5)
    path = np.asarray(r.synthetic)
    assert list(path[20:]) == list(r.counterfactual)
    assert np.sqrt(np.mean((panel[0, :20] - path[:20]) ** 2)) == pytest.approx(
        r.pre_rmspe, rel=1e-12
    )


@pytest.mark.parametrize("method", list(SC_FITS))
def test_placebo_gaps_are_the_donors_own_fits(method: str, panel: np.ndarray) -> None:
    t0 = 20
    y = panel[:8]
    r = sc_fit(method, y, [0], t0, placebo=True)
    assert r.placebo_ids == list(range(1, 8))
    assert len(r.placebo_gaps) == len(r.placebo_atts) == 7
    donors = y[1:]
    for k in (0, 3, 6):
        order = [k] + [i for i in range(len(donors)) if i != k]
        own = sc_fit(method, donors[order], [0], t0)
        gap = np.asarray(r.placebo_gaps[k])
        np.testing.assert_allclose(gap, donors[k] - np.asarray(own.synthetic), atol=1e-10)
        assert gap[t0:].tolist() == own.att_path
