"""Rambachan-Roth sensitivity intervals against moderndid 0.2.0 (and diff-diff 3.13.0).

The event study is quintara's Sun-Abraham fit on mpdta (lemp; pre-periods
-4, -3, -2; post-periods 0..3), printed once and pasted here, so the peer and
quintara see the same betahat and sigma. Smoothness (FLCI) is grid-free and
agrees to solver accuracy. Relative magnitudes are grid-based: with the
peer's grid (1000 points, the post estimate +- (Mbar sum_k k|l_k| max pre
difference + 20 sd)) the conditional test lands on the same grid values.
The least-favourable hybrid's first-stage critical value is simulated (1000
draws) by each package from its own generator, so there the endpoints agree
to within two grid steps.

moderndid's create_sensitivity_results_rm visits s = -1, 0 only (R
HonestDiD's .create_A_RM numbering) and so misses the piece where the
earliest pre-period difference is the largest; the relative-magnitude
references are therefore the union over all six pieces of moderndid's own
test, compute_arp_nuisance_ci, with R HonestDiD's constraint matrices.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

import quintara
from quintara.datasets import load_table

BETA = [0.0033063566924380035, 0.02502182959749498, 0.024458744971106925,
        -0.019931816789317977, -0.05095736706524285, -0.13725873888942702,
        -0.1008113630854483]
COV = [0.0005978940904612833, 0.0003359073547927943, 0.00021081532259036037,
       2.842131332402916e-05, -8.246432896855632e-05, -0.0002135535062026481,
       -0.00017169225978623423, 0.00033590735479279457, 0.0003268151233514509,
       0.00017603529395245486, 3.898295217969005e-05, -4.1581825951273034e-05,
       -0.00013113575140109225, -9.698705721721619e-05, 0.0002108153225903605,
       0.00017603529395245478, 0.000201833696068392, 3.38384567257052e-05,
       -3.95328618784879e-05, -9.574743867823011e-05, -6.434093186449973e-05,
       2.842131332402931e-05, 3.898295217969001e-05, 3.383845672570524e-05,
       0.00013942162026706466, 6.133089553047632e-05, 4.372114532001503e-05,
       6.562180107192584e-05, -8.246432896855631e-05, -4.158182595127307e-05,
       -3.953286187848792e-05, 6.133089553047634e-05, 0.0002822318985933075,
       0.00036040104572633493, 0.0003252736467908423, -0.0002135535062026482,
       -0.00013113575140109222, -9.574743867823016e-05, 4.372114532001501e-05,
       0.0003604010457263348, 0.0013275576320321448, 0.0008655738151438322,
       -0.00017169225978623425, -9.69870572172162e-05, -6.434093186449972e-05,
       6.562180107192584e-05, 0.00032527364679084224, 0.0008655738151438321,
       0.0011805563999137036]
SIGMA = np.array(COV).reshape(7, 7)
L = {"e0": None, "average": [0.25] * 4}

# moderndid 0.2.0:
#   create_sensitivity_results_sm(betahat=BETA, sigma=SIGMA, num_pre_periods=3,
#       num_post_periods=4, m_vec=[0.0, 0.01, 0.02], l_vec=l)   (method "FLCI")
# with l = None (e0) and np.full(4, 0.25) (average); (lb, ub) per M.
FLCI = {
    "e0": [(-0.051434942855472086, 0.006321781070336388),
           (-0.04559238028971342, 0.03683053022991517),
           (-0.049844332681007936, 0.0566805001699492)],
    "average": [(-0.11995300667208592, -0.02252346310046082),
                (-0.14267876669567064, 0.06959066987328337),
                (-0.18539090327377172, 0.13889187237034512)],
}
# diff-diff 3.13.0 (a second reference; its own optimiser, hence 1e-4):
#   diff_diff.honest_did._compute_optimal_flci(BETA[:3], BETA[3:], SIGMA, l, 3, 4, M, 0.05)
FLCI_DIFF_DIFF = {
    "e0": [(-0.0514756759840427, 0.006281008315795304),
           (-0.04559260117056944, 0.036830309421437286),
           (-0.04984447606057304, 0.05668035693820408)],
    "average": [(-0.12001765634105512, -0.02258817193306599),
                (-0.14267941216379454, 0.06959002445395926),
                (-0.1853912063442381, 0.1388915693329838)],
}
# moderndid 0.2.0, per Mbar in (0.5, 1, 2): the hull over s in -2..0 and both
# signs of compute_arp_nuisance_ci(betahat=BETA, sigma=SIGMA, l_vec=l,
#     a_matrix=A, d_vec=0, num_pre_periods=3, num_post_periods=4, alpha=0.05,
#     hybrid_flag=..., hybrid_list=..., grid_lb=lb, grid_ub=ub, grid_points=1000,
#     rows_for_arp=<rows of A with a non-zero post-period entry>)
# with A = R HonestDiD's .create_A_RM(3, 4, Mbar, s, sign) without the
# reference column and [lb, ub] the grid above. hybrid_flag="ARP",
# hybrid_list={}:
CONDITIONAL = {
    "e0": [(-0.0549889104138985, 0.018606123010752873),
           (-0.07341088096371151, 0.03772122312551596),
           (-0.11780916899737257, 0.08308195623431963)],
    "average": [(-0.15510206487288164, -0.00023793432267094072),
                (-0.20856274152227872, 0.054083098607560554),
                (-0.325185188385568, 0.17070554547084993)],
}
# One post-period (BETA[:4], SIGMA[:4, :4]), where the nuisance parameters
# vanish: the same hull of compute_arp_ci(beta_hat, sigma, A=A, d=0,
#     n_pre_periods=3, n_post_periods=1, alpha=0.05, grid_lb=lb, grid_ub=ub,
#     grid_points=1000, hybrid_flag="ARP").
SINGLE_POST = [(-0.05349711919583122, 0.017114331792685622),
               (-0.07288913399615646, 0.03772122312551596),
               (-0.11780916899737257, 0.08308195623431963)]
# hybrid_flag="LF", hybrid_list={"hybrid_kappa": 0.005}; then the grid step.
HYBRID = {
    "e0": [(-0.05548617415325424, 0.018606123010752873, 0.0004972637393557524),
           (-0.07341088096371151, 0.03824297009307104, 0.0005217469675550585),
           (-0.11837988242132622, 0.08308195623431963, 0.000570713423953671)],
    "average": [(-0.1542417085920471, 0.0006224219581635326, 0.0008603562808345039),
                (-0.21040587022494422, 0.05592622731022612, 0.0009215643513327695),
                (-0.32727314937022656, 0.17174952596317916, 0.0010439804923293007)],
}
# construct_original_cs(betahat=BETA, sigma=SIGMA, num_pre_periods=3,
#     num_post_periods=4, l_vec=l): (lb, ub).
ORIGINAL = {"e0": (-0.04307447033143329, 0.003210836752797333),
            "average": (-0.1163582066788115, -0.03812143623590659)}


def honest(kind: str, m: list[float], which: str, **kw: object) -> dict:
    return quintara.honest_did_py(BETA, SIGMA, 3, kind=kind, m=m, l_vec=L[which], **kw)


@pytest.mark.parametrize("which", ["e0", "average"])
def test_against_moderndid(which: str) -> None:
    sd = honest("smoothness", [0.0, 0.01, 0.02], which, breakdown=False)
    got = list(zip(sd["lower"], sd["upper"], strict=True))
    assert np.allclose(got[1:], FLCI[which][1:], rtol=0, atol=1e-6)
    # At m = 0 the optimum is the end of the search range (the least-variance
    # bias-free weights), which diff-diff reaches and moderndid stops 4e-5
    # short of.
    assert np.allclose(got[:1], FLCI_DIFF_DIFF[which][:1], rtol=0, atol=1e-8)
    assert np.allclose(got, FLCI_DIFF_DIFF[which], rtol=0, atol=1e-4)
    assert (sd["original_lower"], sd["original_upper"]) == pytest.approx(ORIGINAL[which], abs=1e-9)
    cond = honest("relative_magnitude", [0.5, 1.0, 2.0], which, hybrid=False, breakdown=False)
    got = list(zip(cond["lower"], cond["upper"], strict=True))
    assert np.allclose(got, CONDITIONAL[which], rtol=0, atol=1e-12)  # the same grid values
    hyb = honest("relative_magnitude", [0.5, 1.0, 2.0], which, breakdown=False)
    for lo, hi, (plo, phi, step) in zip(hyb["lower"], hyb["upper"], HYBRID[which], strict=True):
        assert abs(lo - plo) <= 2.01 * step and abs(hi - phi) <= 2.01 * step


def test_single_post_period_against_moderndid() -> None:
    single = quintara.honest_did_py(BETA[:4], SIGMA[:4, :4], 3, m=[0.5, 1.0, 2.0], hybrid=False,
                                    breakdown=False)
    got = list(zip(single["lower"], single["upper"], strict=True))
    assert np.allclose(got, SINGLE_POST, rtol=0, atol=1e-12)


@pytest.mark.parametrize("kind", ["relative_magnitude", "smoothness"])
def test_breakdown_is_where_the_interval_first_holds_zero(kind: str) -> None:
    out = honest(kind, [], "average")
    b = out["breakdown"]
    assert b is not None and b > 0
    # Just below the breakdown value 0 is excluded; a step of the search's
    # resolution above it, included.
    step = (1.0 if kind == "relative_magnitude" else math.sqrt(0.25**2 * SIGMA[3:, 3:].sum()))
    probe = honest(kind, [b, b + 2.0 * step / 2**14], "average", breakdown=False)
    assert probe["lower"][0] > 0 or probe["upper"][0] < 0
    assert probe["lower"][1] <= 0 <= probe["upper"][1]
    # With e = 0 the ordinary interval already holds 0.
    assert honest(kind, [], "e0")["breakdown"] is None
    again = honest(kind, [0.5], "average")
    assert again == honest(kind, [0.5], "average")  # bit-reproducible


@pytest.mark.parametrize("kind", ["relative_magnitude", "smoothness"])
def test_units_of_beta_carry_through(kind: str) -> None:
    m = [0.5, 1.0] if kind == "relative_magnitude" else [0.005, 0.01]
    base = honest(kind, m, "average")
    for c in (2.0**12, 1000.0):
        mc = m if kind == "relative_magnitude" else [c * v for v in m]
        out = quintara.honest_did_py([c * b for b in BETA], c * c * SIGMA, 3, kind=kind, m=mc,
                                     l_vec=L["average"])
        exact = c == 2.0**12  # a power of two rescales every step exactly
        for key in ("lower", "upper"):
            want = [c * v for v in base[key]]
            assert out[key] == want if exact else np.allclose(out[key], want, rtol=1e-9, atol=0)
        b = base["breakdown"] * (1.0 if kind == "relative_magnitude" else c)
        assert out["breakdown"] == pytest.approx(b, rel=0 if exact else 1e-3)


def test_labelled_sensitivity_end_to_end() -> None:
    mpdta = load_table("mpdta")
    mp = {"adoption": "first_treat", "unit": "countyreal", "time": "year", "outcome": "lemp"}
    res = quintara.staggered(mpdta, method="sunab", **mp)
    frame = res.sensitivity(m=[0.5, 1.0, 2.0], e="average")
    assert list(frame.columns) == ["m", "lo", "hi", "method"]
    assert list(frame["method"]) == ["C-LF"] * 3
    direct = honest("relative_magnitude", [0.5, 1.0, 2.0], "average")
    assert np.allclose(frame["lo"], direct["lower"], rtol=0, atol=1e-12)
    assert np.allclose(frame["hi"], direct["upper"], rtol=0, atol=1e-12)
    assert frame.attrs["original"] == pytest.approx(ORIGINAL["average"], abs=1e-9)
    assert frame.attrs["breakdown"] == pytest.approx(direct["breakdown"], abs=1e-12)
    # e picks the post-period coefficient by event time.
    at2 = res.sensitivity(kind="smoothness", m=[0.0], e=2)
    one = quintara.honest_did_py(BETA, SIGMA, 3, kind="smoothness", m=[0.0],
                                 l_vec=[0.0, 0.0, 1.0, 0.0])
    assert at2["lo"][0] == pytest.approx(one["lower"][0], abs=1e-12)
    assert list(res.sensitivity(kind="smoothness")["m"])[0] == 0.0
    with pytest.raises(ValueError, match=r"post-period event times \[0, 1, 2, 3\]; got -2"):
        res.sensitivity(e=-2)
    with pytest.raises(ValueError, match="e must be an event time >= 0 or 'average'"):
        res.sensitivity(e="mean")
    twfe = quintara.staggered(mpdta, method="twfe", **mp)
    with pytest.raises(ValueError, match="covariance, which the twfe fit does not form"):
        twfe.sensitivity()


def test_anticipated_periods_are_post_periods_of_the_bounds() -> None:
    # Units react one period early; with anticipation=1 the reference is
    # e = -2, so e = -1 holds an effect, not a pre-trend, and the bounds run
    # from e = -2: pre-periods e <= -3, post-periods e >= -1.
    rng = np.random.default_rng(0)
    n, T = 300, 8
    g = rng.choice([-1, 4, 5], n)
    t = np.arange(T)
    y = rng.normal(size=(n, 1)) + 0.1 * t + rng.normal(size=(n, T)) * 0.5
    y += np.where((g[:, None] >= 0) & (t[None, :] >= g[:, None] - 1), 1.0, 0.0)
    df = pd.DataFrame({"u": np.repeat(np.arange(n), T), "t": np.tile(t, n), "y": y.ravel(),
                       "g": np.repeat(np.where(g < 0, 0, g), T)})
    fit = quintara.staggered(df, unit="u", time="t", outcome="y", adoption="g",
                             anticipation=1, base_period="universal")
    r = fit.raw
    times = np.asarray(r.event_time)
    cov = np.reshape(r.event_cov, (len(times), len(times)))
    order = np.r_[np.flatnonzero(times < -2), np.flatnonzero(times >= -1)]
    post = times[times >= -1]
    for kind, m, e, l_vec in [
        ("smoothness", [0.0], 0, (post == 0) * 1.0),
        ("relative_magnitude", [1.0], "average", (post >= 0) / np.sum(post >= 0)),
    ]:
        direct = quintara.honest_did_py(np.asarray(r.event_att)[order],
                                        cov[np.ix_(order, order)], int(np.sum(times < -2)),
                                        kind=kind, m=m, l_vec=list(l_vec))
        frame = fit.sensitivity(kind=kind, m=m, e=e)
        assert (frame["lo"][0], frame["hi"][0]) == pytest.approx(
            (direct["lower"][0], direct["upper"][0]), abs=1e-12)
    # The true effect is 1: read as a pre-trend, e = -1's jump moved the
    # interval to about [0.47, 0.76].
    assert fit.sensitivity(kind="smoothness", m=[0.0], e=0)["lo"][0] > 0.9


def test_smoothness_zero_is_the_least_variance_bias_free_interval() -> None:
    # At m = 0 the interval must be bias free: pre weights w with
    # -2 w1 - w2 + 1 = 0 (a linear trend through the pre-periods cancels),
    # the least-variance such (w, 1), and +- z its SD. Closed form by a
    # Lagrange multiplier.
    sigma = np.array([[2.0, 0.5, 0.3], [0.5, 1.5, 0.4], [0.3, 0.4, 1.0]]) * 1e-3
    beta = np.array([0.02, -0.01, 0.05])
    a = np.array([-2.0, -1.0])
    inv = np.linalg.inv(sigma[:2, :2])
    lam = (-1 + a @ inv @ sigma[:2, 2]) / (a @ inv @ a)
    v = np.r_[inv @ (lam * a - sigma[:2, 2]), 1.0]
    half = 1.959963984540054 * np.sqrt(v @ sigma @ v)
    out = quintara.honest_did_py(beta, sigma, 2, kind="smoothness", m=[0.0], breakdown=False)
    # The search over the variance used to stop short of its end: 2.5e-5 off.
    assert (out["lower"][0], out["upper"][0]) == pytest.approx(
        (v @ beta - half, v @ beta + half), abs=1e-8)


def test_a_linear_pre_trend_under_smoothness_zero_leaves_no_effect() -> None:
    # No effect and a linear differential trend, which smoothness m = 0
    # allows: the interval covers 0 when the pre-periods are measured against
    # one reference period; a varying base's period-to-period changes would
    # read the trend as an effect (about [0.175, 0.203] on this design).
    rng = np.random.default_rng(0)
    years, n = np.arange(2001, 2011), 1000
    g, level = rng.choice([0, 2006], n), rng.normal(size=n)
    i, t = np.repeat(np.arange(n), len(years)), np.tile(years, n)
    y = level[i] + 0.2 * (t - 2001) + np.where(g[i] > 0, 0.1 * (t - 2001), 0.0)
    d = pd.DataFrame({"id": i, "year": t, "y": y + rng.normal(0, 0.2, len(t)), "g": g[i]})
    cols = {"unit": "id", "time": "year", "outcome": "y", "adoption": "g"}
    fit = quintara.staggered(d, **cols, base_period="universal")
    [row] = fit.sensitivity(kind="smoothness", m=[0.0], e=0).itertuples()
    assert row.lo < 0 < row.hi
    with pytest.raises(ValueError, match=r"^sensitivity needs the pre-period effects against "
                                         r"one reference period; .* base_period='universal'$"):
        quintara.staggered(d, **cols).sensitivity()


BAD = [
    ({"sigma": SIGMA[:, :6]}, "sigma must be square; got 7x6"),
    ({"sigma": SIGMA[:6, :6]}, "sigma must be 7x7 to match betahat; got 6x6"),
    ({"sigma": SIGMA + np.triu(np.full((7, 7), 1e-6), 1)},
     r"sigma must be symmetric; sigma\[1, 0\]"),
    ({"sigma": np.where(np.eye(7) == 1, np.nan, SIGMA)}, "sigma must be finite"),
    ({"sigma": SIGMA * np.where(np.eye(7) == 1, 0.0, 1.0)}, "sigma must have a positive diagonal"),
    ({"betahat": [*BETA[:6], math.inf]}, "betahat must be finite"),
    # Not a covariance (an eigenvalue of -0.8): the tests' programs break.
    ({"sigma": np.kron(np.eye(7)[:1, :1], [[1, .9, .9], [.9, 1, -.9], [.9, -.9, 1]]),
      "betahat": BETA[:3], "n_pre": 1},
     r"^sigma must be positive semi-definite \(a covariance matrix\)$"),
    # Far beyond what the programs resolve (they overflowed into a crash).
    ({"betahat": [1e10 * math.sqrt(SIGMA[0, 0]), *BETA[1:]]},
     r"^betahat\[0\] is 10000000000.0 standard errors \(the root of sigma\[0, 0\]\) from 0; "
     r"the sensitivity analysis takes estimates within 100000000.0 of theirs$"),
    ({"m": [1e200], "kind": "relative_magnitude"},
     r"^m = 1e200 is no relative magnitude the analysis resolves \(at most 1000000000000.0\)$"),
    ({"n_pre": 0}, "n_pre must be >= 1; got 0"),
    ({"n_pre": 7}, r"n_pre must be < len\(betahat\) = 7"),
    ({"m": [0.5, -1.0]}, "m must be finite and >= 0; got -1"),
    ({"level": 1.0}, r"level must be in \(0, 1\); got 1"),
    ({"kind": "Smoothness"},
     r"unknown kind 'Smoothness' \(expected relative_magnitude/smoothness\)"),
    ({"l_vec": [1.0, 0.0]},
     r"l_vec must have 4 entries \(one per post-period coefficient\); got 2"),
    ({"l_vec": [0.0] * 4}, "l_vec must have a non-zero entry"),
    ({"grid_points": 1}, r"grid_points must be in \[2, 1000000\]; got 1"),
    ({"max_lp_solves": 50}, "needs more than max_lp_solves = 50 linear programs; use fewer"),
]


@pytest.mark.parametrize(("change", "message"), BAD)
def test_validation_names_the_argument(change: dict, message: str) -> None:
    args = {"betahat": BETA, "sigma": SIGMA, "n_pre": 3} | change
    with pytest.raises(ValueError, match=message):
        quintara.honest_did_py(**args)
