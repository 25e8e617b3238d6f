"""Batch work on a Dask cluster, with the answers of the single-machine calls.

Monte-Carlo stacks (`fit_many`), market selection (`geo_select`) and many
independent designs (`map_designs`) are split into tasks for the workers of a
`dask.distributed.Client`. Each task is one compiled call on a piece of the
work, and the pieces are merged in the order the single-machine call would
produce them, so the results are identical, bit for bit, to the local calls.
Large inputs are scattered once to every worker, not sent with every task;
as each worker holds a copy, a worker lost mid-run loses no input and Dask
reruns its tasks elsewhere. That copy is shared by every task the worker runs:
shared arrays arrive read-only, and a shared `Panel` must not be modified in
place (copy it first).

A client with no workers is refused, as its tasks would wait for ever, unless
its cluster adapts (`cluster.adapt()`), whose workers start on demand; the
default chunks are then cut as for one worker thread (give `chunk_size` to
choose them).

Every function takes the client first; None means the current client (the one
most recently created in this process). Needs the optional extra:
`pip install 'quintara[dask]'`.
"""

from __future__ import annotations

import copy
import math
import operator
import re
import sys
import time
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, SupportsFloat, SupportsIndex, TypeVar

import numpy as np
import numpy.typing as npt

from . import _quintara
from .panel import Panel

if TYPE_CHECKING:
    from dask.distributed import Client

__all__ = ["fit_many", "geo_select", "map_designs"]

T = TypeVar("T")

# Chunks per worker thread when the caller gives no chunk size: enough that a
# lost worker or a slow chunk costs a fraction of the run, few enough that the
# per-task overhead of the scheduler (milliseconds) stays negligible next to
# the work of a chunk.
CHUNKS_PER_THREAD = 4

# What Dask adds per task (scheduling, transfer of the arguments and the
# result): 2 to 8 ms measured on a LocalCluster of a busy two-core machine
# (bench/bench_distributed.py), about 1 ms on an idle one. A chunk of fits
# carries at least 20 times that in work, so the overhead stays under 5%.
TASK_OVERHEAD = 0.005
MIN_CHUNK_SECONDS = 20 * TASK_OVERHEAD


def _client(client: Client | None) -> Client:
    try:
        from dask.distributed import default_client
    except ImportError as err:  # pragma: no cover - depends on the environment
        raise ImportError(
            "quintara.distributed needs Dask's distributed scheduler: pip install 'quintara[dask]'"
        ) from err
    if client is not None:
        return client
    try:
        found: Client = default_client()
        return found
    except ValueError:
        raise RuntimeError(
            "no Dask client is running: start one before calling quintara.distributed, e.g.\n"
            "    from dask.distributed import Client, LocalCluster\n"
            "    client = Client(LocalCluster())\n"
            "or connect to a running scheduler with Client('tcp://host:8786'), "
            "or pass client=... explicitly"
        ) from None


def _threads(client: Client) -> int:
    """The cluster's worker threads; an error when there are none, as the tasks
    would wait for ever, unless the cluster adapts (its workers start once
    there is work): its work is then cut as for one thread."""
    counts: dict[str, int] = client.nthreads()
    threads = sum(counts.values())
    if threads == 0:
        adaptive = getattr(getattr(client, "cluster", None), "_adaptive", None)
        if getattr(adaptive, "periodic_callback", None) is None:
            raise RuntimeError(
                "the client has no workers; start some (cluster.scale(n)), wait for them "
                "(client.wait_for_workers(n)) or make the cluster adaptive (cluster.adapt())"
            )
    return max(1, threads)


def _whole(value: Any, name: str) -> int:
    """`value` as an int >= 1, or an error naming the argument."""
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{name} must be a whole number >= 1; got {value!r}")
    number = operator.index(value)
    if number < 1:
        raise ValueError(f"{name} must be >= 1; got {number}")
    return number


