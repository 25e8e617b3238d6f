"""fit_callaway_py(est_method="ipw"/"dr"): peer values on the county
minimum-wage panel, the published default of the reference implementation,
a dense NumPy computation of one doubly robust cell, and the failure paths."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import pytest

import quintara
from quintara.datasets import load_mpdta, load_table
from test_callaway_sampling import WEIGHTS, cells_by_cohort

D = load_mpdta()
COHORTS = np.array(D.cohorts)


class Ref(NamedTuple):
    simple: tuple[float, float]  # overall ATT of the post-period cells, SE
    event: list[float]  # event times -4, -3, -2, 0, 1, 2, 3 (the base -1 is no estimate)
    event_se: list[float]
    cells: list[float] | None = None  # ATT(g, t), g then t ascending, base cells omitted
    cells_se: list[float] | None = None


# csdid 0.4.3 (a port of R did) on the long mpdta table (first.treat renamed first_treat):
#   a = ATTgt(yname="lemp", tname="year", idname="countyreal", gname="first_treat",
#             data=mpdta, control_group=[CONTROL][, xformla="lemp~lpop"])
#   a.fit(est_method=METHOD, base_period="universal", bstrap=False)
#   a.aggte(typec=TYPE, bstrap=False) for TYPE in "simple", "dynamic"
# CONTROL "nevertreated" or "notyettreated"; printed with %.13g. Without
# covariates csdid's ipw and dr values agree to every printed digit.
PEER = {
    ("never", False): Ref(
        simple=(-0.03995127515518, 0.01203401277019),
        event=[0.003306356692513, 0.02502182959755, 0.02445874497117, -0.01993181678926,
               -0.05095736706519, -0.1372587388894, -0.1008113630854],
        event_se=[0.02445187294393, 0.0181189206974, 0.01423640221052, 0.01182636405806,
                  0.01689347626868, 0.03643566428769, 0.03435922583467]),
    ("notyet", False): Ref(
        simple=(-0.03976362562304, 0.01205242478734),
        event=[0.003306356692513, 0.02695658765887, 0.02426890341451, -0.01892219908343,
               -0.05358934738483, -0.1362743463287, -0.1008113630854],
        event_se=[0.02445187294393, 0.01757966826016, 0.0144636816758, 0.01204456868927,
                  0.01694638553913, 0.03540338496891, 0.03435922583467]),
    ("ipw", "never"): Ref(
        simple=(-0.04177708219913, 0.01149971936398),
        event=[0.006445105087278, 0.02698123021343, 0.02320742346298, -0.02108827874346,
               -0.0530221080787, -0.1404646026555, -0.1069325571057],
        event_se=[0.02454232626759, 0.01810334894326, 0.01449281330704, 0.01149814017996,
                  0.01634711075719, 0.03537100178568, 0.03288915170895],
        cells=[-0.01454843115414, -0.07644986075866, -0.1404646026555, -0.1069325571057,
               0.007265800634328, 0.006397240343385, 0.00120804523973, -0.04130823173872,
               0.006445105087278, 0.03300120871086, 0.02834030380484, -0.02889476661456],
        cells_se=[0.02211453311144, 0.02864886253738, 0.03537100178568, 0.03288915170895,
                  0.03021872625657, 0.01845732845798, 0.01948792910345, 0.01972139818752,
                  0.02454232626759, 0.02124901279918, 0.01818930909533, 0.01624640938718]),
    ("ipw", "notyet"): Ref(
        simple=(-0.04138940975478, 0.01141929015296),
        event=[0.006445105087278, 0.02815612268515, 0.02280601050099, -0.02019525513017,
               -0.05474115437585, -0.1381952052056, -0.1069325571057],
        event_se=[0.02454232626759, 0.01768562873645, 0.01461440342564, 0.01163150494322,
                  0.01640196444622, 0.03422676581166, 0.03288915170895]),
    ("dr", "never"): Ref(
        simple=(-0.04175177205862, 0.01150283815155),
        event=[0.006296261757385, 0.02686045859435, 0.02324398717001, -0.0210603597508,
               -0.05300320430372, -0.1404483368101, -0.1069038981115],
        event_se=[0.02453668705698, 0.01809981259814, 0.01448513023173, 0.01149421166251,
                  0.01634645161666, 0.0353781547101, 0.0328864930029],
        cells=[-0.0145296683049, -0.07642188173479, -0.1404483368101, -0.1069038981115,
               0.006674670668282, 0.006202524579797, 0.0009605737466977, -0.04129386558818,
               0.006296261757385, 0.03302405796109, 0.02844748719756, -0.02878136103949],
        cells_se=[0.02212915723834, 0.02867131415556, 0.0353781547101, 0.0328864930029,
                  0.03028816244958, 0.01849570190418, 0.01940019542202, 0.0197211441454,
                  0.02453668705698, 0.02123526926301, 0.0181808811527, 0.01623895296618]),
    ("dr", "notyet"): Ref(
        simple=(-0.04135162929924, 0.01142783908219),
        event=[0.006296261757385, 0.02811050360885, 0.02286056083399, -0.02014445744,
               -0.05473030567735, -0.1381918226084, -0.1069038981115],
        event_se=[0.02453668705698, 0.01767538622676, 0.01461177267107, 0.01163228548084,
                  0.01640002114441, 0.03422803722132, 0.0328864930029]),
}
# The same with weights_name="w" (w = WEIGHTS per county), control nevertreated
# and xformla="lemp~lpop".
WEIGHTED = {
    "ipw": Ref(
        simple=(-0.03627998065586, 0.01099792127123),
        event=[-0.001301058081349, 0.02605678888606, 0.02133017954934, -0.01687790163317,
               -0.04894577309648, -0.1312251730922, -0.09646195988569],
        event_se=[0.0234929086462, 0.01752171844399, 0.01423162844381, 0.01002033640699,
                  0.01845043576617, 0.03572397128505, 0.03825879581526]),
    "dr": Ref(
        simple=(-0.03619163374932, 0.01102316188654),
        event=[-0.001506523235809, 0.0261117063259, 0.02158209397122, -0.01673703448855,
               -0.04897635658789, -0.131216675309, -0.0964407163974],
        event_se=[0.02345654632138, 0.01748501193451, 0.01420530279854, 0.0100435890739,
                  0.01844902945694, 0.03572875731732, 0.03825366526288]),
}


def near(v: object) -> object:
    return pytest.approx(v, abs=1e-10, rel=0)


def check(r: quintara.DiDResult, ref: Ref) -> None:
    assert r.event_time == [-4, -3, -2, 0, 1, 2, 3]
    assert ((r.att, r.se), r.event_att, r.event_se) == (near(ref.simple), near(ref.event),
                                                        near(ref.event_se))


@pytest.mark.parametrize("method", ["ipw", "dr"])
@pytest.mark.parametrize("control", ["never", "notyet"])
@pytest.mark.parametrize("with_x", [False, True])
def test_fits_match_the_peer(method: str, control: str, with_x: bool) -> None:
    ref = PEER[(method, control) if with_x else (control, False)]
    x = D.lpop if with_x else None
    check(quintara.fit_callaway_py(D.y, D.cohorts, control, x, est_method=method), ref)
    if ref.cells is not None:
        cells = cells_by_cohort(D.y, covariates=x, est_method=method)
        assert cells == (near(ref.cells), near(ref.cells_se))


@pytest.mark.parametrize("method", ["ipw", "dr"])
def test_weighted_fits_match_the_peer(method: str) -> None:
    r = quintara.fit_callaway_py(D.y, D.cohorts, covariates=D.lpop, weights=WEIGHTS,
                                 est_method=method)
    check(r, WEIGHTED[method])


@pytest.mark.parametrize("method", ["ipw", "dr"])
@pytest.mark.parametrize("kw", [{}, {"control": "notyet", "base_period": "varying"},
                                {"weights": WEIGHTS}])
def test_without_covariates_every_method_is_the_unadjusted_fit(method: str, kw: dict) -> None:
    a = quintara.fit_callaway_py(D.y, D.cohorts, est_method=method, **kw)
    b = quintara.fit_callaway_py(D.y, D.cohorts, est_method="reg", **kw)
    def flat(r: quintara.DiDResult) -> list[float]:
        return [r.att, r.se, *r.event_att, *r.event_se, *r.group_att, *r.group_se]

    assert flat(a) == near(flat(b))


def dense_drdid(dy: np.ndarray, d: np.ndarray, x: np.ndarray, w: np.ndarray,
                method: str) -> tuple[float, float]:
    """DRDID's drdid_panel / std_ipw_did_panel written out densely: ATT and
    sd(influence) / sqrt(n)."""
    n = len(d)
    X = np.column_stack([np.ones(n), x])
    w = w / w.mean()
    b = np.zeros(X.shape[1])
    for _ in range(30):  # Newton's method for the weighted logit
        p = 1 / (1 + np.exp(-X @ b))
        b = b + np.linalg.solve((X * (w * p * (1 - p))[:, None]).T @ X, X.T @ (w * (d - p)))
    ps = np.minimum(1 / (1 + np.exp(-X @ b)), 1 - 1e-6)
    keep = (d == 1) | (ps < 0.995)
    c = d == 0
    beta = np.linalg.lstsq(X[c] * np.sqrt(w[c])[:, None], dy[c] * np.sqrt(w[c]), rcond=None)[0]
    r = dy - X @ beta if method == "dr" else dy
    wt, wc = keep * w * d, keep * w * ps * (1 - d) / (1 - ps)
    et, ec = np.mean(wt * r) / np.mean(wt), np.mean(wc * r) / np.mean(wc)
    ols = ((w * (1 - d) * r)[:, None] * X) @ np.linalg.inv((X * (w * (1 - d))[:, None]).T @ X / n)
    if method != "dr":
        ols = np.zeros_like(ols)
    lin_ps = ((w * (d - ps))[:, None] * X) @ np.linalg.inv((X * (w * ps * (1 - ps))[:, None]).T @ X)
    inf_t = (wt * (r - et) - ols @ np.mean(wt[:, None] * X, 0)) / np.mean(wt)
    m2 = np.mean((wc * (r - ec))[:, None] * X, 0)
    inf_c = (wc * (r - ec) + n * lin_ps @ m2 - ols @ np.mean(wc[:, None] * X, 0)) / np.mean(wc)
    return et - ec, float(np.sqrt(np.sum((inf_t - inf_c) ** 2)) / n)


@pytest.mark.parametrize("method", ["ipw", "dr"])
@pytest.mark.parametrize("weights", [None, WEIGHTS])
def test_one_cell_matches_dense_numpy(method: str, weights: np.ndarray | None) -> None:
    keep = (COHORTS == 1) | (COHORTS < 0)  # cohort 2004 and the never-treated counties
    y, x = D.y[keep], D.lpop[keep]
    w = weights[keep] if weights is not None else np.ones(keep.sum())
    want = dense_drdid(y[:, 2] - y[:, 0], (COHORTS[keep] == 1) * 1.0, x[:, 0], w, method)
    r = quintara.fit_callaway_py(y, COHORTS[keep].tolist(), covariates=x, est_method=method,
                                 weights=weights[keep] if weights is not None else None)
    assert (r.event_att[1], r.event_se[1]) == near(want)  # ATT(2004, 2005) against 2003


def test_bands_and_clusters_take_the_influence_functions() -> None:
    kw = {"covariates": D.lpop, "est_method": "dr"}
    plain = quintara.fit_callaway_py(D.y, D.cohorts, **kw)
    units = quintara.fit_callaway_py(D.y, D.cohorts, clusters=list(range(len(COHORTS))), **kw)
    assert (units.se, units.event_se) == (plain.se, plain.event_se)
    states = quintara.fit_callaway_py(D.y, D.cohorts, clusters=np.array(D.counties) // 1000, **kw)
    assert states.n_clusters == 29 and states.se != plain.se and states.att == plain.att
    b = quintara.fit_callaway_py(D.y, D.cohorts, bands=True, n_reps=499, seed=3, **kw)
    assert b.band_crit > 1.96 and np.isfinite(b.band_crit)
    assert all(lo < a < hi for lo, a, hi in zip(b.event_lo, b.event_att, b.event_hi, strict=True))


def test_failures_are_value_errors() -> None:
    with pytest.raises(ValueError, match=r"^unknown est_method 'aipw' \(expected reg/ipw/dr\)$"):
        quintara.fit_callaway_py(D.y, D.cohorts, est_method="aipw")
    y = D.y.copy()
    y[0, 2] = np.nan
    with pytest.raises(ValueError, match="^est_method='dr' needs a balanced panel; .*missing="):
        quintara.fit_callaway_py(y, D.cohorts, missing="keep", est_method="dr")
    quintara.fit_callaway_py(y, D.cohorts, missing="keep", est_method="reg")
    # A covariate that is 1 exactly on the treated units separates them.
    sep = (COHORTS >= 0).astype(float)[:, None]
    with pytest.raises(ValueError, match=r"^est_method='ipw' cannot fit the cell of cohort 1 in "
                       r"period 1 \(base period 0\): the covariates separate .*est_method='reg'$"):
        quintara.fit_callaway_py(D.y, D.cohorts, covariates=sep, est_method="ipw")
    twice = np.column_stack([D.lpop[:, 0], 2 * D.lpop[:, 0]])
    with pytest.raises(ValueError, match="information matrix is singular"):
        quintara.fit_callaway_py(D.y, D.cohorts, covariates=twice, est_method="dr")


def test_the_labelled_layer_names_the_estimator() -> None:
    # The command line's --est-method is run in test_cli.
    table = load_table("mpdta")
    cols = {"unit": "countyreal", "time": "year", "outcome": "lemp", "adoption": "first_treat"}
    fit = quintara.staggered(table, **cols, est_method="dr", covariates=["lpop"])
    raw = quintara.fit_callaway_py(D.y, D.cohorts, covariates=D.lpop, est_method="dr",
                                   base_period="varying")
    assert fit.att == pytest.approx(raw.att, abs=1e-14) and fit.to_dict()["est_method"] == "dr"
    assert "dr (doubly robust)" in fit.summary()
    assert quintara.staggered(table, **cols).to_dict()["est_method"] == "reg"
