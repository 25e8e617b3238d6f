"""quintara.distributed on a LocalCluster of two worker processes: the same
answers as the local calls, a worker killed mid-run, errors that name their
task."""

from __future__ import annotations

import collections
import json
import os
import signal
import threading
import time
from collections.abc import Callable
from typing import Any

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
    # The memory limit has a runaway worker restarted well before it starves
    # the machine.
    with dd.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                         dashboard_address=None, env={"RAYON_NUM_THREADS": "1"},
                         memory_limit="1GiB") as cluster, \
            dd.Client(cluster) as c:
        yield c


def stack(n_reps: int, seed: int = 0) -> np.ndarray:
    return np.stack([factor_panel(8, 16, seed=seed + r) for r in range(n_reps)])


def replication(r: int) -> np.ndarray:
    return factor_panel(8, 16, seed=r)


class Recording:
    """A client that records what is scattered and the arguments of each task."""

    def __init__(self, client: Any) -> None:
        self.client, self.scattered, self.submitted = client, [], []  # type: ignore[var-annotated]

    def scatter(self, data: Any, **kwargs: Any) -> Any:
        self.scattered.append(data)
        return self.client.scatter(data, **kwargs)

    def submit(self, func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        self.submitted.append(args)
        return self.client.submit(func, *args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.client, name)


def within(seconds: float, call: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """call(*args, **kwargs) on a daemon thread, its error raised here: a call
    that hangs fails the test after `seconds` instead of stalling the run."""
    out: dict[str, Any] = {}

    def run() -> None:
        try:
            out["result"] = call(*args, **kwargs)
        except BaseException as err:
            out["error"] = err

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    assert not thread.is_alive(), f"still running after {seconds} s"
    if "error" in out:
        raise out["error"]
    return out["result"]


def carries_data(value: Any) -> bool:
    """Whether an array or a panel is in `value`, at any depth of containers."""
    if isinstance(value, (np.ndarray, quintara.Panel)):
        return True
    if isinstance(value, dict):
        value = list(value.values())
    return isinstance(value, (list, tuple)) and any(carries_data(v) for v in value)


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
    {"alternative": "greater"},
    {"exclude": [8]},
    {"control_pool": [3, 4, 5, 6, 7, 8]},
    {"budget": 3.0, "spend": [1.0 + i % 3 for i in range(9)]},
    {"budget": 1.2, "cost_per_unit": 1.0},
    {"solver": "shared"},
    {"search": "sized"},
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


class CodeError(Exception):
    """An error whose constructor takes a code, not a message."""

    def __init__(self, code: int) -> None:
        self.code = code
        super().__init__(f"code {code}")


def missing_file(d: Any) -> None:
    raise FileNotFoundError(2, "No such file", "x.csv")


def bad_code(d: Any) -> None:
    raise CodeError(7)


def bad_bytes(d: Any) -> None:
    b"\xff".decode("utf-8")


def bad_json(r: int) -> np.ndarray:
    json.loads("{bad" if r == 3 else "{}")
    return replication(r)


def test_an_error_is_raised_as_it_is_with_a_note_naming_its_task(client) -> None:  # type: ignore[no-untyped-def]
    # Errors that are more than a message: rebuilt, they lost their attributes,
    # and one that could not be rebuilt was made its own cause, on which Dask
    # looped for ever.
    with pytest.raises(FileNotFoundError) as info:
        within(120, qd.map_designs, client, missing_file, [0], progress=False)
    assert (info.value.errno, info.value.filename) == (2, "x.csv")
    assert info.value.__notes__ == ["design 0 of 1 0"]
    with pytest.raises(CodeError) as info:
        within(120, qd.map_designs, client, bad_code, [0], progress=False)
    assert (info.value.code, str(info.value)) == (7, "code 7")
    with pytest.raises(UnicodeDecodeError) as info:
        within(120, qd.map_designs, client, bad_bytes, ["a"], progress=False)
    assert info.value.__notes__ == ["design 0 of 1 'a'"]
    assert info.value.__cause__ is not info.value
    with pytest.raises(json.JSONDecodeError) as info:
        within(120, qd.fit_many, client, bad_json, [0], 10, n_reps=6, chunk_size=2)
    assert info.value.__notes__ == ["fit_many replications 2 to 3"]
    assert info.value.__cause__ is not info.value


def erred(prefix: str, dask_scheduler: Any) -> bool:
    return any(key.startswith(prefix) and task.state == "erred"
               for key, task in dask_scheduler.tasks.items())


def fails_after_a_later_design(i: int) -> int:
    if i == 5:
        raise ValueError("a later design")
    if i == 1:
        # Fails only once design 5 has failed, so that design 5's error
        # reaches the client first.
        run = dd.get_worker().get_current_task().rsplit("-", 1)[0]
        scheduler = dd.get_client()
        for _ in range(6000):
            if scheduler.run_on_scheduler(erred, run):
                break
            time.sleep(0.01)
        raise KeyError("design 1")
    return i


def test_the_first_failing_design_in_input_order_is_raised(client) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(KeyError) as info:
        within(120, qd.map_designs, client, fails_after_a_later_design, range(8), progress=False)
    assert info.value.__notes__ == ["design 1 of 8 1"]


Design = collections.namedtuple("Design", "y treated")


def kind(d: Any) -> tuple:
    items = d.values() if isinstance(d, dict) else d
    return (type(d).__name__, [type(v).__name__ for v in items],
            d["missing"] if isinstance(d, collections.defaultdict) else None)


def test_a_design_keeps_its_type(client) -> None:  # type: ignore[no-untyped-def]
    y = factor_panel(4, 6)
    designs = [Design(y, [0]), collections.OrderedDict(y=y), collections.defaultdict(list, y=y),
               collections.Counter(a=1), [y, [y, 1]], (y,), {"ys": (y, y)}]
    assert qd.map_designs(client, kind, designs, progress=False) == [kind(d) for d in designs]


def test_panels_and_nested_arrays_are_sent_once_not_with_every_task(client) -> None:  # type: ignore[no-untyped-def]
    y = factor_panel(8, 20, seed=1)
    panel = quintara.Panel(y, [f"u{i}" for i in range(8)], range(20))
    head = y[:4]
    designs = [{"panel": panel, "treated": [f"u{i}"], "ys": [y, head]} for i in range(4)]

    def fit(d: dict) -> dict:
        result = quintara.synth(d["panel"], treated=d["treated"], start=14, method="sc",
                                progress=False).to_dict()
        return {**result, "sums": [float(v.sum()) for v in d["ys"]]}

    recording = Recording(client)
    remote = qd.map_designs(recording, fit, designs, progress=False)
    assert remote == [fit(d) for d in designs]
    assert len(recording.scattered) == 3  # the panel, y and head, once each
    assert not any(carries_data(args) for args in recording.submitted)


def test_shared_arrays_arrive_read_only(client) -> None:  # type: ignore[no-untyped-def]
    # A worker's copy serves all its tasks: a write would reach the next ones.
    y = np.zeros((2, 3))

    def write(d: dict) -> None:
        d["y"][0, 0] = 1.0

    with pytest.raises(ValueError, match="read-only"):
        qd.map_designs(client, write, [{"y": y}], progress=False)
    assert y.flags.writeable


def test_a_replication_function_is_checked_here_and_every_shape_too(client) -> None:  # type: ignore[no-untyped-def]
    recording = Recording(client)
    with pytest.raises(ValueError) as local:
        quintara.fit_many(stack(2), [0], 10, method="bogus")
    with pytest.raises(ValueError) as remote:
        qd.fit_many(recording, replication, [0], 10, method="bogus", n_reps=6)
    assert str(remote.value) == str(local.value)
    assert recording.submitted == []

    def growing(r: int) -> np.ndarray:
        return factor_panel(8 if r < 4 else 9, 16, seed=r)

    with pytest.raises(ValueError, match=r"^fit_many replications 3 to 5: y3\(4\) has shape "
                                         r"\(9, 16\); replication 0 has shape \(8, 16\)$"):
        qd.fit_many(client, growing, [0], 10, n_reps=6, chunk_size=3)


def test_chunk_size_and_n_reps_are_checked_first(client) -> None:  # type: ignore[no-untyped-def]
    y3, y = stack(3), factor_panel(9, 20, seed=3)
    for bad, error in ((2.5, TypeError), ("3", TypeError), (True, TypeError), (0, ValueError)):
        recording = Recording(client)
        message = rf"^chunk_size must be (a whole number )?>= 1; got {bad!r}$"
        with pytest.raises(error, match=message):
            qd.fit_many(recording, y3, [0], 10, chunk_size=bad)
        with pytest.raises(error, match=message):
            qd.geo_select(recording, y, range(9), 2, 3, 0.03, chunk_size=bad)
        with pytest.raises(error, match=message.replace("chunk_size", "n_reps")):
            qd.fit_many(recording, replication, [0], 10, n_reps=bad)
        assert recording.scattered == recording.submitted == []
    # Any stack the compiled call refuses gets its message.
    with pytest.raises(TypeError) as local:
        quintara.fit_many(y3.astype(object), [0], 10)
    with pytest.raises(TypeError) as remote:
        qd.fit_many(client, y3.astype(object), [0], 10)
    assert str(remote.value) == str(local.value)


def test_geo_select_refuses_the_sequential_swap_search(client) -> None:  # type: ignore[no-untyped-def]
    recording = Recording(client)
    with pytest.raises(ValueError, match=r"^swaps must be 0 on a cluster \(got 2\)"):
        qd.geo_select(recording, factor_panel(9, 20), range(9), 2, 3, 0.03, swaps=2)
    assert recording.scattered == recording.submitted == []


def test_a_cluster_without_workers_is_refused_unless_it_adapts() -> None:
    # A free port: the module's cluster holds the dashboard's default one.
    with dd.LocalCluster(n_workers=0, threads_per_worker=1, processes=False,
                         dashboard_address=":0") as cluster, dd.Client(cluster) as c:
        for call, args, kwargs in ((qd.map_designs, (abs, [1]), {"progress": False}),
                                   (qd.fit_many, (stack(2), [0], 10), {"chunk_size": 1}),
                                   (qd.geo_select, (factor_panel(9, 20), range(9), 2, 3, 0.03),
                                    {"method": "sc", "n_candidates": 4})):
            with pytest.raises(RuntimeError, match=r"^the client has no workers; "):
                within(60, call, c, *args, **kwargs)
        cluster.adapt(minimum=0, maximum=1)
        assert within(120, qd.map_designs, c, abs, [-1, 2], progress=False) == [1, 2]