def _chunk_bounds(
    n: int, chunk_size: int | None, client: Client, seconds_per_item: float = 0.0
) -> list[tuple[int, int]]:
    threads = _threads(client)  # first: a cluster without workers is refused here
    if chunk_size is None:
        chunk_size = math.ceil(n / (CHUNKS_PER_THREAD * threads))
        if seconds_per_item > 0:
            chunk_size = max(chunk_size, math.ceil(MIN_CHUNK_SECONDS / seconds_per_item))
    size = max(1, chunk_size)
    return [(lo, min(lo + size, n)) for lo in range(0, n, size)]


def _name(err: Exception, where: str) -> None:
    """Names the task (`where`, its inputs) in `err` itself, which is then
    raised again as it is, keeping its type, attributes, cause and traceback.
    A built-in error whose text is its one argument (the compiled calls' and
    most of Python's) gets `where` in front of its message: its text and its
    pickled form come from that argument alone. Any other gets a note, as its
    arguments may mean more than a message (an OSError's errno and filename, a
    custom error's own constructor)."""
    kind = type(err)
    if (
        kind.__module__ == "builtins"
        and kind.__str__ is BaseException.__str__
        and kind.__reduce__ is BaseException.__reduce__
        and len(err.args) == 1
        and isinstance(err.args[0], str)
    ):
        err.args = (f"{where}: {err.args[0]}",)
    else:
        err.add_note(where)


def _gather(client: Client, futures: list[Any], progress: bool | None = False) -> list[Any]:
    """Results in submission order. On a failure, the error raised is that of
    the first task to fail in submission order, not in time, so that a run
    fails the same way every time; the other tasks are cancelled."""
    try:
        if progress if progress is not None else _interactive():
            from dask.distributed import progress as show_progress

            show_progress(futures)
        try:
            gathered: list[Any] = client.gather(futures)
            return gathered
        except Exception as err:
            failure = err
        # Out of the handler, so that the error raised is not chained to
        # `failure`, a later task's error.
        for future in futures:
            future.result()  # the tasks before the first failing one are awaited
        raise failure
    finally:
        client.cancel(futures)


def _interactive() -> bool:
    return sys.stdout.isatty() or "ipykernel" in sys.modules


def _key(label: str, i: int, run: str) -> str:
    return f"quintara-{label}-{run}-{i}"


# ---- fit_many ----------------------------------------------------------------


def _array(y: Any) -> Any:
    """A `Panel` as its units x periods array; anything else as given."""
    return y.y if isinstance(y, Panel) else y


def _replication(build: Callable[[int], Any], r: int) -> npt.NDArray[np.float64]:
    return np.asarray(_array(build(r)), dtype=np.float64)


def _fit_chunk(
    stack: Any,
    lo: int,
    hi: int,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    shape: tuple[int, ...] | None = None,
) -> np.ndarray:
    """Replications [lo, hi): sliced from the scattered stack, or generated by
    the caller's function on the worker, each of replication 0's `shape`."""
    try:
        if callable(stack):
            reps = [_replication(stack, r) for r in range(lo, hi)]
            for r, rep in enumerate(reps, lo):
                if shape is not None and rep.shape != shape:
                    raise ValueError(
                        f"y3({r}) has shape {rep.shape}; replication 0 has shape {shape}"
                    )
            y3 = np.stack(reps)
        else:
            y3 = stack[lo:hi]
        try:
            return _quintara.fit_many(y3, *args, **kwargs)
        except ValueError as err:
            # The chunk's cell [r, i, t] is the stack's [lo + r, i, t].
            err.args = tuple(
                _CELL.sub(lambda m: f"at [{lo + int(m[1])}, ", a) if isinstance(a, str) else a
                for a in err.args
            )
            raise
    except Exception as err:
        _name(err, f"fit_many replications {lo} to {hi - 1}")
        raise


_CELL = re.compile(r"\bat \[(\d+), ")


