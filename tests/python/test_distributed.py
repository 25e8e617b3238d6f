"""quintara.distributed on a LocalCluster of two worker processes: the same
answers as the local calls, a worker killed mid-run, errors that name their
task."""

from __future__ import annotations

import os
import signal
import threading
import time

import numpy as np
import pytest

import quintara
from conftest import factor_panel
from quintara import distributed as qd
from test_geo_select import fields

dd = pytest.importorskip("dask.distributed")


@pytest.fixture(scope="module")
def client():  # type: ignore[no-untyped-def]
    # One compiled thread per worker process: the two processes share the CPUs.
    with dd.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                         dashboard_address=None, env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            dd.Client(cluster) as c:
        yield c


def stack(n_reps: int, seed: int = 0) -> np.ndarray:
    return np.stack([factor_panel(8, 16, seed=seed + r) for r in range(n_reps)])


def replication(r: int) -> np.ndarray:
    return factor_panel(8, 16, seed=r)


def test_no_client_says_how_to_start_one() -> None:
    with pytest.raises(RuntimeError, match=r"Client\(LocalCluster\(\)\)"):
        qd.fit_many(None, stack(2), [0], 10)


@pytest.mark.parametrize("method", ["sc", "fp", "asc", "rsc", "sdid"])
def test_fit_many_equals_the_local_call(client, method: str) -> None:  # type: ignore[no-untyped-def]
    y3 = stack(23)
    kw = {"method": method, "ridge": 0.1, "zeta_scale": 0.5, "max_weight": 0.9}
    local = quintara.fit_many(y3, [0, 1], 10, **kw)  # type: ignore[arg-type]
    # Uneven chunks, the default chunking, and replications built on the workers.
    for remote in (qd.fit_many(client, y3, [0, 1], 10, chunk_size=5, **kw),
                   qd.fit_many(None, y3, [0, 1], 10, **kw),
                   qd.fit_many(client, replication, [0, 1], 10, n_reps=23, chunk_size=7, **kw)):
        assert remote.tobytes() == local.tobytes()


def test_fit_many_errors_are_the_local_ones_or_name_the_chunk(client) -> None:  # type: ignore[no-untyped-def]
    y3 = stack(6)
    y3[4, 2, 3] = np.nan
    y3[5, 0, 0] = np.inf
    for bad in (y3, stack(2)[:0]):
        with pytest.raises(ValueError) as local:
            quintara.fit_many(bad, [0], 10)
        with pytest.raises(ValueError) as remote:
            qd.fit_many(client, bad, [0], 10, chunk_size=2)
        assert str(remote.value) == str(local.value)

    def broken(r: int) -> np.ndarray:
        return replication(r) if r != 9 else np.full((8, 16), np.nan)

    # The cell by its place in the whole stack: replication 9, not the chunk's 1.
    with pytest.raises(ValueError, match=r"^fit_many replications 8 to 11: panel stack contains "
                                         r"a non-finite value at \[9, 0, 0\]"):
        qd.fit_many(client, broken, [0], 10, n_reps=12, chunk_size=4)


def test_a_worker_killed_mid_run_changes_nothing(client) -> None:  # type: ignore[no-untyped-def]
    y3 = stack(40)
    local = quintara.fit_many(y3, [0], 10, method="sdid")
    pids = client.run(os.getpid)

    def slow(r: int) -> np.ndarray:
        time.sleep(0.05)
        return y3[r]

    def kill_a_busy_worker() -> None:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            busy = [w for w, tasks in client.processing().items() if tasks]
            if busy:
                time.sleep(0.2)  # well inside a chunk of ~0.5 s
                os.kill(pids[busy[0]], signal.SIGKILL)
                return
            time.sleep(0.02)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    remote = qd.fit_many(client, slow, [0], 10, n_reps=40, method="sdid", chunk_size=10)
    killer.join()
    assert remote.tobytes() == local.tobytes()
    assert set(client.run(os.getpid).values()) != set(pids.values())  # one was replaced
    client.wait_for_workers(2, timeout=60)


@pytest.mark.parametrize("kw", [
    {},
    {"include": [5, 2, 5]},
    {"exact_size": 3, "include": [1]},
    {"exact_size": 1},
])
def test_geo_select_equals_the_local_call(client, kw: dict) -> None:  # type: ignore[no-untyped-def]
    y = factor_panel(9, 20, seed=3)
    args = {"eligible": range(9), "max_treated": 3, "test_len": 3, "target_lift": 0.03,
            "method": "sc", "n_candidates": 14, "seed": 7, "lookback": 5, **kw}
    local = [fields(c) for c in quintara.geo_select(y, **args)]  # type: ignore[arg-type]
    assert len(local) >= 8
    for chunk_size in (None, 1, 4):
        remote = qd.geo_select(client, y, **args, chunk_size=chunk_size)  # type: ignore[arg-type]
        assert [fields(c) for c in remote] == local
    if not kw:  # a Panel is taken wherever its array is
        panel = quintara.Panel(y, np.arange(9), np.arange(20))
        remote = qd.geo_select(client, panel, **args)  # type: ignore[arg-type]
        assert [fields(c) for c in remote] == local


def test_map_designs_in_input_order_and_a_bad_design_named(client) -> None:  # type: ignore[no-untyped-def]
    y = factor_panel(8, 20)
    designs = [{"y": y, "treated": t} for t in ([0], [1, 2], [3], [4, 5, 6])]

    def diagnostics(d: dict) -> quintara.GeoDiagnostics:
        return quintara.geo_diagnostics(d["y"], d["treated"], 4)

    remote = qd.map_designs(client, diagnostics, designs)
    local = [diagnostics(d) for d in designs]
    assert [repr(r) for r in remote] == [repr(r) for r in local]
    assert [r.warnings for r in remote] == [r.warnings for r in local]

    designs[2] = {"y": y, "treated": [3, 99]}
    with pytest.raises(ValueError, match=(
            r"^design 2 of 4 \{'y': array\(shape=\(8, 20\), dtype=float64\), "
            r"'treated': \[3, 99\]\}: treated unit index 99 ")):
        qd.map_designs(client, diagnostics, designs, progress=False)
