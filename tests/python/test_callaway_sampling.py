"""fit_callaway_py with sampling weights and clusters: peer values on the
county minimum-wage panel, an independent NumPy computation of the clustered
standard errors, and what either argument must leave unchanged."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import pytest

import quintara
from conftest import staggered
from quintara.datasets import load_mpdta

D = load_mpdta()
COUNTY = np.array(D.counties)
WEIGHTS = 0.5 + (COUNTY % 13) / 6.0  # a unit weight from the county code, ratios up to 5
STATES = COUNTY // 1000  # the FIPS state of each county: 29 clusters
COHORTS = np.array(D.cohorts)


class Ref(NamedTuple):
    simple: tuple[float, float]  # overall ATT of the post-period cells, SE
    event: list[float]  # event times -4, -3, -2, 0, 1, 2, 3 (the base -1 is no estimate)
    event_se: list[float]
    group: list[float]  # cohorts 2004, 2006, 2007
    group_se: list[float]
    group_overall: tuple[float, float]
    cells: list[float] | None = None  # ATT(g, t), g then t ascending, base cells omitted
    cells_se: list[float] | None = None


def assert_matches(r: quintara.DiDResult, ref: Ref, tol: float = 1e-10) -> None:
    def near(v: object) -> object:
        return pytest.approx(v, abs=tol, rel=0)

    assert (r.att, r.se) == near(ref.simple)
    assert r.event_time == [-4, -3, -2, 0, 1, 2, 3] and r.group_cohort == [1, 3, 4]
    assert (r.event_att, r.event_se) == (near(ref.event), near(ref.event_se))
    assert (r.group_att, r.group_se) == (near(ref.group), near(ref.group_se))
    assert (r.overall_group_att, r.overall_group_se) == near(ref.group_overall)


def cells_by_cohort(y: np.ndarray, **kw: object) -> tuple[list[float], list[float]]:
    """ATT(g, t) and SEs against never-treated units: a fit on one cohort and
    the never-treated units has exactly that cohort's cells as its event study
    (nothing in a cell depends on the other units)."""
    att: list[float] = []
    se: list[float] = []
    for g in sorted(set(COHORTS[COHORTS >= 0])):
        keep = (COHORTS == g) | (COHORTS < 0)
        sub = {k: v[keep] if isinstance(v, np.ndarray) else v for k, v in kw.items()}
        r = quintara.fit_callaway_py(y[keep], COHORTS[keep].tolist(), **sub)
        att += r.event_att
        se += r.event_se
    return att, se


# csdid 0.4.3 (a port of R did), on the long mpdta table with the column
# w = 0.5 + (countyreal % 13) / 6:
#   a = ATTgt(yname="lemp", tname="year", idname="countyreal", gname="first_treat",
#             data=mpdta, control_group=[CONTROL], weights_name="w"[, xformla="lemp~lpop"])
#   a.fit(est_method="reg", base_period="universal", bstrap=False)
#   a.aggte(typec=TYPE, bstrap=False) for TYPE in "simple", "dynamic", "group"
# CONTROL "nevertreated" or "notyettreated"; printed with %.13g. moderndid 0.2.0
# (att_gt(..., weightsname="w", est_method="reg", base_period="universal"))
# gives the same ATT(g, t), SEs and cohort effects, but its aggregates across
# cohorts use unweighted cohort shares (its result carries no unit weights).
WEIGHTED = {
    ("never", False): Ref(
        simple=(-0.03516800019541, 0.01175585631293),
        event=[-0.00358315152878, 0.02593444302501, 0.0250724220981, -0.01557176225223,
               -0.04922203126488, -0.1299470238287, -0.09300040399493],
        event_se=[0.0230006545722, 0.01722070694328, 0.0136876674099, 0.01065437583783,
                  0.01893308017806, 0.03634094095923, 0.03911583509267],
        group=[-0.07492975687352, -0.0232764168331, -0.01973213373592],
        group_se=[0.02685298507153, 0.01801730672108, 0.0146656977298],
        group_overall=(-0.02597762216872, 0.01151523410682),
        cells=[-0.01196920461488, -0.0648023950555, -0.1299470238287, -0.09300040399493,
               0.005037046478191, 0.005254501857366, -0.004333678679549, -0.04221915498664,
               -0.00358315152878, 0.03269642331899, 0.0314851054118, -0.01973213373592],
        cells_se=[0.02462606979988, 0.03252156929611, 0.03634094095923, 0.03911583509267,
                  0.0350681704198, 0.02206136662361, 0.01910016484376, 0.02364940816207,
                  0.0230006545722, 0.01942038186008, 0.01735589322346, 0.0146656977298],
    ),
    ("never", True): Ref(
        simple=(-0.03637205687934, 0.01090765326318),
        event=[-0.000454649047159, 0.0270718264678, 0.02170841234961, -0.01685666249426,
               -0.04931595697213, -0.1314246587928, -0.09669432280464],
        event_se=[0.02310112684084, 0.01719441646914, 0.01394757245763, 0.01001091559453,
                  0.01821385803725, 0.03547687533875, 0.03822338731197],
        group=[-0.07805086207084, -0.01736694165735, -0.02442453049162],
        group_se=[0.02529090962715, 0.01866306275905, 0.01378090179032],
        group_overall=(-0.02817918581394, 0.01049029814594),
        cells=[-0.01512931666898, -0.06895515001696, -0.1314246587928, -0.09669432280464,
               0.02069814777469, 0.008998012193916, 0.005754883166535, -0.04048876648124,
               -0.000454649047159, 0.02913422163872, 0.02582124406953, -0.02442453049162],
        cells_se=[0.02359872402076, 0.03031103451306, 0.03547687533875, 0.03822338731197,
                  0.03316163200493, 0.02038729651681, 0.0206235668427, 0.02277975359491,
                  0.02310112684084, 0.01954895390392, 0.01753604837362, 0.01378090179032],
    ),
    ("notyet", True): Ref(
        simple=(-0.03616732481293, 0.01083688197317),
        event=[-0.000454649047159, 0.02864610317194, 0.02161040045257, -0.01602251064336,
               -0.05093499386141, -0.1314913218274, -0.09669432280464],
        event_se=[0.02310112684084, 0.01686754461084, 0.01405130112202, 0.01006060749424,
                  0.01836676740214, 0.03463786867309, 0.03822338731197],
        group=[-0.08108274779444, -0.01393634218775, -0.02442453049162],
        group_se=[0.0248164248427, 0.01766821146779, 0.01378090179032],
        group_overall=(-0.02772369857711, 0.0105344580799),
    ),
}

# csdid 0.4.3 as for WEIGHTED with xformla="lemp~lpop" and clustervar="state"
# (state = countyreal // 1000): with bstrap=False its SEs are sqrt(sum_c S_c^2)/n,
# S_c the cluster's sum of the influence function; the estimates are WEIGHTED's.
CLUSTERED_SE = {
    "never": Ref(
        simple=(-0.03637205687934, 0.015594737203),
        event=WEIGHTED["never", True].event,
        event_se=[0.0414349210991, 0.02827151112983, 0.02197972596889, 0.009790742932958,
                  0.02334934952535, 0.02310949927699, 0.02077764786923],
        group=WEIGHTED["never", True].group,
        group_se=[0.01660576371633, 0.02684086068197, 0.01288539697844],
        group_overall=(-0.02817918581394, 0.01147102094525),
    ),
    "notyet": Ref(
        simple=(-0.03616732481293, 0.01546057551075),
        event=WEIGHTED["notyet", True].event,
        event_se=[0.0414349210991, 0.02713784172974, 0.02167971543938, 0.009164535534573,
                  0.02255797873497, 0.0186407904902, 0.02077764786923],
        group=WEIGHTED["notyet", True].group,
        group_se=[0.01350332278993, 0.02591850233061, 0.01288539697844],
        group_overall=(-0.02772369857711, 0.01110147849154),
    ),
}


@pytest.mark.parametrize("control, with_x", list(WEIGHTED))
def test_weighted_fits_match_the_peer(control: str, with_x: bool) -> None:
    ref = WEIGHTED[control, with_x]
    x = D.lpop if with_x else None
    r = quintara.fit_callaway_py(D.y, D.cohorts, control=control, covariates=x, weights=WEIGHTS)
    assert_matches(r, ref)
    assert r.n_clusters is None
    if ref.cells is not None:
        att, se = cells_by_cohort(D.y, covariates=x, weights=WEIGHTS)
        assert (att, se) == (pytest.approx(ref.cells, abs=1e-10, rel=0),
                             pytest.approx(ref.cells_se, abs=1e-10, rel=0))


@pytest.mark.parametrize("control", list(CLUSTERED_SE))
def test_clustered_fits_match_the_peer(control: str) -> None:
    r = quintara.fit_callaway_py(D.y, D.cohorts, control=control, covariates=D.lpop,
                                 weights=WEIGHTS, clusters=STATES)
    assert_matches(r, CLUSTERED_SE[control])
    assert r.n_clusters == 29


def numpy_never_treated(w: np.ndarray, clusters: np.ndarray) -> dict[str, object]:
    """The unadjusted never-treated estimator written out in NumPy: weighted
    differences of mean changes per cell with their influence functions,
    cohort-share averages with the term for estimating the shares, and SEs
    sqrt(sum_c (sum_{i in c} psi_i)^2) / n."""
    y, n = D.y, len(w)
    w = w / w.mean()
    never = COHORTS < 0
    codes = np.unique(clusters, return_inverse=True)[1]
    cells = []  # (cohort, event time, att, psi)
    for g in sorted(set(COHORTS[COHORTS >= 0])):
        treated = COHORTS == g
        for t in range(y.shape[1]):
            if t == g - 1:
                continue
            dy = y[:, t] - y[:, g - 1]
            psi, means = np.zeros(n), []
            for units, sign in ((treated, 1.0), (never, -1.0)):
                m = np.sum(w[units] * dy[units]) / np.sum(w[units])
                psi[units] = sign * w[units] * (dy[units] - m) / (np.sum(w[units]) / n)
                means.append(m)
            cells.append((g, t - g, means[0] - means[1], psi))

    def agg(items: list) -> tuple[float, np.ndarray, float]:
        pg = np.array([np.sum(w[COHORTS == g]) / n for g, *_ in items])
        att = np.array([a for _, _, a, _ in items])
        s = pg.sum()
        ind = np.stack([w * (COHORTS == g) for g, *_ in items], axis=1) - pg
        wif = ind / s - np.outer(ind.sum(axis=1), pg / s**2)
        inf = np.stack([p for *_, p in items], axis=1) @ (pg / s) + wif @ att
        return float(pg @ att / s), inf, float(np.sqrt(np.sum(np.bincount(codes, inf) ** 2)) / n)

    post = [c for c in cells if c[1] >= 0]
    groups = [agg([c for c in post if c[0] == g]) for g in (1, 3, 4)]
    return {
        "simple": agg(post)[::2],
        "event": [agg([c for c in cells if c[1] == e])[::2] for e in (-4, -3, -2, 0, 1, 2, 3)],
        "group": [(a, s) for a, _, s in groups],
        "group_overall": agg([(g, 0, a, inf) for g, (a, inf, _) in zip((1, 3, 4), groups,
                                                                       strict=True)])[::2],
    }


@pytest.mark.parametrize("weights", [None, WEIGHTS])
@pytest.mark.parametrize("clusters", [None, STATES, COUNTY % 7])
def test_standard_errors_match_numpy(weights: np.ndarray | None,
                                     clusters: np.ndarray | None) -> None:
    r = quintara.fit_callaway_py(D.y, D.cohorts, weights=weights, clusters=clusters)
    ref = numpy_never_treated(np.ones(500) if weights is None else weights,
                              np.arange(500) if clusters is None else clusters)

    def near(v: object) -> object:
        return pytest.approx(v, rel=1e-10, abs=1e-14)

    assert (r.att, r.se) == near(ref["simple"])
    assert np.c_[r.event_att, r.event_se] == near(np.array(ref["event"]))
    assert np.c_[r.group_att, r.group_se] == near(np.array(ref["group"]))
    assert (r.overall_group_att, r.overall_group_se) == near(ref["group_overall"])


FIELDS = ("att", "se", "event_time", "event_att", "event_se", "event_lo", "event_hi",
          "band_crit", "group_att", "group_se", "overall_group_att", "overall_group_se",
          "ci_lower", "event_ci_upper", "p_value")


def outputs(r: quintara.DiDResult) -> list[object]:
    return [getattr(r, f) for f in FIELDS]


@pytest.mark.parametrize("kw", [{}, {"weights": WEIGHTS, "control": "notyet"},
                                {"covariates": D.lpop, "anticipation": 1,
                                 "base_period": "varying"}])
def test_clusters_of_one_unit_and_rescaled_weights_change_no_bit(kw: dict) -> None:
    kw = dict(kw)
    base = quintara.fit_callaway_py(D.y, D.cohorts, bands=True, n_reps=200, seed=3, **kw)
    # Any codes, as long as each unit has its own: the same draws and sums.
    own = quintara.fit_callaway_py(D.y, D.cohorts, bands=True, n_reps=200, seed=3,
                                   clusters=COUNTY * 3 - 7, **kw)
    assert outputs(own) == outputs(base) and (own.n_clusters, base.n_clusters) == (500, None)
    # Only the weights' ratios matter, exactly so for a power-of-two factor.
    w = kw.pop("weights", np.ones(500))
    doubled = quintara.fit_callaway_py(D.y, D.cohorts, bands=True, n_reps=200, seed=3,
                                       weights=w * 8.0, **kw)
    once = quintara.fit_callaway_py(D.y, D.cohorts, bands=True, n_reps=200, seed=3, weights=w,
                                    **kw)
    assert outputs(doubled) == outputs(once)


@pytest.mark.parametrize("covariates", [None, D.lpop])
def test_equal_weights_are_the_unweighted_fit(covariates: np.ndarray | None) -> None:
    plain = quintara.fit_callaway_py(D.y, D.cohorts, covariates=covariates, control="notyet")
    equal = quintara.fit_callaway_py(D.y, D.cohorts, covariates=covariates, control="notyet",
                                     weights=np.full(500, 2.5))
    for a, b in zip(outputs(equal), outputs(plain), strict=True):
        assert a == (b if b is None else pytest.approx(b, rel=1e-12, abs=1e-15))


def test_clustered_bands_use_the_clustered_errors() -> None:
    r = quintara.fit_callaway_py(D.y, D.cohorts, clusters=STATES, bands=True, n_reps=400, seed=5)
    unclustered = quintara.fit_callaway_py(D.y, D.cohorts, bands=True, n_reps=400, seed=5)
    assert r.band_crit is not None and r.band_crit != unclustered.band_crit
    assert r.event_lo == [a - r.band_crit * s for a, s in zip(r.event_att, r.event_se,
                                                               strict=True)]


@pytest.mark.parametrize("kwargs", [
    {"weights": np.ones(499)}, {"weights": np.r_[np.ones(499), -1.0]},
    {"clusters": np.zeros(500, dtype=np.int64)}, {"clusters": [1, 2]}, {"missing": "drop"},
])
def test_invalid_sampling_arguments_are_refused(kwargs: dict) -> None:
    # The messages are pinned with the validators themselves.
    with pytest.raises(ValueError):
        quintara.fit_callaway_py(D.y, D.cohorts, **kwargs)


# mpdta with 178 of its 2500 (county, year) rows removed: those where
# np.random.default_rng(20240).random((500, 5)) < 0.07, counties and years
# ascending.
GAPS = np.random.default_rng(20240).random(D.y.shape) < 0.07
Y_GAPS = np.where(GAPS, np.nan, D.y)

# csdid 0.4.3 on that table, as for WEIGHTED but without weights and with
# allow_unbalanced_panel=True: each cell from the observations of its two
# periods (R did's reg estimator for repeated cross-sections), the influence
# functions summed by county. moderndid 0.2.0 (att_gt(..., est_method="reg",
# panel=False, allow_unbalanced_panel=True, base_period="universal"); with
# panel=True it fails on this table) gives the same ATT(g, t), SEs, estimates
# and cohort SEs, but other SEs for the aggregates across cohorts: it pairs
# the units' influence functions with the cohorts of the units in another
# order.
UNBALANCED = {
    ("never", False): Ref(
        simple=(0.04632218083577, 0.05117301711023),
        event=[0.006385965279544, 0.03741613533833, 0.03747185927019, -0.009854995386719,
               0.09651437885735, 0.3274448225951, 0.1511149779365],
        event_se=[0.0712189909067, 0.06108006724562, 0.06042525071236, 0.05267958393931,
                  0.07025207499616, 0.2061966590504, 0.1391517008242],
        group=[0.2415110585363, -0.03521023802808, -0.02308634364464],
        group_se=[0.1233976711287, 0.05147714011461, 0.0756608785702],
        group_overall=(0.002081155142175, 0.05448823512921),
        cells=[0.1474111633047, 0.3400732703089, 0.3274448225951, 0.1511149779365,
               -0.1199171848263, -0.1275783318144, -0.04515540918774, -0.02526506686842,
               0.006385965279544, 0.08545684378556, 0.08786886418152, -0.02308634364464],
        cells_se=[0.1167559472679, 0.1650808974456, 0.2061966590504, 0.1391517008242,
                  0.09321720013005, 0.1099641477219, 0.05260187920814, 0.06276354482469,
                  0.0712189909067, 0.07408876827448, 0.07240160038211, 0.0756608785702],
    ),
    ("never", True): Ref(
        simple=(0.05119131396562, 0.04809611507043),
        event=[0.03385820637118, 0.05180455152493, -0.001563628689403, -0.0002816228298621,
               0.1085919474599, 0.3000252854038, 0.1217219884413],
        event_se=[0.06553347692797, 0.05337199025905, 0.0549897117788, 0.04891258782241,
                  0.06604014518914, 0.2043242741934, 0.1372053430358],
        group=[0.192906513148, 0.03534691543876, -0.02567635055684],
        group_se=[0.1222322860612, 0.04394416287449, 0.06841108114922],
        group_overall=(0.009991648992482, 0.0496654247616),
        cells=[0.107303387462, 0.242575391285, 0.3000252854038, 0.1217219884413,
               -0.01995579752829, -0.06505607779819, 0.0290936053301, 0.04160022554743,
               0.03385820637118, 0.07371610848774, 0.01782337867206, -0.02567635055684],
        cells_se=[0.1137974187492, 0.1621832697331, 0.2043242741934, 0.1372053430358,
                  0.08878955787536, 0.1051305785716, 0.04195386185723, 0.05438568133589,
                  0.06553347692797, 0.06398115995818, 0.06435197595262, 0.06841108114922],
    ),
    ("notyet", True): Ref(
        simple=(0.05098990543642, 0.04839018650882),
        event=[0.03385820637118, 0.05290169899093, -0.001633070311043, 0.0002867827737769,
               0.1063626539793, 0.298354398231, 0.1217219884413],
        event_se=[0.06553347692797, 0.05326122981895, 0.05508547239602, 0.04948498905318,
                  0.0660460356009, 0.2040154700774, 0.1372053430358],
        group=[0.1892976481517, 0.03822315691014, -0.02567635055684],
        group_se=[0.1220398654772, 0.0432857175748, 0.06841108114922],
        group_overall=(0.01021611160467, 0.05003845818113),
    ),
}

# csdid 0.4.3 as for UNBALANCED, never-treated, with xformla="lemp~lpop",
# weights_name="w" and clustervar="state".
UNBALANCED_WEIGHTED_CLUSTERED = Ref(
    simple=(0.07254460574503, 0.04535419367372),
    event=[0.06657272137163, 0.07263557257596, 0.01453430450157, 0.04738517114479,
           0.076880287707, 0.2982388893137, 0.08699356592391],
    event_se=[0.07257501741923, 0.06097193129767, 0.05666498376216, 0.04634005729438,
              0.06296834362958, 0.02815864898501, 0.0320368392673],
    group=[0.1824777509679, 0.0235637778052, 0.04028881954893],
    group_se=[0.0250275044865, 0.05266546334362, 0.06505570423169],
    group_overall=(0.05068209061756, 0.04773324453065),
)

# csdid 0.4.3 on the complete table with allow_unbalanced_panel=True,
# never-treated, xformla="lemp~lpop", no weights: the panel estimator's
# numbers (as moderndid 0.2.0 with panel=True gives them too).
BALANCED_KEPT = Ref(
    simple=(-0.04196861242154, 0.01144482976822),
    event=[0.006896110005549, 0.02759466676614, 0.02346495475384, -0.02114673669185,
           -0.05335586534157, -0.1410801046286, -0.107544274673],
    event_se=[0.02448882563223, 0.01802572407394, 0.01444164995645, 0.01148104439291,
              0.01629307382534, 0.03483628695362, 0.03273769264341],
    group=[-0.08513298501451, -0.02038505575147, -0.02878948819382],
    group_se=[0.02425121639711, 0.01740250325382, 0.01616786725369],
    group_overall=(-0.032929240229, 0.01186030876626),
)


@pytest.mark.parametrize("control, with_x", list(UNBALANCED))
def test_panels_with_missing_cells_match_the_peer(control: str, with_x: bool) -> None:
    ref = UNBALANCED[control, with_x]
    x = D.lpop if with_x else None
    r = quintara.fit_callaway_py(Y_GAPS, D.cohorts, control=control, covariates=x,
                                 missing="keep")
    assert_matches(r, ref)
    if ref.cells is not None:
        att, se = cells_by_cohort(Y_GAPS, covariates=x, missing="keep")
        assert (att, se) == (pytest.approx(ref.cells, abs=1e-10, rel=0),
                             pytest.approx(ref.cells_se, abs=1e-10, rel=0))
    r = quintara.fit_callaway_py(Y_GAPS, D.cohorts, covariates=D.lpop, missing="keep",
                                 weights=WEIGHTS, clusters=STATES)
    assert_matches(r, UNBALANCED_WEIGHTED_CLUSTERED)


@pytest.mark.parametrize("kw", [{}, {"covariates": D.lpop, "weights": WEIGHTS},
                                {"control": "notyet", "clusters": STATES, "anticipation": 1,
                                 "base_period": "varying"}])
def test_keeping_missing_cells_of_a_complete_panel_is_the_default_fit(kw: dict) -> None:
    kept = quintara.fit_callaway_py(D.y, D.cohorts, missing="keep", bands=True, n_reps=200, **kw)
    refused = quintara.fit_callaway_py(D.y, D.cohorts, bands=True, n_reps=200, **kw)
    assert outputs(kept) == outputs(refused)
    assert_matches(quintara.fit_callaway_py(D.y, D.cohorts, covariates=D.lpop, missing="keep"),
                   BALANCED_KEPT)


def test_cells_without_observations_in_either_period_are_skipped() -> None:
    cohorts = [2, 2, 3, 3, -1, -1, -1, -1]
    y = staggered(cohorts, 5, seed=4)
    y[0:2, 1] = np.nan  # cohort 2 unseen in its base period
    y[4, 3] = np.nan
    r = quintara.fit_callaway_py(y, cohorts, missing="keep")
    assert r.group_cohort == [3] and r.event_time == [-3, -2, 0, 1]
    # Cohort 3's cell (3, 3) against base 2: the difference of the four means.
    c = slice(4, 8)
    att = (y[2:4, 3].mean() - y[2:4, 2].mean()) - (np.nanmean(y[c, 3]) - y[c, 2].mean())
    assert r.event_att[2] == pytest.approx(att, rel=1e-12)


@pytest.mark.parametrize("cell, missing", [(np.nan, "refuse"), (np.inf, "keep")])
def test_missing_cells_need_keep_and_nan(cell: float, missing: str) -> None:
    y = D.y.copy()
    y[7, 2] = cell
    with pytest.raises(ValueError):
        quintara.fit_callaway_py(y, D.cohorts, missing=missing)
    y[7, :] = np.nan  # a county never observed
    with pytest.raises(ValueError):
        quintara.fit_callaway_py(y, D.cohorts, missing="keep")