def fit_many(
    client: Client | None,
    y3: npt.NDArray[np.float64] | Callable[[int], npt.NDArray[np.float64]],
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    method: str = "sc",
    ridge: SupportsFloat = 0.0,
    zeta_scale: SupportsFloat = 1.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    *,
    n_reps: int | None = None,
    chunk_size: int | None = None,
) -> npt.NDArray[np.float64]:
    """`quintara.fit_many` on the cluster: the array of R ATTs, in replication
    order, identical to the local call.

    `y3` is the `(R, N, T)` stack, scattered to the workers once; or a function
    `y3(r) -> (N, T) array` (or a `Panel`) that builds replication `r` on a worker (then give
    `n_reps`), so a large study never exists in one memory. Each chunk of
    `chunk_size` replications is one compiled `fit_many` call. By default the
    work is cut into about four chunks per worker thread, and a chunk holds at
    least 0.1 s of fits (timed on replication 0), so that Dask's per-task
    overhead stays small. Every check of the local call runs here first, with
    its messages: on the stack, or on replication 0 of a function, built here
    for that (every replication must then have its shape). An error inside a
    chunk names the chunk's replications.
    """
    client = _client(client)
    if chunk_size is not None:
        chunk_size = _whole(chunk_size, "chunk_size")
    args = (list(treated), treat_time)
    kwargs = {
        "method": method,
        "ridge": ridge,
        "zeta_scale": zeta_scale,
        "min_weight": min_weight,
        "max_weight": max_weight,
    }
    shape = None
    if callable(y3):
        if n_reps is None:
            raise ValueError("fit_many with a replication function needs n_reps >= 1")
        n_reps = _whole(n_reps, "n_reps")
        first = _replication(y3, 0)
        _, seconds_per_rep = _check_stack(first[np.newaxis], args, kwargs)
        shape = first.shape
    else:
        if n_reps is not None:
            raise ValueError("n_reps is only for a replication function; the stack has its own")
        n_reps, seconds_per_rep = _check_stack(y3, args, kwargs)
    bounds = _chunk_bounds(n_reps, chunk_size, client, seconds_per_rep)
    stack = y3 if callable(y3) else client.scatter(y3, broadcast=True, hash=False)
    run = uuid.uuid4().hex[:8]
    futures = [
        client.submit(_fit_chunk, stack, lo, hi, args, kwargs, shape, key=_key("fit_many", lo, run))
        for lo, hi in bounds
    ]
    return np.concatenate(_gather(client, futures))


