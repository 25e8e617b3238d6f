"""Result objects cross process boundaries: pickle, deepcopy, a worker process."""

from __future__ import annotations

import copy
import inspect
import math
import multiprocessing
import pickle
import struct
from concurrent.futures import ProcessPoolExecutor

import pytest

import quintara
from conftest import factor_panel, staggered
from quintara import _quintara


def attributes(obj: object) -> dict[str, object]:
    names = [k for k, v in vars(type(obj)).items() if inspect.isgetsetdescriptor(v)]
    return {n: getattr(obj, n) for n in names}


def assert_same(a: object, b: object) -> None:
    """Equal attribute for attribute, floats bit for bit (NaN and -0.0 too)."""
    if isinstance(a, float):
        assert isinstance(b, float) and struct.pack("<d", a) == struct.pack("<d", b)
    elif isinstance(a, list):
        assert isinstance(b, list) and len(a) == len(b)
        for x, z in zip(a, b, strict=True):
            assert_same(x, z)
    elif isinstance(a, (int, str, type(None))):
        assert type(a) is type(b) and a == b
    else:
        assert type(a) is type(b) and a is not b
        ta, tb = attributes(a), attributes(b)
        assert list(ta) == list(tb)
        for name in ta:
            assert_same(ta[name], tb[name])


def one_of_each() -> list[object]:
    y = factor_panel(10, 24)
    cohorts = [4, 4, 8, 8, 12, -1, -1, 16, -1, 4]
    ys = staggered(cohorts, 20)
    lifts = [0.0, 0.05]
    # A CPASCResult from a state holding NaN and -0.0, which must survive bit for bit.
    cpasc = _quintara._reconstruct(  # type: ignore[attr-defined]
        "CPASCResult", (0.5, 0.04, [0, 2], [0.4, 0.6], [1e-3, 2e-3], [0.5, 0.5],
                        [0.1, -0.0, math.nan], [0.2, 0.1, 0.0], 2))
    bacon = quintara.bacon_decompose_py(ys, cohorts)
    cells = quintara.geo_select_cells(y, [0, 1, 2, 3], [1, 1], [0.05, 0.1], 3, method="sc",
                                      n_candidates=3, cell_budgets=[math.nan, 1e9],
                                      spend=[1.0] * 10)
    return [
        cells, cells.designs[0],                            # nested designs, cells, costs
        quintara.fit_sc(y, [0, 1], 16),                     # inference absent
        quintara.fit_sc(y, [0], 16, placebo=True),          # inference present
        quintara.fit_twfe_py(ys, cohorts),
        quintara.fit_callaway_py(ys, cohorts, bands=True, n_reps=49),
        bacon, bacon.components[0],                         # nested components
        quintara.geo_power(y, [0], 3, lifts, method="sc"),
        quintara.geo_power_ensemble(y, [0], 3, lifts),
        quintara.geo_diagnostics(y, [0, 1], 3),
        *quintara.geo_select(y, [0, 1, 2], 2, 3, 0.05, method="sc", n_candidates=4)[:2],
        quintara.geo_analyze(y, [0, 1], 21, method="sc", spend=10.0),
        cpasc,
    ]


def test_every_class_round_trips_through_pickle_and_deepcopy() -> None:
    objects = one_of_each()
    assert {type(o).__name__ for o in objects} == {
        n for n in _quintara.__all__ if isinstance(getattr(_quintara, n), type)}
    for obj in objects:
        for protocol in (2, pickle.HIGHEST_PROTOCOL):
            assert_same(obj, pickle.loads(pickle.dumps(obj, protocol)))
        assert_same(obj, copy.deepcopy(obj))
        assert repr(copy.copy(obj)) == repr(obj)
    # The reconstructor is private (construction stays refused: test_module).
    assert "_reconstruct" not in _quintara.__all__ and not hasattr(quintara, "_reconstruct")


@pytest.mark.parametrize("name, state", [
    ("Nope", ()),                                   # unknown class
    ("GeoDiagnostics", (0.1, 0.2)),                 # wrong length
    ("BaconResult", (1.0, 0.0, [("k", 1, None, 1.0)])),  # nested state too short
    ("MarketCandidate", ([0], 1, None, 0.0, 0.0, 0.0, 0.0, 0.0)),  # int for a float
])
def test_a_malformed_state_is_a_type_error(name: str, state: tuple) -> None:
    with pytest.raises(TypeError, match="^_reconstruct: "):
        _quintara._reconstruct(name, state)  # type: ignore[attr-defined]


def test_results_come_back_from_a_worker_process() -> None:
    y = factor_panel(8, 20)
    # spawn: a forked child would inherit the thread pool without its threads.
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        remote = pool.submit(quintara.fit_sc, y, [0], 14, placebo=True).result()
    assert_same(quintara.fit_sc(y, [0], 14, placebo=True), remote)
