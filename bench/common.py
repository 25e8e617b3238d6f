"""Helpers shared by the benchmark scripts: panels, timing, growth exponents."""

from __future__ import annotations

import math
import os
import subprocess
import sys
import time
from collections.abc import Callable

import numpy as np


def factor_panel(n_units: int, n_periods: int, seed: int = 0) -> np.ndarray:
    """Units x periods: three smooth common factors, unit loadings, noise."""
    rng = np.random.default_rng(seed)
    t = np.arange(n_periods)
    factors = np.vstack([np.sin(t / 6.0), np.cos(t / 13.0), t / n_periods])
    loadings = rng.uniform(0.5, 2.0, size=(n_units, 3))
    return 10.0 + loadings @ factors + 0.2 * rng.standard_normal((n_units, n_periods))


def time_call(fn: Callable[[], object], min_time: float = 0.2, max_reps: int = 50) -> float:
    """Median seconds per call over repeated calls (at least `min_time` in all)."""
    fn()  # warm-up: first use starts the worker pool and loads NumPy paths
    times: list[float] = []
    start = time.perf_counter()
    while len(times) < max_reps and (time.perf_counter() - start < min_time or len(times) < 3):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return float(np.median(times))


def growth_exponent(sizes: list[int], seconds: list[float]) -> float:
    """Least-squares slope of log(time) on log(size)."""
    x = np.log(np.asarray(sizes, dtype=float))
    y = np.log(np.asarray(seconds, dtype=float))
    return float(np.polyfit(x, y, 1)[0])


def run_with_threads(n_threads: int, code: str) -> float:
    """Runs `code` (which prints one float) in a fresh interpreter whose pool
    has `n_threads` workers, and returns the printed float."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(n_threads))
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, check=True, capture_output=True, text=True
    ).stdout
    return float(out.strip().splitlines()[-1])


def staggered_panel(
    n_units: int, n_periods: int, n_cohorts: int, seed: int = 0
) -> tuple[np.ndarray, list[int]]:
    """Unit and period effects plus noise; a fifth of the units never treated,
    the rest spread over `n_cohorts` adoption periods in [2, T - 2], with an
    effect that grows with exposure."""
    rng = np.random.default_rng(seed)
    starts = np.linspace(2, n_periods - 2, n_cohorts).round().astype(int)
    cohorts = np.where(rng.random(n_units) < 0.2, -1, rng.choice(starts, n_units))
    t = np.arange(n_periods)[None, :]
    c = cohorts[:, None]
    exposure = np.where((c >= 0) & (t >= c), t - c + 1.0, 0.0)
    y = (
        rng.normal(size=(n_units, 1))
        + 0.1 * t
        + 0.3 * exposure
        + rng.normal(size=(n_units, n_periods))
    )
    return y, cohorts.tolist()


def sweep(
    label: str, sizes: list[int], prepare: Callable[[int], Callable[[], object]], **timing: float
) -> list[float]:
    """Times `prepare(size)()` for each size, printing one line per size and
    the growth exponent; returns the seconds."""
    secs = []
    for s in sizes:
        call = prepare(s)
        secs.append(time_call(call, **timing))
        print(f"  {label}={s:7d}  {fmt_seconds(secs[-1])}")
    print(f"  growth exponent in {label}: {growth_exponent(sizes, secs):.2f}")
    return secs


def thread_speedup(label: str, setup: str, statement: str) -> None:
    """Times `statement` after `setup` in fresh interpreters with one worker
    and with one per logical CPU, and prints both and their ratio."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = (
        f"import sys; sys.path.insert(0, {here!r})\n"
        "import numpy as np\nimport quintara\nfrom common import *\n"
        f"{setup}\nprint(time_call(lambda: {statement}, min_time=1.0))\n"
    )
    one = run_with_threads(1, code)
    every = run_with_threads(logical_cpus(), code)
    print(
        f"{label}: 1 thread {fmt_seconds(one)}, {logical_cpus()} threads "
        f"{fmt_seconds(every)}, speed-up x{one / every:.2f}"
    )


def fmt_seconds(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:8.1f} us"
    if s < 1.0:
        return f"{s * 1e3:8.2f} ms"
    return f"{s:8.2f} s "


def logical_cpus() -> int:
    return os.cpu_count() or 1


__all__ = [
    "factor_panel",
    "staggered_panel",
    "time_call",
    "growth_exponent",
    "sweep",
    "run_with_threads",
    "thread_speedup",
    "fmt_seconds",
    "logical_cpus",
    "math",
]