def _check_stack(y3: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[int, float]:
    """Runs the local call's checks, in its order and with its messages, at the
    cost of at most one fit: the compiled call checks every replication it is
    given before fitting any, so it is handed replication 0 alone, or every
    replication up to the first non-finite one. Returns R and the seconds the
    one fit took (an upper bound of the work per replication: it includes the
    call's own start-up)."""
    if not (isinstance(y3, np.ndarray) and y3.dtype == np.float64 and y3.ndim == 3 and len(y3) > 0):
        # The compiled call refuses any other stack before any fit: one
        # replication of an array is enough for its error.
        probe = y3[:1] if isinstance(y3, np.ndarray) and y3.ndim > 0 else y3
        _quintara.fit_many(probe, *args, **kwargs)  # raises the local call's error
        raise AssertionError("unreachable: the compiled call refused this stack")
    finite = np.isfinite(y3).reshape(len(y3), -1).all(axis=1)
    last = 0 if finite.all() else int(np.argmin(finite))
    start = time.perf_counter()
    _quintara.fit_many(y3[: last + 1], *args, **kwargs)
    return len(y3), time.perf_counter() - start


# ---- geo_select --------------------------------------------------------------


def _evaluate_chunk(
    y: npt.NDArray[np.float64], sets: list[list[int]], kwargs: dict[str, Any]
) -> list[Any]:
    try:
        evaluated: list[Any] = _quintara._evaluate_candidates(y, sets, **kwargs)
        return evaluated
    except Exception as err:
        _name(err, f"geo_select candidates {sets}")
        raise


def geo_select(
    client: Client | None,
    y: npt.NDArray[np.float64] | Panel,
    eligible: Sequence[SupportsIndex],
    max_treated: SupportsIndex,
    test_len: SupportsIndex,
    target_lift: SupportsFloat,
    method: str = "sdid",
    alpha: SupportsFloat = 0.1,
    target_power: SupportsFloat = 0.8,
    min_pre: SupportsIndex = 0,
    n_candidates: SupportsIndex = 200,
    seed: SupportsIndex = 0,
    exact_size: SupportsIndex | None = None,
    lookback: SupportsIndex | None = None,
    include: Sequence[SupportsIndex] | None = None,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    search: str = "random",
    exclude: Sequence[SupportsIndex] | None = None,
    control_pool: Sequence[SupportsIndex] | None = None,
    swaps: SupportsIndex = 0,
    budget: SupportsFloat | None = None,
    cost_per_unit: SupportsFloat | None = None,
    spend: Sequence[SupportsFloat] | None = None,
    alternative: str = "two-sided",
    solver: str = "refit",
    *,
    chunk_size: int | None = None,
) -> list[_quintara.MarketCandidate]:
    """`quintara.geo_select` on the cluster: the same ranked list, candidate
    for candidate, field for field.

    The candidate sets are generated here, exactly as the local call generates
    them (and after its checks, with its messages); the panel is scattered to
    the workers once; each chunk of `chunk_size` sets (by default about four
    chunks per worker thread) is scored on a worker, and the scores are ranked
    with the local call's stable ordering. `y` may be a `Panel`. Every option
    of the local call is taken but ``swaps``, whose search scores one swap
    after another, each from the best so far: it must stay 0 here.
    """
    client = _client(client)
    if chunk_size is not None:
        chunk_size = _whole(chunk_size, "chunk_size")
    if swaps != 0:
        raise ValueError(
            f"swaps must be 0 on a cluster (got {swaps!r}): the swap search scores one swap "
            "after another; run quintara.geo_select locally for it"
        )
    array = _array(y)
    kwargs: dict[str, Any] = {
        "eligible": list(eligible),
        "max_treated": max_treated,
        "test_len": test_len,
        "target_lift": target_lift,
        "method": method,
        "alpha": alpha,
        "target_power": target_power,
        "min_pre": min_pre,
        "n_candidates": n_candidates,
        "seed": seed,
        "exact_size": exact_size,
        "lookback": lookback,
        "include": None if include is None else list(include),
        "min_weight": min_weight,
        "max_weight": max_weight,
        "search": search,
        "exclude": None if exclude is None else list(exclude),
        "control_pool": None if control_pool is None else list(control_pool),
        "budget": budget,
        "cost_per_unit": cost_per_unit,
        "spend": spend,
        "alternative": alternative,
        "solver": solver,
    }
    sets = _quintara._select_candidates(array, **kwargs)
    if not sets:
        return []
    bounds = _chunk_bounds(len(sets), chunk_size, client)
    panel = client.scatter(array, broadcast=True, hash=False)
    run = uuid.uuid4().hex[:8]
    futures = [
        client.submit(_evaluate_chunk, panel, sets[lo:hi], kwargs, key=_key("geo_select", lo, run))
        for lo, hi in bounds
    ]
    evaluated = [c for chunk in _gather(client, futures) for c in chunk]
    order = _quintara._rank_candidates([c.score for c in evaluated])
    return [evaluated[i] for i in order]


# ---- map_designs -------------------------------------------------------------


def _describe(value: Any) -> str:
    """A short text for an input: arrays by shape and dtype, containers item by
    item, anything else by a repr cut to 80 characters."""
    if isinstance(value, np.ndarray):
        return f"array(shape={value.shape}, dtype={value.dtype})"
    if isinstance(value, Mapping):
        return "{" + ", ".join(f"{k!r}: {_describe(v)}" for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)) and len(value) <= 20:
        inner = ", ".join(_describe(v) for v in value)
        return (
            f"[{inner}]"
            if isinstance(value, list)
            else f"({inner}{',' if len(value) == 1 else ''})"
        )
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


class _Shared:
    """Stands, in a design on its way to a worker, for the scattered input of
    Dask key `key`."""

    __slots__ = ("key",)

    def __init__(self, key: str) -> None:
        self.key = key

    def __reduce__(self) -> tuple[Any, ...]:
        return (_Shared, (self.key,))


def _swap(value: Any, leaf: Callable[[Any], Any], depth: int) -> Any:
    """`value` through `leaf`; if `leaf` keeps it, a container's items through
    `_swap` down to `depth` levels. A container with a changed item is copied
    as its own type (a namedtuple, an OrderedDict, a defaultdict keep theirs);
    any other object, a container of other types included, is kept as it is."""
    new = leaf(value)
    if new is not value or depth == 0:
        return new
    if isinstance(value, (dict, list)):
        changed = {
            k: v
            for k, old in (value.items() if isinstance(value, dict) else enumerate(value))
            if (v := _swap(old, leaf, depth - 1)) is not old
        }
        if not changed:
            return value
        out = copy.copy(value)
        for k, v in changed.items():
            out[k] = v
        return out
    if type(value) is tuple or (isinstance(value, tuple) and hasattr(value, "_fields")):
        items = [_swap(v, leaf, depth - 1) for v in value]
        if all(v is old for v, old in zip(items, value, strict=True)):
            return value
        return tuple(items) if type(value) is tuple else type(value)(*items)
    return value


# Arrays and panels among a design's values and the items of those values are
# scattered; deeper ones travel with their task.
_DEPTH = 2


def _run_design(func: Callable[[Any], T], design: Any, shared: dict[str, Any], where: str) -> T:
    if shared:

        def value(v: Any) -> Any:
            if not isinstance(v, _Shared):
                return v
            got = shared[v.key]
            if isinstance(got, np.ndarray):
                # The worker's one copy serves all its tasks: a view that
                # cannot write keeps a task from changing another's input.
                got = got.view()
                got.setflags(write=False)
            return got

        design = _swap(design, value, _DEPTH)
    try:
        return func(design)
    except Exception as err:
        _name(err, where)
        raise


def _scatter_shared(
    client: Client, design: Any, sent: dict[int, tuple[Any, Any]]
) -> tuple[Any, dict[str, Any]]:
    """The design with its arrays and panels replaced by placeholders, and the
    futures they stand for; each input shared by several designs is sent once."""
    used: dict[str, Any] = {}

    def placeholder(v: Any) -> Any:
        if not isinstance(v, (np.ndarray, Panel)):
            return v
        if id(v) not in sent:  # the input is kept in `sent`, so that its id stays its own
            sent[id(v)] = (v, client.scatter(v, broadcast=True, hash=False))
        future = sent[id(v)][1]
        used[future.key] = future
        return _Shared(future.key)

    return _swap(design, placeholder, _DEPTH), used


def map_designs(
    client: Client | None,
    func: Callable[[Any], T],
    designs: Iterable[Any],
    *,
    progress: bool | None = None,
) -> list[T]:
    """`[func(d) for d in designs]` on the cluster, results in input order.

    One task per design: a power analysis, a diagnostics run or a fit per
    panel, treated set or KPI. NumPy arrays and `Panel` objects (the design
    itself, a dict's values, a list's or tuple's items, or the items of those
    values when they are dicts, lists or tuples) are scattered to the workers
    once, even when many designs share them, and arrive in `func` as arrays
    (read-only: a worker's copy serves all its tasks) and panels, in
    containers of the design's own types. `progress` shows Dask's progress bar
    (by default when running in a terminal or a notebook). An error in one
    design is raised here, as the same error, naming the design's position and
    inputs (in front of its message, or in a note for an error whose arguments
    are more than its message); of several failing designs, the first in input
    order is raised, and the remaining tasks are cancelled.
    """
    client = _client(client)
    designs = list(designs)
    if designs:
        _threads(client)  # refuses a cluster without workers before sending anything
    sent: dict[int, tuple[Any, Any]] = {}
    run = uuid.uuid4().hex[:8]
    futures = []
    for i, d in enumerate(designs):
        design, shared = _scatter_shared(client, d, sent)
        where = f"design {i} of {len(designs)} {_describe(d)}"
        futures.append(
            client.submit(_run_design, func, design, shared, where, key=_key("design", i, run))
        )
    return _gather(client, futures, progress)
